// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "support/byte_streamer.h"
#include "support/pty_pair.h"
#include "threading/KinetraWakeEvent.h"
#include "transport/KineSerial.h"

namespace {

using namespace std::chrono;
using kine_test::ByteStreamer;
using kine_test::msSince;
using kine_test::PtyPair;
using kine_test::waitFor;
using Bytes = std::vector<unsigned char>;

// Closes the descriptor the process holds on `path` behind the serial
// layer's back, so that its own close() fails.
bool closeDescriptorOf(const std::string& path) {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return false;
    int victim = -1;
    while (dirent* e = readdir(d)) {
        char link[PATH_MAX];
        std::string fdPath = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        int fd = atoi(e->d_name);
        if (path == link && fd > victim) victim = fd;  // the newest one is the channel's
    }
    closedir(d);
    return victim >= 0 && ::close(victim) == 0;
}

TEST(KineSerial, FreshChannel) {
    KineSerial ch;
    EXPECT_FALSE(ch.IsOpen());
    EXPECT_EQ(ch.GetLastError(), KineSerial::NoError);
    EXPECT_EQ(ch.BytesAvailable(), 0u);
    ch.Close();  // closed: nothing happens, nothing recorded
    EXPECT_EQ(ch.GetLastError(), KineSerial::NoError);
    Bytes v{1};
    EXPECT_EQ(ch.ReadBytes(v), 0);  // nothing waits on a closed port
    EXPECT_EQ(v, Bytes{1});
    unsigned char buf[4];
    EXPECT_EQ(ch.ReadBytes(buf, 4), -1);
    EXPECT_EQ(ch.GetLastError(), KineSerial::ReadError);
    EXPECT_EQ(ch.WriteBytes(v), -1);
    EXPECT_EQ(ch.GetLastError(), KineSerial::WriteError);
    ch.SetError(KineSerial::CloseError);
    EXPECT_EQ(ch.GetLastError(), KineSerial::CloseError);
}

TEST(KineSerial, OpenMissingPathMakesThreeAttempts) {
    KineSerial ch;
    auto t0 = steady_clock::now();
    EXPECT_FALSE(ch.Open("/dev/kine-no-such-device", 1000000, false));
    long ms = msSince(t0);
    EXPECT_GE(ms, 60);    // three attempts, each followed by a 20 ms sleep
    EXPECT_LT(ms, 5000);  // and then it gives up
    EXPECT_EQ(ch.GetLastError(), KineSerial::OpenError);
    EXPECT_FALSE(ch.IsOpen());
}

TEST(KineSerial, OpenResetsErrorAndReadsWhatWaits) {
    PtyPair pty;
    KineSerial ch;
    ch.SetError(KineSerial::ReadError);
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
    EXPECT_EQ(ch.GetLastError(), KineSerial::NoError);
    EXPECT_EQ(ch.GetPortName(), pty.slavePath());

    Bytes v;
    EXPECT_EQ(ch.ReadBytes(v), 0);  // nothing waiting: returns at once
    EXPECT_TRUE(v.empty());

    pty.write(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
    Bytes got{0xEE};
    EXPECT_EQ(ch.ReadBytesCount(got, 10, 1000), 14);  // takes all, more than asked
    ASSERT_EQ(got.size(), 15u);
    EXPECT_EQ(got[0], 0xEE);
    EXPECT_EQ(got[14], 14);

    pty.write(std::vector<uint8_t>{9});
    ASSERT_TRUE(waitFor([&] { return ch.BytesAvailable() == 1; }, seconds(1)));
    EXPECT_TRUE(ch.WaitForRead(1, 0));  // bytes tested before the clock
    ch.ClearInputBuffer();
    EXPECT_EQ(ch.BytesAvailable(), 0u);
}

TEST(KineSerial, ReadTimeoutAfterSilence) {
    PtyPair pty;
    KineSerial ch;
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
    Bytes v;
    auto t0 = steady_clock::now();
    EXPECT_EQ(ch.ReadBytesTimeout(v, 550), -2);
    long ms = msSince(t0);
    EXPECT_GE(ms, 545);  // the channel counts whole milliseconds
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(ch.GetLastError(), KineSerial::ReadTimeout);
    pty.write(std::vector<uint8_t>{1, 2});
    EXPECT_EQ(ch.ReadBytesTimeout(v, 550), 2);
    EXPECT_EQ(ch.GetLastError(), KineSerial::ReadTimeout);  // sticky
}

TEST(KineSerial, OpenTwiceFailsAndLeavesPortOpen) {
    PtyPair pty;
    KineSerial ch;
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
    EXPECT_FALSE(ch.Open(pty.slavePath(), 1000000, false));
    EXPECT_EQ(ch.GetLastError(), KineSerial::OpenError);
    EXPECT_TRUE(ch.IsOpen());
}

TEST(KineSerial, SafeOpenNeedsASteadyStream) {
    PtyPair fast;
    {
        ByteStreamer s(fast, 64, milliseconds(5));
        KineSerial ch;
        auto t0 = steady_clock::now();
        EXPECT_TRUE(ch.Open(fast.slavePath(), 1000000, true));
        EXPECT_LT(msSince(t0), 1700);  // ten passes as the bytes come, not ten 333 ms windows
        EXPECT_EQ(ch.GetLastError(), KineSerial::NoError);
        EXPECT_GE(ch.BytesAvailable(), 32u);  // the last pass's bytes are left waiting
    }
    PtyPair slow;
    {
        ByteStreamer s(slow, 4, milliseconds(100));
        KineSerial ch;
        auto t0 = steady_clock::now();
        EXPECT_FALSE(ch.Open(slow.slavePath(), 1000000, true));
        EXPECT_GE(msSince(t0), 325);  // one 333 ms window, counted in whole ms
        EXPECT_EQ(ch.GetLastError(), KineSerial::SafeOpenError);
        EXPECT_FALSE(ch.IsOpen());
    }
}

TEST(KineSerial, SimpleTimeoutOpenAndPartialWrite) {
    PtyPair pty;
    KineSerial ch;
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, 50u, false));
    // Nobody drains the master, so the pty accepts only part of a large write
    // before the 50 ms write timeout ends it.
    Bytes data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    const Bytes original = data;
    auto t0 = steady_clock::now();
    int r = ch.WriteAndErase(data);
    EXPECT_LT(msSince(t0), 1000);
    ASSERT_GT(r, 0);
    ASSERT_LT(static_cast<size_t>(r), original.size());
    EXPECT_EQ(data.size(), original.size() - static_cast<size_t>(r));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), original.begin() + r));
    auto sent = pty.read(static_cast<size_t>(r), seconds(2));
    ASSERT_EQ(sent.size(), static_cast<size_t>(r));
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), original.begin()));
}

