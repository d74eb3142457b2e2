// SPDX-License-Identifier: MIT
// The waiting reads: a caller that wants each sample as soon as it is there
// sleeps until the reader thread appends bytes, instead of polling.
//
// Each wake runs one ordinary read pass on the caller's thread. A pass that
// decodes nothing (the bytes so far end inside a frame) goes back to sleep
// until the next append, so a waiter wakes once per append and never spins.
// The reader wakes every waiter when it appends, when close() is called and
// when it ends by itself; nothing on the waiting side polls.
//
// Several threads may wait on one connection: their passes take turns, and
// each sample goes to exactly one of them.
#include <chrono>
#include <mutex>

#include "daq/KineDAQ_private.h"

template <typename Read>
int KineDAQ_private::waitFor(int timeoutMs, Read read) {
    using Clock = std::chrono::steady_clock;
    const auto pass = [&] {
        const std::lock_guard<std::mutex> turn(waitingReads);
        return read();
    };
    if (timeoutMs == 0) return pass();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Clock::time_point* limit = timeoutMs > 0 ? &deadline : nullptr;
    for (;;) {
        // The count before the pass: bytes appended while it runs wake the
        // wait below at once, so none is slept through.
        const uint64_t seen = reader.arrivals();
        const int r = pass();
        if (r != 0) return r;
        switch (reader.waitForArrival(seen, limit)) {
        case ReaderThread::Arrival::kArrived: break;
        case ReaderThread::Arrival::kTimedOut: return 0;
        case ReaderThread::Arrival::kEnded: {
            // Closed, or the reader stopped: samples of what it appended
            // last, if any; otherwise the connection is not open (whether or
            // not the reader thread has quite finished).
            const int last = pass();
            return last > 0 ? last : KINE_NOT_OPEN;
        }
        }
    }
}

int KineDAQ_private::waitRead(KinePackage& sample, int sensor, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return read(sample, sensor, false); });
}

int KineDAQ_private::waitReadAll(KinePackage*& samples, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return readAll(samples, false); });
}

int KineDAQ_private::waitRead6D(KinePackage6D& sample, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return read6D(sample, false); });
}

int KineDAQ_private::waitReadAll6D(KinePackage6D*& samples, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return readAll6D(samples, false); });
}

int KineDAQ_private::waitReadAll6Axis(int*& values, int timeoutMs) {
    return waitFor(timeoutMs, [&] { return readAll6Axis(values, false); });
}
