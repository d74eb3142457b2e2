// SPDX-License-Identifier: MIT
// A recursive mutex that counts how often it is held. The same thread may
// lock it again without blocking; every Lock must be matched by one Unlock
// on the same thread.
#pragma once

#include <pthread.h>

#include <atomic>

class KinetraMutex {
public:
    KinetraMutex();
    ~KinetraMutex();
    KinetraMutex(const KinetraMutex&) = delete;
    KinetraMutex& operator=(const KinetraMutex&) = delete;

    // Blocks until the calling thread holds the mutex; returns the POSIX result.
    int Lock();
    // Releases one hold of the calling thread. Does nothing when the mutex is
    // not held at all, or is held by another thread.
    void Unlock();
    // True while any thread holds the mutex.
    bool IsLocked() const;

private:
    pthread_mutex_t mutex_;
    std::atomic<int> lockCount_{0};  // changed only while the mutex is held
};

// Holds a KinetraMutex for the lifetime of a scope.
class KinetraLock {
public:
    explicit KinetraLock(KinetraMutex& m) : m_(m) { m_.Lock(); }
    ~KinetraLock() { m_.Unlock(); }
    KinetraLock(const KinetraLock&) = delete;
    KinetraLock& operator=(const KinetraLock&) = delete;

private:
    KinetraMutex& m_;
};