TEST(KineSerial, HangUpTurnsReadsAndWritesIntoErrors) {
    PtyPair pty;
    KineSerial ch;
    // With the simple timeout a read waits, sees the hang-up as readiness
    // and then gets no data.
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, 200u, false));
    pty.hangUp();
    Bytes data{1, 2, 3, 4, 5};
    EXPECT_EQ(ch.WriteAndErase(data), -1);
    EXPECT_EQ(data, (Bytes{1, 2, 3, 4, 5}));  // unchanged on failure
    EXPECT_EQ(ch.GetLastError(), KineSerial::WriteError);
    unsigned char buf[8];
    EXPECT_EQ(ch.ReadBytes(buf, sizeof buf), -1);
    EXPECT_EQ(ch.GetLastError(), KineSerial::ReadError);
}

TEST(KineSerial, FailingCloseIsRecorded) {
    PtyPair pty;
    KineSerial ch;
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
    pty.closeSlaveKeeper();
    ASSERT_TRUE(closeDescriptorOf(pty.slavePath()));
    ch.Close();
    EXPECT_EQ(ch.GetLastError(), KineSerial::CloseError);
}

TEST(KineSerial, OpenCloseCyclesLeakNoDescriptors) {
    PtyPair pty;
    const int before = kine_test::openDescriptorCount();
    for (int i = 0; i < 300; ++i) {
        KineSerial ch;
        ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
        ch.Close();
        ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));  // reopen after close
    }
    EXPECT_EQ(kine_test::openDescriptorCount(), before);
}

// CPU time of the calling thread.
milliseconds threadCpu() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return duration_cast<milliseconds>(seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec));
}

