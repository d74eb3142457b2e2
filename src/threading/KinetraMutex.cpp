// SPDX-License-Identifier: MIT
#include "threading/KinetraMutex.h"

KinetraMutex::KinetraMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
}

KinetraMutex::~KinetraMutex() { pthread_mutex_destroy(&mutex_); }

int KinetraMutex::Lock() {
    int rc = pthread_mutex_lock(&mutex_);
    if (rc == 0) lockCount_.fetch_add(1, std::memory_order_relaxed);
    return rc;
}

void KinetraMutex::Unlock() {
    if (lockCount_.load(std::memory_order_relaxed) == 0) return;
    // Only the owner may release: a recursive trylock succeeds exactly when
    // the calling thread already holds the mutex (or nobody does).
    if (pthread_mutex_trylock(&mutex_) != 0) return;
    if (lockCount_.load(std::memory_order_relaxed) == 0) {
        pthread_mutex_unlock(&mutex_);  // nobody held it; undo the trylock
        return;
    }
    lockCount_.fetch_sub(1, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex_);  // the trylock
    pthread_mutex_unlock(&mutex_);  // the hold being released
}

bool KinetraMutex::IsLocked() const { return lockCount_.load(std::memory_order_relaxed) > 0; }
