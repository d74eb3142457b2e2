// SPDX-License-Identifier: MIT
#include "threading/KinetraThreadImpl.h"

#include <errno.h>
#include <time.h>

#include "threading/KinetraThread.h"

KinetraThreadImpl::KinetraThreadImpl(KinetraThread* owner) : owner_(owner) {
    started_ = pthread_create(&handle_, nullptr, &KinetraThreadImpl::ThreadFunction, this) == 0;
}

KinetraThreadImpl::~KinetraThreadImpl() { Wait(); }

void KinetraThreadImpl::Resume() {}

int KinetraThreadImpl::Wait() {
    std::lock_guard<std::mutex> guard(joinMutex_);
    if (!started_ || joined_) return 0;
    joined_ = true;
    return pthread_join(handle_, nullptr);
}

void* KinetraThreadImpl::ThreadFunction(void* argument) {
    static_cast<KinetraThreadImpl*>(argument)->owner_->StartRun();
    return nullptr;
}

// Sleeps the whole time: a sleep cut short by a signal goes on until the
// deadline on the monotonic clock.
void KinetraThreadImpl::ThreadSleep(unsigned int milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

namespace {
uint64_t clockMs(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
}  // namespace

uint64_t KinetraThreadImpl::ThreadNow() { return clockMs(CLOCK_REALTIME); }

uint64_t KinetraThreadImpl::MonotonicNow() { return clockMs(CLOCK_MONOTONIC); }