TEST(KineSerial, WaitsBlockUntilTheBytesComeOrAWakeArrives) {
    PtyPair pty;
    KineSerial ch;
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
    KinetraWakeEvent wake;

    // Bytes in two pieces: the wait needs all five, then takes all six.
    std::thread device([&] {
        std::this_thread::sleep_for(milliseconds(30));
        pty.write(std::vector<uint8_t>{1, 2});
        std::this_thread::sleep_for(milliseconds(30));
        pty.write(std::vector<uint8_t>{3, 4, 5, 6});
    });
    Bytes v;
    const auto cpu0 = threadCpu();
    const auto start = steady_clock::now();
    auto t0 = start;
    EXPECT_EQ(ch.ReadBytesCount(v, 5, 5000, wake.Fd()), 6);
    EXPECT_LT(msSince(t0), 2000);
    device.join();
    EXPECT_EQ(v, (Bytes{1, 2, 3, 4, 5, 6}));

    // A raised wake ends the wait at once, reads nothing, records nothing.
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(30));
        wake.Signal();
    });
    t0 = steady_clock::now();
    EXPECT_EQ(ch.WaitForRead(1, 5000, wake.Fd()), KineSerial::WaitWoken);
    EXPECT_LT(msSince(t0), 2000);
    waker.join();
    EXPECT_EQ(ch.GetLastError(), KineSerial::NoError);
    EXPECT_TRUE(wake.IsSignalled());  // the owner lowers it
    // Waiting bytes win over a raised wake.
    pty.write(std::vector<uint8_t>{7});
    ASSERT_TRUE(waitFor([&] { return ch.BytesAvailable() == 1; }, seconds(1)));
    EXPECT_EQ(ch.ReadBytesCount(v, 1, 5000, wake.Fd()), 1);
    wake.Clear();
    EXPECT_FALSE(wake.IsSignalled());
    EXPECT_EQ(ch.WaitForRead(1, 500, wake.Fd()), KineSerial::WaitTimedOut);
    EXPECT_EQ(ch.GetLastError(), KineSerial::ReadTimeout);
    // Blocking, not spinning: a spinning thread would use most of the time
    // waited above even on a loaded machine. What the waits cost is measured
    // by bench/calls_bench.
    EXPECT_LT(threadCpu() - cpu0, (steady_clock::now() - start) / 4);
}

TEST(KineSerial, HungUpPortTimesOutWithoutSpinning) {
    PtyPair pty;
    KineSerial ch;
    ASSERT_TRUE(ch.Open(pty.slavePath(), 1000000, false));
    pty.hangUp();  // the descriptor now reports ready forever, with no data
    Bytes v;
    const auto cpu0 = threadCpu();
    auto t0 = steady_clock::now();
    EXPECT_EQ(ch.ReadBytesTimeout(v, 300), -2);
    EXPECT_GE(msSince(t0), 295);
    EXPECT_EQ(ch.GetLastError(), KineSerial::ReadTimeout);
    // Not spinning (that would use most of the 300 ms); the cost of its
    // 1 ms polls is measured by bench/calls_bench.
    EXPECT_LT(threadCpu() - cpu0, (steady_clock::now() - t0) / 4);
}

TEST(KinetraWakeEvent, SleepEndsOnSignal) {
    KinetraWakeEvent wake;
    EXPECT_FALSE(wake.SleepFor(20));
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(20));
        wake.Signal();
        wake.Signal();  // signals do not count
    });
    auto t0 = steady_clock::now();
    EXPECT_TRUE(wake.SleepFor(5000));
    EXPECT_LT(msSince(t0), 2000);
    waker.join();
    wake.Clear();
    EXPECT_FALSE(wake.IsSignalled());
}

// A channel owns its device from Open to Close: a second channel is refused
// at once (no retries), and gets it once the first has closed, also after a
// failed stream check. Open failures carry their reason.
TEST(KineSerial, ChannelOwnsItsDeviceUntilClose) {
    PtyPair pty;
    KineSerial first, second;
    ASSERT_TRUE(first.Open(pty.slavePath(), 1000000, false));
    EXPECT_EQ(first.GetOpenFailure(), KINE_OPEN_OK);
    auto t0 = steady_clock::now();
    EXPECT_FALSE(second.Open(pty.slavePath(), 1000000, false));
    EXPECT_LT(msSince(t0), 40);  // a retrying open takes at least 40 ms
    EXPECT_EQ(second.GetLastError(), KineSerial::OpenError);
    EXPECT_EQ(second.GetOpenFailure(), KINE_OPEN_BUSY);
    EXPECT_EQ(second.GetOpenErrno(), EWOULDBLOCK);
    first.Close();
    EXPECT_FALSE(first.Open(pty.slavePath(), 1000000, true));  // silent: the stream check fails
    EXPECT_EQ(first.GetOpenFailure(), KINE_OPEN_NO_DATA);
    ASSERT_TRUE(second.Open(pty.slavePath(), 1000000, false));

    KineSerial other;
    EXPECT_FALSE(other.Open("/dev/null", 1000000, false));
    EXPECT_EQ(other.GetOpenFailure(), KINE_OPEN_NOT_SERIAL);
    EXPECT_EQ(other.GetOpenErrno(), ENOTTY);
    EXPECT_FALSE(other.Open("/dev/kine-no-such-device", 1000000, false));
    EXPECT_EQ(other.GetOpenFailure(), KINE_OPEN_NO_DEVICE);
    EXPECT_EQ(other.GetOpenErrno(), ENOENT);
}

}  // namespace
