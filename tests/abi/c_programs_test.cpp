// SPDX-License-Identifier: MIT
// C99 programs linked against a shared library, as a C application is, run
// against simulated DAQs: the whole DAQ calling pattern and both ports
// calling patterns.
#include <gtest/gtest.h>

#include <string>

#include "support/discovery.h"
#include "support/fake_port_tree.h"
#include "support/run_program.h"
#include "support/sim_daq.h"

namespace {

using namespace kine_test;

// For a single-sensor, a four-sensor and a six-axis unit of either family.
TEST(CPrograms, DaqCallingPattern) {
    for (int version : {3, 4, 7, 8}) {
        SCOPED_TRACE(version);
        auto sim = simulatedDaq(version);
        EXPECT_EQ(runProgram({KINE_C_PROGRAM, sim->devicePath(), sim->deviceVersionText()}), 0);
    }
}

TEST(CPrograms, BothPortsCallingPatterns) {
    FakePortTree tree;
    auto streaming = makeDaq(3);
    auto identified = makeDaq(7, "A1B2");
    const std::string first = tree.plugUsb("ttyACM0", streaming->devicePath());
    const std::string second = tree.plugUsb("ttyACM1", identified->devicePath());
    EXPECT_EQ(
        runProgram({KINE_PORTS_C_PROGRAM, tree.dev(), tree.sys(), first, "68 v1.1", "", second, "34 v0.9", "A1B2"}), 0);
}

}  // namespace
