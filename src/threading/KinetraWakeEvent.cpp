// SPDX-License-Identifier: MIT
#include "threading/KinetraWakeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

KinetraWakeEvent::KinetraWakeEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

KinetraWakeEvent::~KinetraWakeEvent() {
    if (fd_ >= 0) ::close(fd_);
}

void KinetraWakeEvent::Signal() {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    // Only fails (EAGAIN) when the counter is saturated: it is raised anyway.
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void KinetraWakeEvent::Clear() {
    if (fd_ < 0) return;
    uint64_t count;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool KinetraWakeEvent::IsSignalled() const { return SleepFor(0); }

bool KinetraWakeEvent::SleepFor(unsigned int milliseconds) const {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        const long long ns = left.count() > 0 ? left.count() : 0;
        const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
        // A signal cut the sleep short: sleep for the rest.
    }
}
