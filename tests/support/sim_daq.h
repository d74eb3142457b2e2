// SPDX-License-Identifier: MIT
// A simulated DAQ of one protocol version with default options, streaming
// from the start, and the port record that opens a DAQ.
#pragma once

#include <memory>
#include <string>

#include "kine/KPort.h"
#include "kine_sim/simulated_daq.h"

namespace kine_test {

inline std::unique_ptr<kine_sim::SimulatedDaq> simulatedDaq(int version) {
    kine_sim::SimulatedDaq::Options o;
    o.version = version;
    return std::make_unique<kine_sim::SimulatedDaq>(o);
}

// A port record naming `path` and a device version text.
inline KPort portOf(const std::string& path, const std::string& versionText) {
    KPort p;
    KPort::storeField(p.portName, path);
    KPort::storeField(p.deviceVersion, versionText);
    return p;
}

// The port record that opens `sim`.
inline KPort portFor(const kine_sim::SimulatedDaq& sim) { return portOf(sim.devicePath(), sim.deviceVersionText()); }

}  // namespace kine_test
