// SPDX-License-Identifier: MIT
// Base class of the library's background threads (the reader of a DAQ
// connection, the port monitor). A subclass supplies Run(); stopping is
// cooperative: the owner sets the subclass's own stop flag under the
// subclass's lock, then calls Wait(). Lock order: subclass lock first, then
// the thread lock.
//
// Time services: ThreadSleep and ThreadNow (wall-clock milliseconds, for
// instants) and MonotonicNow (for every elapsed time: waits, timeouts, ages,
// so that stepping the wall clock never makes a wait end early or hang).
#pragma once

#include <atomic>
#include <cstdint>

#include "threading/KinetraMutex.h"

class KinetraThreadImpl;

class KinetraThread {
public:
    // Threads start with Start(); see the constructor for why `false` does
    // not start one from here.
    explicit KinetraThread(bool startDeferred);
    bool IsStartDeferred() const { return startDeferred_; }
    virtual void Run() = 0;
    virtual ~KinetraThread();
    KinetraThread(const KinetraThread&) = delete;
    KinetraThread& operator=(const KinetraThread&) = delete;

    void Start();  // starts a new thread unless one is running
    void Stop();   // joins a running thread (it must be told to end first)
    int Wait();    // joins the thread if one exists; returns at once otherwise
    bool IsRunning() const;
    bool HaveImplementationInstance() const;

    // Runs on the new thread: Run(), then clears the running flag.
    void StartRun();

    static void ThreadSleep(unsigned int milliseconds);
    static uint64_t ThreadNow();     // CLOCK_REALTIME, ms since the epoch
    static uint64_t MonotonicNow();  // CLOCK_MONOTONIC, ms

private:
    void CreateThread();
    void DestroyThread();

    KinetraMutex threadLock_;
    std::atomic<bool> running_{false};
    bool startDeferred_;
    std::atomic<KinetraThreadImpl*> impl_{nullptr};
};
