// SPDX-License-Identifier: MIT
// A process interval timer of the kind control loops run: SIGALRM every
// `period`, with a handler installed without SA_RESTART, so that sleeps and
// blocking calls of whichever thread takes the signal return early (EINTR).
// The previous timer and handler come back when the object goes away.
#pragma once

#include <chrono>

#include <signal.h>
#include <sys/time.h>

namespace kine_test {

class IntervalTimer {
public:
    explicit IntervalTimer(std::chrono::microseconds period) {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sigaction(SIGALRM, &sa, &savedAction_);
        itimerval t{};
        t.it_interval.tv_sec = static_cast<time_t>(period.count() / 1000000);
        t.it_interval.tv_usec = static_cast<suseconds_t>(period.count() % 1000000);
        t.it_value = t.it_interval;
        setitimer(ITIMER_REAL, &t, &savedTimer_);
    }
    ~IntervalTimer() {
        setitimer(ITIMER_REAL, &savedTimer_, nullptr);
        sigaction(SIGALRM, &savedAction_, nullptr);
    }
    IntervalTimer(const IntervalTimer&) = delete;
    IntervalTimer& operator=(const IntervalTimer&) = delete;

private:
    struct sigaction savedAction_ {};
    itimerval savedTimer_{};
};

}  // namespace kine_test
