// SPDX-License-Identifier: MIT
// A wake-up signal that one thread raises and another waits for together
// with a device, in the same poll: any thread (or a signal handler) calls
// Signal(); the waiting thread sees Fd() turn readable and calls Clear()
// before it looks at what it was woken for, so that no later Signal() is
// lost. Signals do not count: several before a Clear() are one.
//
// Used by the reader thread, whose wait for serial input also wakes when a
// command is queued or the connection is closed; any other wait that must
// end early on request can do the same (KineSerial::WaitForRead and
// ReadBytesCount take the descriptor, SleepFor sleeps on it alone).
#pragma once

class KinetraWakeEvent {
public:
    KinetraWakeEvent();
    ~KinetraWakeEvent();
    KinetraWakeEvent(const KinetraWakeEvent&) = delete;
    KinetraWakeEvent& operator=(const KinetraWakeEvent&) = delete;

    // Raises the signal; thread-safe and async-signal-safe.
    void Signal();
    // Lowers the signal.
    void Clear();
    // True while the signal is raised (does not lower it).
    bool IsSignalled() const;
    // Sleeps up to `milliseconds`; true at once when the signal is raised
    // (or is raised during the sleep), false when the time ran out.
    bool SleepFor(unsigned int milliseconds) const;
    // Readable while the signal is raised. -1 when the system refused an
    // event descriptor (too many open files): Signal() then does nothing and
    // waits simply run to their deadline.
    int Fd() const { return fd_; }

private:
    int fd_;
};
