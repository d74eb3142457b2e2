// SPDX-License-Identifier: MIT
// Opening a DAQ: only a stream the connection can decode opens it, a failed
// open tells why, a connection owns its device, and close() from another
// thread cancels an open that waits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <thread>

#include "kine/KineDAQ.h"
#include "kine_sim/simulated_daq.h"
#include "support/byte_streamer.h"
#include "support/pty_pair.h"
#include "support/sim_daq.h"
#include "transport/KineSerial.h"

namespace {

using namespace std::chrono;
using kine_test::msSince;
using kine_test::portOf;
using kine_test::waitFor;

using kine_test::simulatedDaq;

struct Case {
    int version;       // protocol version of the simulated unit
    const char* text;  // device version text given to open
    int sensors;       // sensor count after a successful open
};

void PrintTo(const Case& c, std::ostream* os) { *os << "v" << c.version << " \"" << c.text << "\""; }

class OpenAccepts : public ::testing::TestWithParam<Case> {};

// Every unit opens with its own text, and a 0x37-family unit with any text
// outside the 0xAA family; the sensor count is right at once.
TEST_P(OpenAccepts, TheStreamItCanDecode) {
    const Case c = GetParam();
    auto sim = simulatedDaq(c.version);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portOf(sim->devicePath(), c.text)));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_OK);
    EXPECT_EQ(daq.lastOpenErrno(), 0);
    EXPECT_EQ(daq.getVersion(), c.version);
    EXPECT_EQ(daq.getSensorSize(), c.sensors);
}

INSTANTIATE_TEST_SUITE_P(Texts, OpenAccepts,
                         ::testing::Values(Case{3, "68 v1.1", 1}, Case{4, "94 v0.9", 4}, Case{5, "95 v1.0", 4},
                                           Case{6, "31 v0.9", 1}, Case{7, "34 v0.9", 4}, Case{8, "64 v0.9", 4},
                                           Case{4, "unknown", 4}, Case{5, "68 v1.1", 4}, Case{3, "", 1}));

class OpenRefuses : public ::testing::TestWithParam<Case> {};

// The connection first opens the unit with its own text, so that neither
// the version nor anything else left from that connection helps the wrong
// text through.
TEST_P(OpenRefuses, AStreamThatDoesNotMatchTheText) {
    const Case c = GetParam();
    auto sim = simulatedDaq(c.version);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portOf(sim->devicePath(), sim->deviceVersionText())));
    daq.close();
    EXPECT_FALSE(daq.open(portOf(sim->devicePath(), c.text)));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_VERSION_MISMATCH);
    EXPECT_EQ(daq.lastOpenErrno(), 0);
    EXPECT_FALSE(daq.isOpen());
    EXPECT_EQ(daq.getSensorSize(), 0);
}

INSTANTIATE_TEST_SUITE_P(WrongTexts, OpenRefuses,
                         ::testing::Values(Case{7, "68 v1.1", 0}, Case{7, "hello", 0}, Case{7, " 34 v0.9", 0},
                                           Case{8, "34 v0.9", 0}, Case{7, "64 v0.9", 0}, Case{6, "34 v0.9", 0},
                                           Case{7, "31 v0.9", 0}, Case{8, "95 v1.0", 0}, Case{3, "34 v0.9", 0}));

TEST(OpenReasons, PortsThatAreNoDaq) {
    KineDAQ daq;
    EXPECT_FALSE(daq.open(KPort()));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_INVALID_ARGUMENT);

    EXPECT_FALSE(daq.open(portOf("/dev/kine-no-such-device", "68 v1.1")));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_NO_DEVICE);
    EXPECT_EQ(daq.lastOpenErrno(), ENOENT);

    EXPECT_FALSE(daq.open(portOf("/dev/null", "68 v1.1")));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_NOT_SERIAL);
    EXPECT_EQ(daq.lastOpenErrno(), ENOTTY);

    kine_test::PtyPair pty;
    auto t0 = steady_clock::now();
    EXPECT_FALSE(daq.open(portOf(pty.slavePath(), "68 v1.1")));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_NO_DATA);
    EXPECT_LT(msSince(t0), 10000);
    {
        // Bytes that never form a frame.
        kine_test::ByteStreamer counting(pty, 64, milliseconds(5));
        EXPECT_FALSE(daq.open(portOf(pty.slavePath(), "68 v1.1")));
        EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_BAD_CHECKSUMS);
    }
    {
        // A six-axis header followed by junk is no six-axis unit.
        std::vector<uint8_t> junk(62, 0x11);
        junk[0] = 0x37;
        junk[1] = 0x5F;
        kine_test::ByteStreamer sixAxisJunk(pty, junk, milliseconds(5));
        EXPECT_FALSE(daq.open(portOf(pty.slavePath(), "68 v1.1")));
        EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_BAD_CHECKSUMS);
        EXPECT_EQ(daq.getSensorSize(), 0);
    }
    EXPECT_FALSE(daq.isOpen());

    auto sim = simulatedDaq(3);
    ASSERT_TRUE(daq.open(portOf(sim->devicePath(), "68 v1.1")));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_OK);
    EXPECT_FALSE(daq.open(portOf(sim->devicePath(), "68 v1.1")));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_ALREADY_OPEN);
    EXPECT_TRUE(daq.isOpen());
}

// Run as root, the test drops its privileges in a child process, which then
// opens a pty nobody may open.
TEST(OpenReasons, PermissionDeniedCarriesTheSystemError) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    kine_test::PtyPair pty;
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(90);
        KineDAQ daq;
        if (daq.open(portOf(pty.slavePath(), "68 v1.1"))) _exit(91);
        if (daq.lastOpenError() != KINE_OPEN_PERMISSION_DENIED) _exit(92);
        _exit(daq.lastOpenErrno() == EACCES ? 0 : 93);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A second connection, a probing channel and another program that locks
