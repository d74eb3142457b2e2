// SPDX-License-Identifier: MIT
// Every simulated version's built-in signals, decoded by the library, stay
// within the ranges the simulator states, in raw and in compensated mode.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kine/KineDAQ.h"
#include "kine_sim/simulated_daq.h"

namespace {

using kine_sim::SimulatedDaq;
using namespace std::chrono;

struct Range {
    const char* name;
    int32_t low, high;
};

void expectWithin(const Range& r, int32_t v, int version, bool compensated) {
    EXPECT_TRUE(v >= r.low && v <= r.high) << "version " << version << (compensated ? " compensated " : " raw ")
                                           << r.name << " = " << v << ", outside " << r.low << ".." << r.high;
}

// The channels a frame of each version carries, checked against the stated ranges.
void checkSensor(const KinePackage& p, int version, bool compensated) {
    const bool xyz = version != 4 || compensated;  // version 4 in raw mode sends raw 0..3 instead
    const int raws = version == 4 ? (compensated ? 0 : 4) : 8;
    if (xyz) {
        expectWithin({"x", -800, 800}, p.x, version, compensated);
        expectWithin({"y", -800, 800}, p.y, version, compensated);
        expectWithin({"z", 29600, 30400}, p.z, version, compensated);
    }
    expectWithin({"aux", 0, 4096}, p.aux, version, compensated);
    for (int i = 0; i < raws; ++i)
        expectWithin({"raw", 1950 + 100 * i, 2050 + 100 * i}, p.raw[i], version, compensated);
}

void check6D(const KinePackage6D& p, int version, bool compensated) {
    const int32_t fz = version == 8 && !compensated ? kine_sim::kRawFzOffset : 0;
    expectWithin({"Fx", -500, 500}, p.Fx, version, compensated);
    expectWithin({"Fy", -500, 500}, p.Fy, version, compensated);
    expectWithin({"Fz", fz - 300, fz + 300}, p.Fz, version, compensated);
    expectWithin({"Tx", -50, 50}, p.Tx, version, compensated);
    expectWithin({"Ty", -50, 50}, p.Ty, version, compensated);
    expectWithin({"Tz", -20, 20}, p.Tz, version, compensated);
    for (const KinePackage& s : p.sensors) {
        expectWithin({"aux", 0, 4096}, s.aux, version, compensated);
        for (int i = 0; i < (version == 8 ? 8 : 4); ++i)
            expectWithin({"raw", 1950 + 100 * i, 2050 + 100 * i}, s.raw[i], version, compensated);
    }
}

class DefaultSignals : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(DefaultSignals, DecodeWithinTheirStatedRanges) {
    const auto [version, compensated] = GetParam();
    SimulatedDaq::Options o;
    o.version = version;
    o.compensated = compensated;
    SimulatedDaq sim(o);
    KineDAQ daq;
    KPort port;
    KPort::storeField(port.portName, sim.devicePath());
    KPort::storeField(port.deviceVersion, sim.deviceVersionText());
    ASSERT_TRUE(daq.open(port)) << daq.lastOpenError();
    const bool sixAxis = version == 5 || version == 8;

    // A second of samples: the sines pass through much of their swing.
    size_t samples = 0;
    KinePackage* all = nullptr;
    KinePackage6D* all6D = nullptr;
    for (const auto end = steady_clock::now() + seconds(1); steady_clock::now() < end;) {
        std::this_thread::sleep_for(milliseconds(20));
        const int r = sixAxis ? daq.readAll6D(all6D) : daq.readAll(all);
        ASSERT_GE(r, 0);
        const int sensors = sixAxis ? 1 : daq.getSensorSize();
        for (int i = 0; i < r; ++i) {
            if (sixAxis)
                check6D(all6D[i], version, compensated);
            else
                for (int s = 0; s < sensors; ++s) checkSensor(all[s * r + i], version, compensated);
        }
        samples += static_cast<size_t>(r);
        if (HasFailure()) break;
    }
    delete[] all;
    delete[] all6D;
    EXPECT_GE(samples, 100u);
}

INSTANTIATE_TEST_SUITE_P(Sim, DefaultSignals, testing::Combine(testing::Range(3, 9), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<int, bool>>& i) {
                             return "Version" + std::to_string(std::get<0>(i.param)) +
                                    (std::get<1>(i.param) ? "Compensated" : "Raw");
                         });

}  // namespace
