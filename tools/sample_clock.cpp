// SPDX-License-Identifier: MIT
#include "sample_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kine_tools {

namespace {

constexpr double kWindowSeconds = 0.5;
constexpr size_t kWindowsKept = 120;  // a minute of windows for the period
constexpr double kRestartAfterSeconds = 0.25;
constexpr double kMaxDrift = 0.02;
constexpr double kCatchUpSeconds = 0.001;
constexpr double kCreep = 0.125;
constexpr double kMinStep = 2e-6;  // the measured period stays within 2 % of the nominal

}  // namespace

SampleClock::SampleClock(double rateHz) : nominal_(rateHz > 0 ? 1.0 / rateHz : 1e-3), period_(nominal_) {}

void SampleClock::restart(double arrival, uint64_t k) {
    started_ = true;
    base_ = arrival - static_cast<double>(k) * period_;
    windowStart_ = arrival;
    windowLateness_ = std::numeric_limits<double>::infinity();
    windowHasPoint_ = false;
    lowest_.clear();
}

void SampleClock::closeWindow() {
    // The smallest lateness of one window is itself noisy (a few batches,
    // each late by chance), so a small one moves the line up by a fraction;
    // a large one (samples lost, or drift not yet measured) moves it at once.
    if (std::isfinite(windowLateness_) && windowLateness_ > 0)
        base_ += windowLateness_ > kCatchUpSeconds ? windowLateness_ : windowLateness_ * kCreep;
    if (windowHasPoint_) {
        lowest_.push_back(windowLowest_);
        if (lowest_.size() > kWindowsKept) lowest_.pop_front();
    }
    if (lowest_.size() >= 4) {
        // Least-squares slope through the lowest arrival of each window.
        double mk = 0, ma = 0;
        for (const auto& p : lowest_) mk += p.first, ma += p.second;
        mk /= static_cast<double>(lowest_.size());
        ma /= static_cast<double>(lowest_.size());
        double skk = 0, ska = 0;
        for (const auto& p : lowest_) {
            skk += (p.first - mk) * (p.first - mk);
            ska += (p.first - mk) * (p.second - ma);
        }
        if (skk > 0) {
            const double measured = std::clamp(ska / skk, nominal_ * (1 - kMaxDrift), nominal_ * (1 + kMaxDrift));
            // The line turns about the newest sample, so times do not jump.
            const double k = static_cast<double>(next_);
            base_ += k * (period_ - measured);
            period_ = measured;
        }
    }
    windowLateness_ = std::numeric_limits<double>::infinity();
    windowHasPoint_ = false;
}

void SampleClock::timeBatch(double arrival, int count, std::vector<double>& times) {
    if (count <= 0) return;
    const uint64_t lastK = next_ + static_cast<uint64_t>(count) - 1;
    if (!started_) restart(arrival, lastK);
    double late = arrival - (base_ + static_cast<double>(lastK) * period_);
    if (late > kRestartAfterSeconds) {
        restart(arrival, lastK);
        late = 0;
    }
    if (late < 0) {
        base_ += late;  // an arrival earlier than the line: the line was late
        late = 0;
    }
    if (late < windowLateness_) windowLateness_ = late;
    if (!windowHasPoint_ || late <= windowLowest_.second - (base_ + windowLowest_.first * period_)) {
        windowLowest_ = {static_cast<double>(lastK), arrival};
        windowHasPoint_ = true;
    }
    for (int i = 0; i < count; ++i) {
        double t = base_ + static_cast<double>(next_ + static_cast<uint64_t>(i)) * period_;
        t = std::min(t, arrival);
        // After the line moved down, times step on by 2 µs until they meet
        // it, so that they stay strictly increasing as printed (µs).
        if (anyOut_ && t < last_ + kMinStep) t = last_ + kMinStep;
        times.push_back(t);
        last_ = t;
        anyOut_ = true;
    }
    next_ += static_cast<uint64_t>(count);
    if (arrival - windowStart_ >= kWindowSeconds) {
        closeWindow();
        windowStart_ = arrival;
    }
}

}  // namespace kine_tools
