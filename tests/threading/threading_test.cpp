// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/interval_timer.h"
#include "support/pty_pair.h"
#include "threading/KinetraMutex.h"
#include "threading/KinetraThread.h"

namespace {

using namespace std::chrono;
using kine_test::waitFor;

// A thread whose body runs until told to stop, counting its runs.
class CountingThread : public KinetraThread {
public:
    explicit CountingThread(bool deferred = true, bool endAtOnce = false)
        : KinetraThread(deferred), endAtOnce_(endAtOnce) {}
    ~CountingThread() override {
        stop_ = true;
        Wait();
    }
    void Run() override {
        runs_.fetch_add(1);
        while (!endAtOnce_ && !stop_.load()) KinetraThread::ThreadSleep(1);
    }
    void requestStop() { stop_ = true; }
    void rearm() { stop_ = false; }
    int runs() const { return runs_.load(); }

private:
    bool endAtOnce_;
    std::atomic<bool> stop_{false};
    std::atomic<int> runs_{0};
};

TEST(KinetraMutex, RecursiveAndCounted) {
    KinetraMutex m;
    EXPECT_FALSE(m.IsLocked());
    m.Unlock();  // unmatched: no effect
    EXPECT_FALSE(m.IsLocked());
    EXPECT_EQ(m.Lock(), 0);
    EXPECT_EQ(m.Lock(), 0);  // same thread again: no deadlock
    m.Unlock();
    EXPECT_TRUE(m.IsLocked());
    m.Unlock();
    EXPECT_FALSE(m.IsLocked());
    m.Unlock();
    EXPECT_FALSE(m.IsLocked());
}

TEST(KinetraMutex, UnlockFromAnotherThreadDoesNotReleaseTheOwnersHold) {
    KinetraMutex m;
    m.Lock();
    std::thread other([&] { m.Unlock(); });
    other.join();
    EXPECT_TRUE(m.IsLocked());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        m.Lock();
        got = true;
        m.Unlock();
    });
    EXPECT_FALSE(waitFor([&] { return got.load(); }, milliseconds(30)));
    m.Unlock();
    waiter.join();
    EXPECT_TRUE(got);
}

TEST(KinetraMutex, ExcludesOtherThreads) {
    KinetraMutex m;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KinetraLock lock(m);
            KinetraLock again(m);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_FALSE(m.IsLocked());
}

TEST(KinetraThread, LifecycleStartStopRestart) {
    CountingThread t;
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.HaveImplementationInstance());
    EXPECT_EQ(t.Wait(), 0);  // never started: returns at once

    t.Start();
    EXPECT_TRUE(t.IsRunning());
    ASSERT_TRUE(waitFor([&] { return t.runs() == 1; }, seconds(2)));
    t.Start();  // already running: no second thread, no block
    EXPECT_EQ(t.runs(), 1);

    t.requestStop();
    t.Wait();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_TRUE(t.HaveImplementationInstance());
    t.Stop();  // finished: nothing to do, implementation stays
    EXPECT_TRUE(t.HaveImplementationInstance());
    t.Wait();  // joined already: must not join again

    t.rearm();
    t.Start();  // restart releases the old thread exactly once
    ASSERT_TRUE(waitFor([&] { return t.runs() == 2; }, seconds(2)));
    t.requestStop();
    t.Stop();
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.HaveImplementationInstance());
}

TEST(KinetraThread, RunThatReturnsAtOnceLeavesRunningFalse) {
    CountingThread t(true, true);
    t.Start();
    ASSERT_TRUE(waitFor([&] { return !t.IsRunning(); }, seconds(2)));
    EXPECT_EQ(t.runs(), 1);
}

// Starting from the base constructor would run Run() before the subclass
// exists; the thread waits for Start() whatever the argument.
TEST(KinetraThread, NoThreadBeforeTheSubclassIsBuilt) {
    for (int i = 0; i < 50; ++i) {
        CountingThread t(false);
        EXPECT_FALSE(t.IsStartDeferred());
        EXPECT_FALSE(t.IsRunning());
        EXPECT_FALSE(t.HaveImplementationInstance());
        t.Start();
        ASSERT_TRUE(waitFor([&] { return t.runs() == 1; }, seconds(2)));
    }
}

TEST(KinetraThread, ManyRestartsLeakNoThreads) {
    const int before = kine_test::threadCount();
    {
        CountingThread t(true, true);
        for (int i = 0; i < 500; ++i) {
            t.Start();
            if (i % 2)
                t.Wait();  // mix explicit joins with joins inside Start
            else
                waitFor([&] { return !t.IsRunning(); }, seconds(1), milliseconds(0));
        }
        t.Wait();
        EXPECT_EQ(t.runs(), 500);
    }
    EXPECT_TRUE(kine_test::threadCountBecomes(before)) << kine_test::threadCount();
}

TEST(KinetraThread, SleepAndClocks) {
    auto t0 = steady_clock::now();
    KinetraThread::ThreadSleep(0);
    // Does not sleep: far below the 1500 ms sleep below (only a hang fails).
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 500);

    t0 = steady_clock::now();
    KinetraThread::ThreadSleep(1500);
    auto slept = duration_cast<milliseconds>(steady_clock::now() - t0).count();
    EXPECT_GE(slept, 1500);
    EXPECT_LT(slept, 2250);  // one sleep, not two

    uint64_t w0 = KinetraThread::ThreadNow(), m0 = KinetraThread::MonotonicNow();
    KinetraThread::ThreadSleep(25);
    uint64_t w1 = KinetraThread::ThreadNow(), m1 = KinetraThread::MonotonicNow();
    // Both clocks count milliseconds (not seconds or microseconds).
    EXPECT_GE(w1 - w0, 24u);
    EXPECT_LT(w1 - w0, 1000u);
    EXPECT_GE(m1 - m0, 24u);
    EXPECT_LT(m1 - m0, 1000u);
    // ThreadNow is wall-clock time since the epoch.
    auto sys = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(KinetraThread::ThreadNow()), static_cast<double>(sys), 2000.0);
}

TEST(KinetraThread, SleepIsWholeUnderAOneKilohertzTimer) {
    kine_test::IntervalTimer timer(milliseconds(1));
    const auto t0 = steady_clock::now();
    KinetraThread::ThreadSleep(200);
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 200);
}

}  // namespace
