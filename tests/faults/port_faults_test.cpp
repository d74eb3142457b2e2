// SPDX-License-Identifier: MIT
// Fault injection against port discovery in a fake /dev and sysfs tree: a
// device that goes away in the middle of its probe, and devices plugged and
// unplugged far faster than the monitor scans. The monitor goes on finding
// DAQs, its events add up to what is plugged, and once it is destroyed no
// descriptor or thread is left.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "support/discovery.h"
#include "support/fake_port_tree.h"

namespace {

using namespace kine_test;
using namespace std::chrono_literals;

class PortFault : public ::testing::Test {
protected:
    void SetUp() override {
        fds_ = openDescriptorCount();
        threads_ = threadCount();
    }
    void expectNothingLeft() {
        EXPECT_TRUE(waitFor([&] { return openDescriptorCount() == fds_ && threadCount() == threads_; }, 5s))
            << "descriptors " << openDescriptorCount() << " (were " << fds_ << "), threads " << threadCount()
            << " (were " << threads_ << ")";
    }

private:
    int fds_ = 0;
    int threads_ = 0;
};

// The DAQ hangs up and its node disappears while the monitor waits for its
// identity reply: the probe ends, nothing is reported for it, and the monitor
// finds the next DAQ plugged.
TEST_F(PortFault, UnplugDuringAProbe) {
    {
        FakePortTree tree;
        auto vanishing = makeDaq(7);
        // It streams but takes one byte of the host's per 100 ms: once it has
        // the first, the probe has written its first command, and the reply
        // cannot come before the whole request is read, over a second later.
        vanishing->throttleInput(1, 100ms);
        tree.plugUsb("ttyACM0", vanishing->devicePath());
        tree.use();
        KinePorts_private monitor(0, 1000000);
        ASSERT_TRUE(waitFor([&] { return !vanishing->received().empty(); }, 20s)) << "never probed";
        vanishing->hangUp();
        tree.unplug("ttyACM0");

        auto daq = makeDaq(3);
        const std::string port = tree.plugUsb("ttyACM1", daq->devicePath());
        std::vector<PortText> events;
        ASSERT_TRUE(waitForNew(monitor, 1, events));
        EXPECT_EQ(events[0], (PortText{port, "68 v1.1", ""}));
        ASSERT_TRUE(waitCycles(monitor, 2));
        EXPECT_FALSE(monitor.isNewPortThread(true));
        EXPECT_EQ(monitor.getSize(true), 1);
    }
    expectNothingLeft();
}

// 1,000 plug/unplug cycles of the device nodes of four USB ports, two with a
// streaming DAQ behind them, while the monitor scans and probes. Afterwards
// one DAQ stays plugged: the monitor settles on it, and the new and lost
// events it reported add up to it.
TEST_F(PortFault, ThousandPlugUnplugCyclesUnderARunningMonitor) {
    {
        FakePortTree tree;
        auto first = makeDaq(3);
        auto second = makeDaq(4);
        const std::string targets[4] = {first->devicePath(), "/dev/null", second->devicePath(), "/dev/null"};
        for (int i = 0; i < 4; ++i) {
            const std::string name = "ttyUSB" + std::to_string(i);
            tree.plugUsb(name, targets[i]);
            tree.unplug(name);
        }
        tree.use();
        KinePorts_private monitor(0, 1000000);
        std::vector<PortText> added, lost;
        auto drain = [&] {
            while (monitor.isNewPortThread(true)) added.push_back(textOf(monitor.getNewPortThread()));
            while (monitor.isLostPortThread(true)) lost.push_back(textOf(monitor.getLostPortThread()));
        };
        const uint64_t cyclesBefore = monitor.completedCycles();
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "ttyUSB" + std::to_string(i % 4);
            tree.plugPlain(name, targets[i % 4]);
            std::this_thread::sleep_for(1ms);  // paces the cycles over several scans
            tree.unplug(name);
            if (i % 50 == 0) drain();
        }
        EXPECT_GT(monitor.completedCycles(), cyclesBefore) << "the monitor did not scan meanwhile";

        const std::string port = tree.plugPlain("ttyUSB0", targets[0]);
        ASSERT_TRUE(waitFor(
            [&] {
                drain();
                return monitor.getSize(true) == 1 && added.size() == lost.size() + 1;
            },
            30s))
            << monitor.getSize(true) << " known, " << added.size() << " new, " << lost.size() << " lost";
        ASSERT_TRUE(waitCycles(monitor, 3));
        drain();
        EXPECT_EQ(added.size(), lost.size() + 1);
        EXPECT_EQ(added.back(), (PortText{port, "68 v1.1", ""}));
        KPort* list = monitor.listPorts(false);
        EXPECT_EQ(monitor.getLastSize(), 1);
        EXPECT_EQ(KPort::readField(list[0].portName), port);
    }
    expectNothingLeft();
}

}  // namespace
