// SPDX-License-Identifier: MIT
// The waiting reads over a running reader thread: the test plays the DAQ on
// a pty. Deadlines here only catch hangs; how fast a waiter wakes is
// measured in bench/ (stream_bench wait).
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "daq/KineDAQ_private.h"
#include "kine_sim/frames.h"
#include "support/byte_streamer.h"
#include "support/daq_access.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono;
using kine_test::msSince;
using kine_test::waitFor;

std::vector<uint8_t> frameA(int i) {
    kine_sim::SensorValues s;
    s.x = 100 + i;
    s.aux = i;
    return kine_sim::encodeFrameA(0xB0, s);
}

// Compensated Frame B of four sensors: sensor k has x = 1000 k + i.
std::vector<uint8_t> frameB(int i) {
    kine_sim::SensorValues s[4];
    for (int k = 0; k < 4; ++k) s[k].x = 1000 * k + i;
    return kine_sim::encodeFrameB(0xB1, s);
}

std::vector<uint8_t> frameE(int i) {
    kine_sim::Values6D v;
    v.Fx = i;
    return kine_sim::encodeFrameE(0xB0, v);
}

class WaitingReads : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(d.readerThread().startRun(pty.slavePath(), 1000000)); }
    void TearDown() override {
        d.readerThread().close();
        pty.write(std::vector<uint8_t>{0x00});  // ends the reader's wait at once
        d.close();
    }

    // Writes bytes and waits until the reader has appended them.
    void sendAndSettle(const std::vector<uint8_t>& bytes) {
        const uint64_t before = d.readerThread().arrivals();
        pty.write(bytes);
        ASSERT_TRUE(waitFor([&] { return d.readerThread().arrivals() > before; }, seconds(5)));
    }

    kine_test::PtyPair pty;
    KineDAQ_private d;
};

TEST_F(WaitingReads, WakeOnAWholeFrameAndNotOnPartOfOne) {
    KinePackage sample;
    auto waiter = std::async(std::launch::async, [&] { return d.waitRead(sample, 0, 20000); });
    const std::vector<uint8_t> f = frameA(7);
    const std::vector<uint8_t> head(f.begin(), f.begin() + 10), tail(f.begin() + 10, f.end());
    sendAndSettle(head);
    // Bytes came but no whole frame: the waiter went back to waiting.
    EXPECT_EQ(waiter.wait_for(milliseconds(50)), std::future_status::timeout);
    pty.write(tail);
    ASSERT_EQ(waiter.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1);
    EXPECT_EQ(sample.x, 107);

    // Samples already there: at once, without waiting for more.
    sendAndSettle(kine_test::concat({frameA(8), frameA(9)}));
    KinePackage* all = nullptr;
    EXPECT_EQ(d.waitReadAll(all, 20000), 2);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all[1].x, 109);
    delete[] all;
}

TEST_F(WaitingReads, SixAxisWaitsWake) {
    KinePackage6D sample;
    auto one = std::async(std::launch::async, [&] { return d.waitRead6D(sample, 20000); });
    pty.write(frameE(5));
    ASSERT_EQ(one.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(one.get(), 1);
    EXPECT_EQ(sample.Fx, 5);

    KinePackage6D* all = nullptr;
    auto many = std::async(std::launch::async, [&] { return d.waitReadAll6D(all, 20000); });
    pty.write(kine_test::concat({frameE(6), frameE(7)}));
    ASSERT_EQ(many.wait_for(seconds(10)), std::future_status::ready);
    const int r = many.get();
    ASSERT_GE(r, 1);  // the two frames may arrive in two appends
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all[r - 1].Fx, 5 + r);
    delete[] all;
}

TEST_F(WaitingReads, FourSensorForceAndTorqueWaits) {
    int* values = nullptr;
    EXPECT_EQ(d.waitReadAll6Axis(values, 10000), KINE_NO_SUCH_SENSOR);  // not yet known to have four sensors
    sendAndSettle(frameB(0));
    KinePackage* all = nullptr;
    EXPECT_EQ(d.waitReadAll(all, 10000), 1);
    delete[] all;
    auto waiter = std::async(std::launch::async, [&] { return d.waitReadAll6Axis(values, 20000); });
    pty.write(frameB(1));
    ASSERT_EQ(waiter.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1);
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values[0], 1501);  // force x: the mean of the four x
    delete[] values;
}