// the device are all refused at once while the first connection holds it,
// and the first connection keeps every frame of its stream.
TEST(OpenOwnership, OneOwnerPerDaq) {
    auto sim = simulatedDaq(3);
    sim->setConstant(kine_sim::SensorValues());
    const KPort port = portOf(sim->devicePath(), "68 v1.1");
    KineDAQ first;
    ASSERT_TRUE(first.open(port));
    // Numbered frames: aux 40000, 40001, ... (0 in every other frame).
    std::vector<int32_t> sequence(800);
    std::iota(sequence.begin(), sequence.end(), 40000);
    sim->feed(kine_sim::Channel::aux, sequence);

    KineDAQ second;
    auto t0 = steady_clock::now();
    EXPECT_FALSE(second.open(port));
    EXPECT_LT(msSince(t0), 500);  // refused, not after the one-second wait for a frame
    EXPECT_EQ(second.lastOpenError(), KINE_OPEN_BUSY);
    EXPECT_EQ(second.lastOpenErrno(), EWOULDBLOCK);
    KineSerial probe;
    EXPECT_FALSE(probe.Open(sim->devicePath(), 1000000, true));
    EXPECT_EQ(probe.GetOpenFailure(), KINE_OPEN_BUSY);
    const int other = ::open(sim->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    ::close(other);

    std::vector<int32_t> seen;
    waitFor(
        [&] {
            KinePackage* all = nullptr;
            const int n = first.readAll(all, false);
            for (int i = 0; i < n; ++i)
                if (all[i].aux >= sequence.front()) seen.push_back(all[i].aux);
            delete[] all;
            return !seen.empty() && seen.back() == sequence.back();
        },
        seconds(5), milliseconds(10));
    EXPECT_EQ(seen, sequence);

    first.close();
    EXPECT_TRUE(second.open(port));  // the lock went with the first connection
}

// The simulator opens its device for a moment now and then; a descriptor
// the code under test left open stays.
bool noDescriptorLeft(int before) {
    return waitFor([&] { return kine_test::openDescriptorCount() <= before; }, seconds(1));
}

// close() on another thread while open() waits; `waiting` tells when the
// open has reached the wait to interrupt. Returns how long the open took to
// return after close() was called.
long cancelWhileWaiting(const KPort& port, const std::function<bool(KineDAQ&)>& waiting) {
    KineDAQ daq;  // owns a wake descriptor for its whole life
    const int fds = kine_test::openDescriptorCount();
    const int threads = kine_test::threadCount();
    std::atomic<bool> result{true};
    steady_clock::time_point returned;
    std::thread opener([&] {
        result = daq.open(port);
        returned = steady_clock::now();
    });
    EXPECT_TRUE(waitFor([&] { return waiting(daq); }, seconds(5)));
    std::this_thread::sleep_for(milliseconds(100));  // well inside the wait
    const auto closing = steady_clock::now();
    daq.close();
    opener.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_CANCELLED);
    EXPECT_FALSE(daq.isOpen());
    EXPECT_TRUE(noDescriptorLeft(fds));
    // A joined thread can stay listed for a moment.
    EXPECT_TRUE(waitFor([&] { return kine_test::threadCount() <= threads; }, seconds(2)));
    return static_cast<long>(duration_cast<milliseconds>(returned - closing).count());
}

// The open returns cancelled soon after close(): well before the 900 ms
// left of the wait close() interrupted (how soon: bench/calls_bench).
void expectCancelledQuickly(const KPort& port, const std::function<bool(KineDAQ&)>& waiting) {
    EXPECT_LT(cancelWhileWaiting(port, waiting), 450);
}

TEST(OpenCancel, CloseEndsTheConfigurationExchange) {
    auto sim = simulatedDaq(7);
    sim->setSilent(true);  // each of the 50 requests would wait a second
    expectCancelledQuickly(portOf(sim->devicePath(), "34 v0.9"), [&](KineDAQ&) {
        const bool requested = !sim->received().empty();
        if (requested) sim->clearReceived();
        return requested;
    });
    sim->setSilent(false);
    KineDAQ again;
    EXPECT_TRUE(again.open(portOf(sim->devicePath(), "34 v0.9")));  // nothing was left holding the device
}

TEST(OpenCancel, CloseEndsTheFirstFrameWait) {
    auto sim = simulatedDaq(3);
    sim->corruptNextChecksums(1 << 30);
    expectCancelledQuickly(portOf(sim->devicePath(), "68 v1.1"), [](KineDAQ& daq) { return daq.isOpen(); });
}

// close() racing open() at any moment: the open either ends cancelled and
// closed, or succeeds (close came first, or after it); never a hang or a leak.
TEST(OpenCancel, CloseAtAnyMomentOfOpen) {
    auto sim = simulatedDaq(7);
    const KPort port = portOf(sim->devicePath(), "34 v0.9");
    const int fds = kine_test::openDescriptorCount();
    const int threads = kine_test::threadCount();
    for (int i = 0; i < 20; ++i) {
        KineDAQ daq;
        std::atomic<bool> result{false};
        std::thread opener([&] { result = daq.open(port); });
        std::this_thread::sleep_for(microseconds(1500 * i));
        daq.close();
        opener.join();
        if (!result) {
            EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_CANCELLED) << i;
            EXPECT_FALSE(daq.isOpen()) << i;
        }
    }
    EXPECT_TRUE(noDescriptorLeft(fds));
    EXPECT_TRUE(kine_test::threadCountBecomes(threads)) << kine_test::threadCount();
}

}  // namespace
