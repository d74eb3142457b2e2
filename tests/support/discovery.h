// SPDX-License-Identifier: MIT
// Helpers for discovery tests: simulated DAQs sized for probing on a loaded
// machine, and waiting for port events.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kine/KPort.h"
#include "kine_sim/simulated_daq.h"
#include "ports/KinePorts_private.h"
#include "support/pty_pair.h"

namespace kine_test {

// A simulated DAQ. The 0xAA family streams at 30 Hz: each identity attempt of
// a probe returns once 19 bytes are waiting, and a slow stream gives the
// reply a generous window (about 6 x 33 ms) to overtake the data.
inline std::unique_ptr<kine_sim::SimulatedDaq> makeDaq(int version, const std::string& serial = "SIM00001") {
    kine_sim::SimulatedDaq::Options o;
    o.version = version;
    o.serial = serial;
    o.speedHz = version >= 6 ? 30 : 1000;
    return std::unique_ptr<kine_sim::SimulatedDaq>(new kine_sim::SimulatedDaq(o));
}

struct PortText {
    std::string name, version, serial;
    bool operator==(const PortText& o) const { return name == o.name && version == o.version && serial == o.serial; }
};

inline PortText textOf(const KPort& p) {
    return {KPort::readField(p.portName), KPort::readField(p.deviceVersion), KPort::readField(p.deviceSerial)};
}

inline std::ostream& operator<<(std::ostream& out, const PortText& p) {
    return out << "{" << p.name << ", " << p.version << ", " << p.serial << "}";
}

// The deadlines below are generous: a probe that times out on a loaded
// machine is retried a few seconds later, and each retry can take seconds.

// Collects the new (or lost) port events of a monitor; isNewPortThread is
// called with `probe`, which it also stores as the monitor's probe flag.
inline bool waitForNew(KinePorts_private& m, size_t n, std::vector<PortText>& events,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60), bool probe = true) {
    return waitFor(
        [&] {
            while (m.isNewPortThread(probe)) events.push_back(textOf(m.getNewPortThread()));
            return events.size() >= n;
        },
        timeout);
}

inline bool waitForLost(KinePorts_private& m, size_t n, std::vector<PortText>& events,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return waitFor(
        [&] {
            while (m.isLostPortThread(true)) events.push_back(textOf(m.getLostPortThread()));
            return events.size() >= n;
        },
        timeout);
}

// Waits until the monitor has completed `n` more cycles.
inline bool waitCycles(const KinePorts_private& m, uint64_t n,
                       std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const uint64_t target = m.completedCycles() + n;
    return waitFor([&] { return m.completedCycles() >= target; }, timeout);
}

// What the monitor's status list says about `port` (-1 when not listed).
inline int stateOf(KinePorts_private& m, const std::string& port) {
    std::vector<KinePortStatus> status(64);
    const int n = m.getPortStatus(status.data(), static_cast<int>(status.size()));
    for (int i = 0; i < n && i < static_cast<int>(status.size()); ++i)
        if (port == status[i].port) return status[i].state;
    return -1;
}

}  // namespace kine_test