TEST_F(WaitingReads, TimeoutGivesZeroAfterTheWholeWait) {
    // Bytes that never make a frame keep the reader alive and wake the
    // waiter again and again; it must go back to waiting every time.
    kine_test::ByteStreamer noise(pty, std::vector<uint8_t>{0x00}, milliseconds(5));
    KinePackage sample;
    sample.x = 42;
    auto start = steady_clock::now();
    EXPECT_EQ(d.waitRead(sample, 0, 200), 0);
    EXPECT_GE(msSince(start), 200.0);
    EXPECT_EQ(sample.x, 42);

    KinePackage* all = new KinePackage[3];
    EXPECT_EQ(d.waitReadAll(all, 50), 0);
    EXPECT_EQ(all, nullptr);  // readAll's rule: no sample, array released

    start = steady_clock::now();
    EXPECT_EQ(d.waitRead(sample, 0, 0), 0);  // 0: the plain read, no wait
    EXPECT_LT(msSince(start), 2000.0);
    EXPECT_EQ(d.waitRead(sample, 16, 1000), KINE_NO_SUCH_SENSOR);  // codes at once
}

void noteSignal(int) {}

TEST_F(WaitingReads, SignalsDoNotShortenTheWait) {
    kine_test::ByteStreamer noise(pty, std::vector<uint8_t>{0x00}, milliseconds(20));
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = noteSignal;  // no SA_RESTART: interrupted system calls fail with EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::promise<pthread_t> id;
    std::atomic<bool> done{false};
    double waited = 0;
    int result = -100;
    std::thread waiter([&] {
        id.set_value(pthread_self());
        KinePackage sample;
        const auto start = steady_clock::now();
        result = d.waitRead(sample, 0, 300);
        waited = msSince(start);
        done = true;
    });
    const pthread_t target = id.get_future().get();
    int sent = 0;
    for (auto end = steady_clock::now() + seconds(20); !done && steady_clock::now() < end; ++sent) {
        pthread_kill(target, SIGUSR1);
        std::this_thread::sleep_for(milliseconds(2));
    }
    waiter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GT(sent, 10);
    EXPECT_EQ(result, 0);
    EXPECT_GE(waited, 300.0);
}

TEST_F(WaitingReads, CloseAndTheReadersEndWakeEveryWaiter) {
    // A DAQ that falls silent: the reader ends after 550 ms and the waiter
    // without a limit returns then.
    KinePackage sample;
    auto silent = std::async(std::launch::async, [&] { return d.waitRead(sample, 0, -1); });
    ASSERT_EQ(silent.wait_for(seconds(20)), std::future_status::ready);
    EXPECT_EQ(silent.get(), KINE_NOT_OPEN);
    d.close();

    // close() from another thread while three threads wait without limit.
    ASSERT_TRUE(d.readerThread().startRun(pty.slavePath(), 1000000));
    kine_test::ByteStreamer noise(pty, std::vector<uint8_t>{0x00}, milliseconds(5));
    std::vector<std::future<int>> waiters;
    KinePackage samples[3];
    for (auto& s : samples) waiters.push_back(std::async(std::launch::async, [&] { return d.waitRead(s, 0, -1); }));
    EXPECT_EQ(waiters[0].wait_for(milliseconds(100)), std::future_status::timeout);
    d.close();
    for (auto& w : waiters) {
        ASSERT_EQ(w.wait_for(seconds(10)), std::future_status::ready);
        EXPECT_EQ(w.get(), KINE_NOT_OPEN);
    }
    EXPECT_EQ(d.waitRead(sample, 0, -1), KINE_NOT_OPEN);  // closed: at once
}

TEST_F(WaitingReads, SeveralWaitersShareTheStreamEachSampleOnce) {
    constexpr int kFrames = 300;
    std::mutex lock;
    std::vector<int> seen;
    std::vector<std::thread> waiters;
    for (int w = 0; w < 4; ++w)
        waiters.emplace_back([&] {
            KinePackage* all = nullptr;
            for (int r; (r = d.waitReadAll(all, -1)) >= 0;) {
                std::lock_guard<std::mutex> g(lock);
                for (int i = 0; i < r; ++i) seen.push_back(all[i].aux);
            }
            delete[] all;
        });
    for (int i = 0; i < kFrames; ++i) {
        pty.write(frameA(i));
        if (i % 10 == 9) std::this_thread::sleep_for(milliseconds(1));  // several appends
    }
    const bool all = waitFor(
        [&] {
            std::lock_guard<std::mutex> g(lock);
            return seen.size() >= kFrames;
        },
        seconds(20));
    d.close();
    for (auto& t : waiters) t.join();
    EXPECT_TRUE(all);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(std::set<int>(seen.begin(), seen.end()).size(), static_cast<size_t>(kFrames));
}

TEST(WaitingReadsClosed, EveryWaitReturnsNotOpenAtOnce) {
    KineDAQ_private d;
    KinePackage sample;
    KinePackage6D sample6;
    KinePackage* all = nullptr;
    KinePackage6D* all6 = nullptr;
    EXPECT_EQ(d.waitRead(sample, 0, -1), KINE_NOT_OPEN);
    EXPECT_EQ(d.waitReadAll(all, -1), KINE_NOT_OPEN);
    EXPECT_EQ(d.waitRead6D(sample6, -1), KINE_NOT_OPEN);
    EXPECT_EQ(d.waitReadAll6D(all6, 10), KINE_NOT_OPEN);
}

}  // namespace
