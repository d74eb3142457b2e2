// SPDX-License-Identifier: MIT
// The port monitor running for real against simulated DAQs in a fake /dev
// and sysfs tree: acceptance per family, kind and vendor filters, retries of
// timed-out ports, unplugging, and stopping during a probe.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "daq/KineSendUtils.h"
#include "kine/KinePorts.h"
#include "support/discovery.h"
#include "support/fake_port_tree.h"
#include "transport/KineSerial.h"

namespace {

using namespace kine_test;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes frame(void (*build)(std::vector<unsigned char>&)) {
    std::vector<unsigned char> v;
    build(v);
    return v;
}

// The probe's closing command has reached the simulated DAQ: the port event
// can come before the simulator has read it.
bool closingReceived(const kine_sim::SimulatedDaq& daq) {
    const Bytes closing = frame(KineSendUtils::SetSpeed100Hz);
    const Bytes sent = daq.received();
    return sent.size() >= closing.size() &&
           std::equal(closing.begin(), closing.end(), sent.end() - static_cast<long>(closing.size()));
}

struct VersionCase {
    int version;
    const char* text;
    bool identity;  // found through the identity exchange (0xAA family)
};

void PrintTo(const VersionCase& c, std::ostream* out) { *out << "v" << c.version; }

class EachVersion : public ::testing::TestWithParam<VersionCase> {};

// Plugged while the monitor runs: a 0x37-family DAQ is accepted from its
// stream with no byte written to it; an 0xAA-family DAQ through the identity
// exchange, which gives its serial and ends with the closing command.
TEST_P(EachVersion, IsAcceptedWithItsVersionTextAndSerial) {
    const VersionCase& c = GetParam();
    FakePortTree tree;
    tree.use();
    KinePorts_private monitor(0, 1000000);
    auto daq = makeDaq(c.version, "A1B2");
    ASSERT_TRUE(waitCycles(monitor, 1));
    const std::string port = tree.plugUsb("ttyACM0", daq->devicePath());

    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    EXPECT_EQ(events[0], (PortText{port, c.text, c.identity ? "A1B2" : ""}));
    EXPECT_EQ(monitor.getSize(true), 1);
    Bytes sent = daq->received();
    if (!c.identity) {
        EXPECT_TRUE(sent.empty()) << sent.size() << " bytes written to a streaming DAQ";
    } else {
        Bytes debugOff;
        KineSendUtils::SetDebugMode(debugOff, false);
        EXPECT_TRUE(waitFor([&] { return closingReceived(*daq); }, 5s)) << "no closing command";
        sent = daq->received();
        ASSERT_GT(sent.size(), debugOff.size() + frame(KineSendUtils::SetSpeed100Hz).size());
        EXPECT_TRUE(std::equal(debugOff.begin(), debugOff.end(), sent.begin()));
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, EachVersion,
                         ::testing::Values(VersionCase{3, "68 v1.1", false}, VersionCase{4, "94 v0.9", false},
                                           VersionCase{5, "95 v1.0", false}, VersionCase{6, "31 v0.9", true},
                                           VersionCase{7, "34 v0.9", true}, VersionCase{8, "64 v0.9", true}),
                         [](const ::testing::TestParamInfo<VersionCase>& i) {
                             return "v" + std::to_string(i.param.version);
                         });

class KindFilter : public ::testing::TestWithParam<int> {};

// One DAQ of every version: the filter admits its kind only, and a refused
// DAQ is not probed again while it stays plugged.
TEST_P(KindFilter, AdmitsOneKindAndProbesRefusedDaqsOnce) {
    const int kind = GetParam();
    FakePortTree tree;
    std::vector<std::unique_ptr<kine_sim::SimulatedDaq>> daqs;
    std::vector<std::string> expected;
    for (int version = 3; version <= 8; ++version) {
        daqs.push_back(makeDaq(version));
        const std::string port = tree.plugUsb("ttyACM" + std::to_string(version), daqs.back()->devicePath());
        const bool sixAxis = version == 5 || version == 8;
        if (sixAxis == (kind == 6)) expected.push_back(port);
    }
    tree.use();
    KinePorts_private monitor(kind, 1000000);
    // On a loaded machine a probe can time out; the port is then retried
    // later, so it may be reported after the others. The monitor has settled
    // once a cycle ends with no retry pending.
    std::vector<PortText> events;
    waitForNew(monitor, expected.size(), events);
    ASSERT_TRUE(waitFor([&] { return monitor.completedCycles() > 0 && monitor.pendingRetries() == 0; }, 120s));
    waitForNew(monitor, 0, events);
    std::vector<std::string> accepted;
    for (const PortText& e : events) accepted.push_back(e.name);
    std::sort(accepted.begin(), accepted.end());
    EXPECT_EQ(accepted, expected);

    // What each DAQ has received and sent once the probes are over: every
    // identity exchange (versions 6 to 8) has ended with its closing command
    // and nothing changed over a whole cycle.
    std::vector<Bytes> sent;
    std::vector<uint64_t> frames;
    auto unchanged = [&] {
        for (size_t i = 0; i < daqs.size(); ++i)
            if (daqs[i]->received() != sent[i] || daqs[i]->framesSent() != frames[i]) return false;
        return true;
    };
    bool settled = false;
    for (int tries = 0; tries < 50 && !settled; ++tries) {
        sent.clear();
        frames.clear();
        for (auto& d : daqs) {
            sent.push_back(d->received());
            frames.push_back(d->framesSent());
        }
        ASSERT_TRUE(waitCycles(monitor, 1));
        settled = unchanged() && std::all_of(daqs.begin() + 3, daqs.end(), [](auto& d) { return closingReceived(*d); });
    }
    ASSERT_TRUE(settled) << [&] {
        std::string why;
        for (size_t i = 0; i < daqs.size(); ++i)
            why += "version " + std::to_string(i + 3) + ": " + std::to_string(daqs[i]->received().size()) +
                   " bytes received" + (closingReceived(*daqs[i]) ? " ending with the closing command" : "") +
                   (daqs[i]->received() != sent[i] ? ", still receiving" : "") +
                   (daqs[i]->framesSent() != frames[i] ? ", still sending" : "") + "\n";
        return why;
    }();
    ASSERT_TRUE(waitCycles(monitor, 3));
    for (size_t i = 0; i < daqs.size(); ++i) {
        EXPECT_EQ(daqs[i]->received(), sent[i]) << "version " << i + 3 << " probed again";
        EXPECT_EQ(daqs[i]->framesSent(), frames[i]) << "version " << i + 3 << " opened again";
    }
    EXPECT_FALSE(monitor.isNewPortThread(true));
}

INSTANTIATE_TEST_SUITE_P(ThreeAndSixAxis, KindFilter, ::testing::Values(3, 6));

// Probing on: a port of another vendor is never opened. Probing off: every
// port not yet filed is taken as it is, of any vendor, without opening it.
TEST(PortMonitor, VendorFilterAndTakingPortsUnprobed) {
    FakePortTree tree;
    auto foreign = makeDaq(3);
    auto daq = makeDaq(3);
    const std::string foreignPort = tree.plugUsb("ttyACM0", foreign->devicePath(), "1234", "5678");
    const std::string daqPort = tree.plugUsb("ttyUSB0", daq->devicePath(), "10c4", "ea60");
    const std::string plainPort = tree.plugPlain("ttyS0");
    tree.use();
    KinePorts_private monitor(0, 1000000);

    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    ASSERT_TRUE(waitCycles(monitor, 2));
    waitForNew(monitor, 0, events);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (PortText{daqPort, "68 v1.1", ""}));
    EXPECT_EQ(foreign->framesSent(), 0u);

    events.clear();
    ASSERT_TRUE(waitForNew(monitor, 2, events, 10s, false));
    std::sort(events.begin(), events.end(), [](const PortText& a, const PortText& b) { return a.name < b.name; });
    EXPECT_EQ(events[0], (PortText{foreignPort, "unknown", ""}));
    EXPECT_EQ(events[1], (PortText{plainPort, "unknown", ""}));
    EXPECT_EQ(foreign->framesSent(), 0u);
    EXPECT_EQ(monitor.getSize(true), 3);
}

// A device on a pseudo-terminal that sends 8 bytes every 150 ms while the
// port is open (too little for the safe open) and records when it is opened.
class TricklingDevice {
public:
    TricklingDevice() {
        pty_.closeSlaveKeeper();
        thread_ = std::thread([this] { run(); });
    }
    ~TricklingDevice() {
        stop_ = true;
        thread_.join();
    }
    const std::string& path() const { return pty_.slavePath(); }
    size_t opens() {
        std::lock_guard<std::mutex> lock(m_);
        return opens_.size();
    }
    std::vector<std::chrono::steady_clock::time_point> openTimes() {
        std::lock_guard<std::mutex> lock(m_);
        return opens_;
    }

private:
    void run() {
        bool open = false;
        auto lastWrite = std::chrono::steady_clock::now();
        while (!stop_) {
            pollfd p{pty_.masterFd(), 0, 0};
            poll(&p, 1, 0);
            const bool nowOpen = !(p.revents & POLLHUP);
            const auto now = std::chrono::steady_clock::now();
            if (nowOpen && !open) {
                std::lock_guard<std::mutex> lock(m_);
                opens_.push_back(now);
            }
            open = nowOpen;
            if (open && now - lastWrite >= 150ms) {
                pty_.write(Bytes(8, 0x11));
                lastWrite = now;
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    PtyPair pty_;
    std::mutex m_;
    std::vector<std::chrono::steady_clock::time_point> opens_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A port that opens but streams too little times out, is retried more than
// 1250 ms apart, 15 times, and is rejected when the 16th retry falls due.
// Unplugged and plugged again (now with a DAQ behind it) it is probed afresh.
TEST(PortMonitor, TimedOutPortIsRetriedPacedThenRejectedUntilReplugged) {
    FakePortTree tree;
    TricklingDevice device;
    tree.plugUsb("ttyACM0", device.path());
    tree.use();
    KinePorts_private monitor(0, 1000000);

    ASSERT_TRUE(waitFor([&] { return device.opens() >= 16; }, 60s)) << device.opens() << " probes";
    const auto opens = device.openTimes();
    for (size_t i = 1; i < opens.size(); ++i) {
        const auto apart = std::chrono::duration_cast<std::chrono::milliseconds>(opens[i] - opens[i - 1]);
        // 1250 ms less the device's few milliseconds of detection jitter.
        EXPECT_GE(apart.count(), 1230) << "retry " << i;
    }
    EXPECT_FALSE(waitFor([&] { return device.opens() > 16; }, 3s)) << "probed after the 15th retry";
    EXPECT_FALSE(monitor.isNewPortThread(true));

    tree.unplug("ttyACM0");
    ASSERT_TRUE(waitCycles(monitor, 2));
    auto daq = makeDaq(3);
    const std::string port = tree.plugUsb("ttyACM0", daq->devicePath());
    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    EXPECT_EQ(events[0].name, port);
}

// A DAQ of the excluded kind whose first probe could not run (here: the
// port was busy) is refused on its retry and then left alone.
TEST(PortMonitor, RefusedOnRetryIsNotProbedAgain) {
    FakePortTree tree;
    auto daq = makeDaq(7);
    const std::string port = tree.plugUsb("ttyACM0", daq->devicePath());
    KineSerial holder;
    ASSERT_TRUE(holder.Open(port, 1000000, false));
    tree.use();
    KinePorts_private monitor(6, 1000000);
    ASSERT_TRUE(waitCycles(monitor, 2));
    ASSERT_EQ(stateOf(monitor, port), KINE_PORT_BUSY);
    holder.Close();

    // Looked at again once released, it runs the identity exchange.
    ASSERT_TRUE(waitFor([&] { return stateOf(monitor, port) == KINE_PORT_OTHER_KIND; }, 60s));
    ASSERT_TRUE(waitFor([&] { return closingReceived(*daq); }, 5s));
    const Bytes sent = daq->received();
    ASSERT_TRUE(waitCycles(monitor, 30));  // more than two retry paces
    EXPECT_EQ(daq->received(), sent) << "probed again after it was refused";
    EXPECT_FALSE(monitor.isNewPortThread(true));
}

// Unplugging a DAQ gives one lost event; plugged again it is new again.
TEST(PortMonitor, UnplugGivesExactlyOneLostEvent) {
    FakePortTree tree;
    auto daq = makeDaq(4);
    const std::string port = tree.plugUsb("ttyUSB3", daq->devicePath());
    tree.use();
    KinePorts_private monitor(0, 1000000);
    std::vector<PortText> added, lost;
    ASSERT_TRUE(waitForNew(monitor, 1, added));

    tree.unplug("ttyUSB3");
    ASSERT_TRUE(waitForLost(monitor, 1, lost));
    EXPECT_EQ(lost[0], (PortText{port, "94 v0.9", ""}));
    EXPECT_EQ(monitor.getSize(true), 0);
    ASSERT_TRUE(waitCycles(monitor, 3));
    EXPECT_FALSE(monitor.isLostPortThread(true));
    EXPECT_EQ(textOf(monitor.getLostPortThread()), (PortText{"", "", ""}));

    tree.plugUsb("ttyUSB3", daq->devicePath());
    ASSERT_TRUE(waitForNew(monitor, 2, added));
    EXPECT_EQ(added[1], added[0]);
}

// A DAQ held by another program or connection is busy only for a while:
// it is reported once the holder lets go, not passed over until unplugged.
TEST(PortMonitor, BusyPortIsProbedAgainOnceReleased) {
    FakePortTree tree;
    auto daq = makeDaq(3);
    const std::string port = tree.plugUsb("ttyACM0", daq->devicePath());
    KineSerial holder;
    ASSERT_TRUE(holder.Open(port, 1000000, false));
    tree.use();
    KinePorts_private monitor(0, 1000000);
    ASSERT_TRUE(waitCycles(monitor, 3));
    EXPECT_EQ(monitor.getSize(true), 0);
    holder.Close();
    std::vector<PortText> events;
    ASSERT_TRUE(waitForNew(monitor, 1, events));
    EXPECT_EQ(events[0], (PortText{port, "68 v1.1", ""}));
}

// Destroying discovery while a probe runs waits for the probe and leaves no
// thread behind.
TEST(PortMonitor, DestroyedDuringAProbeLeavesNoThread) {
    FakePortTree tree;
    auto daq = makeDaq(7);  // an identity probe of about a second at 30 Hz
    tree.plugUsb("ttyACM0", daq->devicePath());
    tree.use();
    const int threads = threadCount();
    auto ports = std::unique_ptr<KinePorts>(new KinePorts(0, 1000000));
    ASSERT_TRUE(waitFor([&] { return daq->framesSent() > 0; }, 10s)) << "the probe never opened the port";
    ports.reset();
    EXPECT_TRUE(threadCountBecomes(threads)) << threadCount();
    const uint64_t frames = daq->framesSent();
    EXPECT_FALSE(waitFor([&] { return daq->framesSent() > frames + 3; }, 300ms)) << "port left open";
}

}  // namespace
