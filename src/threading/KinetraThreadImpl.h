// SPDX-License-Identifier: MIT
// The operating-system side of a KinetraThread: one joinable POSIX thread
// that runs its owner's StartRun(). It is joined at most once, whichever of
// Wait() and the destructor comes first.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <mutex>

class KinetraThread;

class KinetraThreadImpl {
public:
    explicit KinetraThreadImpl(KinetraThread* owner);
    ~KinetraThreadImpl();  // joins unless already joined
    KinetraThreadImpl(const KinetraThreadImpl&) = delete;
    KinetraThreadImpl& operator=(const KinetraThreadImpl&) = delete;

    bool Started() const { return started_; }  // false when the system refused the thread
    void Resume();                             // the thread runs from creation; nothing to do
    int Wait();                                // joins once; later calls return at once

    static void* ThreadFunction(void* argument);
    static void ThreadSleep(unsigned int milliseconds);
    static uint64_t ThreadNow();
    static uint64_t MonotonicNow();

private:
    KinetraThread* owner_;
    pthread_t handle_{};
    bool started_ = false;
    bool joined_ = false;
    std::mutex joinMutex_;
};
