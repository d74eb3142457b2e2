// SPDX-License-Identifier: MIT
// What discovery leaves alone: ports other processes hold, ports the user
// excludes, ports it has no business with; what it takes on request
// (KINE_PROBE_PORTS); and a replug between two cycles.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "support/child_process.h"
#include "support/discovery.h"
#include "support/fake_port_tree.h"

namespace {

using namespace kine_test;
using namespace std::chrono_literals;

// Sets an environment variable for the monitors constructed in its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

KinePortStatus statusOf(KinePorts_private& m, const std::string& port) {
    std::vector<KinePortStatus> all(64);
    const int n = m.getPortStatus(all.data(), static_cast<int>(all.size()));
    for (int i = 0; i < n && i < 64; ++i)
        if (port == all[i].port) return all[i];
    return KinePortStatus{};
}

// Another program holds the port open (without a lock, like most serial
// programs): the probe neither opens nor writes to it, it is not counted as
// a timed-out probe, and the holder is named. Released, it is probed and
// reported at once, however long it was held.
TEST(PortAccess, PortHeldByAnotherProcessIsLeftAloneUntilReleased) {
    FakePortTree tree;
    auto daq = makeDaq(7);  // a probe would write the identity exchange to it
    const std::string port = tree.plugUsb("ttyACM0", daq->devicePath());
    auto holder = std::make_unique<ChildProcess>(
        "/bin/sh", std::vector<std::string>{"-c", "exec 3<>" + port + "; echo held; exec sleep 60"});
    ASSERT_EQ(holder->outputLine(10s), "held");
    tree.use();
    KinePorts_private monitor(0, 1000000);
    ASSERT_TRUE(waitCycles(monitor, 5));
    const KinePortStatus held = statusOf(monitor, port);
    EXPECT_EQ(held.state, KINE_PORT_BUSY);
    EXPECT_GT(held.holder_pid, 0);
    EXPECT_STREQ(held.holder_command, "sleep");
    EXPECT_EQ(monitor.pendingRetries(), 0u);
    EXPECT_TRUE(daq->received().empty()) << "the probe wrote to a port another program holds";
    EXPECT_EQ(monitor.getSize(true), 0);

    holder.reset();
    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    EXPECT_EQ(events[0], (PortText{port, "34 v0.9", "SIM00001"}));
}

// Another DAQ (or the same one) at the same name between two cycles: the
// old one is lost, the new one found.
TEST(PortAccess, ReplugWithinOneCycleIsReportedAsLostAndNew) {
    FakePortTree tree;
    auto first = makeDaq(3);
    auto second = makeDaq(4);
    tree.use();
    KinePorts_private monitor(0, 1000000);
    const std::string port = tree.plugUsb("ttyACM0", first->devicePath());
    std::vector<PortText> added, lost;
    ASSERT_TRUE(waitForNew(monitor, 1, added));
    tree.replug("ttyACM0", second->devicePath());
    ASSERT_TRUE(waitForLost(monitor, 1, lost));
    ASSERT_TRUE(waitForNew(monitor, 2, added));
    EXPECT_EQ(lost[0], (PortText{port, "68 v1.1", ""}));
    EXPECT_EQ(added[1], (PortText{port, "94 v0.9", ""}));
}

enum class Exclusion { ByPath, ByUsbId, ByUdev };

void PrintTo(Exclusion e, std::ostream* out) {
    *out << (e == Exclusion::ByPath ? "path" : e == Exclusion::ByUsbId ? "usb-id" : "udev");
}

class Excluded : public ::testing::TestWithParam<Exclusion> {};

// An excluded port is never opened, whichever way it was excluded.
TEST_P(Excluded, PortIsNeverOpened) {
    FakePortTree tree;
    auto daq = makeDaq(7);
    const std::string port = tree.plugUsb("ttyUSB0", daq->devicePath(), "0403", "6015");
    auto other = makeDaq(3);
    const std::string included = tree.plugUsb("ttyUSB1", other->devicePath(), "0403", "6001");
    std::unique_ptr<ScopedEnv> env;
    if (GetParam() == Exclusion::ByPath) env = std::make_unique<ScopedEnv>("KINE_EXCLUDE_PORTS", "/dev/x, " + port);
    if (GetParam() == Exclusion::ByUsbId) env = std::make_unique<ScopedEnv>("KINE_EXCLUDE_PORTS", "0403:6015");
    if (GetParam() == Exclusion::ByUdev) tree.setUdevProperty("ttyUSB0", "KINE_IGNORE", "1");
    tree.use();
    KinePorts_private monitor(0, 1000000);
    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    EXPECT_EQ(events[0].name, included);
    ASSERT_TRUE(waitCycles(monitor, 3));
    EXPECT_EQ(stateOf(monitor, port), KINE_PORT_EXCLUDED);
    EXPECT_TRUE(daq->received().empty());
    EXPECT_EQ(monitor.getSize(true), 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, Excluded, ::testing::Values(Exclusion::ByPath, Exclusion::ByUsbId, Exclusion::ByUdev));

// KINE_PROBE_PORTS makes a pseudo-terminal a candidate; every port shows
// what discovery decided about it.
TEST(PortAccess, ExtraPortsAreProbedAndEveryPortHasAStatus) {
    FakePortTree tree;
    auto daq = makeDaq(3);
    const std::string serialPort = tree.plugPlain("ttyS0");
    const std::string foreign = tree.plugUsb("ttyUSB0", "/dev/null", "2341", "0043");
    ScopedEnv env("KINE_PROBE_PORTS", daq->devicePath());
    tree.use();
    KinePorts_private monitor(0, 1000000);
    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    EXPECT_EQ(events[0], (PortText{daq->devicePath(), "68 v1.1", ""}));
    ASSERT_TRUE(
        waitFor([&] { return monitor.isSettled() && stateOf(monitor, daq->devicePath()) == KINE_PORT_DAQ; }, 10s));
    EXPECT_EQ(stateOf(monitor, serialPort), KINE_PORT_NOT_USB);
    const KinePortStatus other = statusOf(monitor, foreign);
    EXPECT_EQ(other.state, KINE_PORT_OTHER_VENDOR);
    EXPECT_EQ(other.vendor_id, 0x2341);
    EXPECT_EQ(other.product_id, 0x0043);
    EXPECT_STREQ(statusOf(monitor, daq->devicePath()).device_version, "68 v1.1");
}

TEST(PortSelection, ParsesPathsAndUsbIds) {
    const kine_ports::PortSelection s(" /dev/ttyUSB3,0403:6015;;10c4:EA60 bad:id");
    EXPECT_TRUE(s.matches("/dev/ttyUSB3", -1, -1));
    EXPECT_TRUE(s.matches("/dev/ttyUSB0", 0x0403, 0x6015));
    EXPECT_TRUE(s.matches("/dev/ttyUSB0", 0x10C4, 0xEA60));
    EXPECT_FALSE(s.matches("/dev/ttyUSB0", 0x0403, 0x6001));
    EXPECT_FALSE(s.matches("/dev/ttyUSB4", -1, -1));
    EXPECT_TRUE(kine_ports::PortSelection(nullptr).empty());
}

}  // namespace
