// A simulated DAQ of one protocol version with default options, streaming
// from the start.
#pragma once

#include <memory>

#include "kine_sim/simulated_daq.h"

namespace kine_test {

inline std::unique_ptr<kine_sim::SimulatedDaq> simulatedDaq(int version) {
    kine_sim::SimulatedDaq::Options o;
    o.version = version;
    return std::make_unique<kine_sim::SimulatedDaq>(o);
}

}  // namespace kine_test
