// SPDX-License-Identifier: MIT
// The caller's side of discovery through the public KinePorts class: the
// shared port list and the first-scan wait.
#include <gtest/gtest.h>

#include "kine/KinePorts.h"
#include "support/discovery.h"
#include "support/fake_port_tree.h"

namespace {

using namespace kine_test;
using namespace std::chrono_literals;

TEST(KinePorts, EmptyTree) {
    FakePortTree tree;
    tree.use();
    KinePorts ports;
    KPort* list = ports.listPorts(true);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ports.getLastSize(), 0);
    EXPECT_EQ(ports.getSize(true), 0);
    EXPECT_FALSE(ports.isNewPort(true));
    EXPECT_FALSE(ports.isLostPort(true));
    EXPECT_EQ(textOf(ports.getNewPort()), (PortText{"", "", ""}));
    EXPECT_STREQ(ports.getAPIversion(), "1.5.1.234");
}

// Listed at once after construction, the list waits for the first scan.
TEST(KinePorts, ListRightAfterConstructionHoldsTheFirstScan) {
    FakePortTree tree;
    auto daq = makeDaq(3);
    const std::string port = tree.plugUsb("ttyACM0", daq->devicePath());
    tree.use();
    KinePorts ports;
    KPort* list = ports.listPorts(true);
    ASSERT_EQ(ports.getLastSize(), 1);
    EXPECT_EQ(textOf(list[0]), (PortText{port, "68 v1.1", ""}));
}

// Records come in ascending port-name order; after an unplug the count
// shrinks and the record beyond it still holds the old entry.
TEST(KinePorts, ListOrderAndStaleRecordsBeyondTheCount) {
    FakePortTree tree;
    tree.use();
    KinePorts ports;
    std::vector<std::unique_ptr<kine_sim::SimulatedDaq>> daqs;
    for (const char* name : {"ttyACM2", "ttyACM0", "ttyACM1"}) {
        daqs.push_back(makeDaq(3));
        tree.plugUsb(name, daqs.back()->devicePath());
    }
    ASSERT_TRUE(waitFor([&] { return ports.getSize(true) == 3; }, 20s));
    KPort* list = ports.listPorts(true);
    ASSERT_EQ(ports.getLastSize(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(textOf(list[i]).name, tree.port("ttyACM" + std::to_string(i)));

    tree.unplug("ttyACM1");
    ASSERT_TRUE(waitFor([&] { return ports.isLostPort(true); }, 10s));
    EXPECT_EQ(textOf(ports.getLostPort()).name, tree.port("ttyACM1"));
    list = ports.listPorts(true);
    EXPECT_EQ(ports.getLastSize(), 2);
    EXPECT_EQ(ports.getSize(true), 2);
    EXPECT_EQ(textOf(list[0]).name, tree.port("ttyACM0"));
    EXPECT_EQ(textOf(list[1]).name, tree.port("ttyACM2"));
    EXPECT_EQ(textOf(list[2]).name, tree.port("ttyACM2"));  // stale
}

}  // namespace
