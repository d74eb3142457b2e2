// SPDX-License-Identifier: MIT
// Host times of samples that arrive in batches.
//
// A DAQ takes its samples at a steady rate, but the host sees them in
// batches: whatever the USB transfers and the reading thread's wake-ups
// bring together. Every sample of a batch has the same arrival time, and
// arrivals are late by a varying amount (USB frames, scheduling).
//
// SampleClock models the sample times as a straight line, t(k) = base +
// k * period, and keeps it on the lower envelope of the arrivals: a sample
// can reach the host after it was taken but never before, so the earliest
// arrivals are the best witnesses of the true times. An arrival below the
// line moves the line down at once; when every arrival of a window of about
// half a second came late, the line moves up: by the smallest lateness when
// that exceeds a millisecond, else by an eighth of it (one window's smallest
// lateness is itself noisy). The
// period starts at the DAQ's nominal rate and is then measured from the
// lowest arrival of each window (least squares over the last minute), which
// absorbs the drift between the DAQ's crystal and the host's clock. A gap of
// more than a quarter second beyond the line (samples lost, a reconnect)
// starts the model afresh. Times are strictly increasing (by at least 2 µs)
// and not later than the arrival of their batch, except by those steps.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace kine_tools {

class SampleClock {
public:
    explicit SampleClock(double rateHz = 1000.0);

    // Appends the times (seconds on the caller's clock) of the `count`
    // samples of a batch that arrived at `arrival`.
    void timeBatch(double arrival, int count, std::vector<double>& times);

    double period() const { return period_; }

private:
    void restart(double arrival, uint64_t k);
    void closeWindow();

    double nominal_;
    double period_;
    bool started_ = false;
    uint64_t next_ = 0;  // index of the next sample since the last restart
    double base_ = 0.0;
    double last_ = 0.0;  // the last time handed out
    bool anyOut_ = false;
    // The current window: its start, and its lowest arrival above the line.
    double windowStart_ = 0.0;
    double windowLateness_ = 0.0;
    std::pair<double, double> windowLowest_{0.0, 0.0};  // (sample index, arrival)
    bool windowHasPoint_ = false;
    std::deque<std::pair<double, double>> lowest_;  // per closed window
};

}  // namespace kine_tools
