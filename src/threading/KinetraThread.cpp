// SPDX-License-Identifier: MIT
#include "threading/KinetraThread.h"

#include <exception>

#include "threading/KinetraThreadImpl.h"

// The thread is never started from here, even when the start is not
// deferred: while this base constructor runs the subclass does not exist
// yet, and a thread started now could call Run() through a half-built
// object (a pure virtual call). Every thread starts with Start().
KinetraThread::KinetraThread(bool startDeferred) : startDeferred_(startDeferred) {}

KinetraThread::~KinetraThread() { DestroyThread(); }

void KinetraThread::Start() {
    if (!IsRunning()) CreateThread();
}

void KinetraThread::Stop() {
    if (IsRunning()) DestroyThread();
}

int KinetraThread::Wait() {
    KinetraThreadImpl* impl = impl_.load();
    return impl ? impl->Wait() : 0;
}

bool KinetraThread::IsRunning() const { return running_.load(); }

bool KinetraThread::HaveImplementationInstance() const { return impl_.load() != nullptr; }

void KinetraThread::StartRun() {
    try {
        Run();
    } catch (const std::exception&) {
        // A failing body (memory exhausted) ends the thread, not the program.
    }
    running_.store(false);
}

void KinetraThread::CreateThread() {
    KinetraLock guard(threadLock_);
    delete impl_.exchange(nullptr);  // joins a finished thread unless Wait did
    running_.store(true);            // before the thread can run and clear it
    KinetraThreadImpl* impl = nullptr;
    try {
        impl = new KinetraThreadImpl(this);
    } catch (...) {
        running_.store(false);
        throw;
    }
    if (!impl->Started()) {
        delete impl;
        running_.store(false);
        return;
    }
    impl_.store(impl);
    impl->Resume();
}

void KinetraThread::DestroyThread() {
    KinetraLock guard(threadLock_);
    KinetraThreadImpl* impl = impl_.load();
    if (impl) {
        running_.store(false);
        delete impl;  // joins: blocks until Run has returned
        impl_.store(nullptr);
    }
}

void KinetraThread::ThreadSleep(unsigned int milliseconds) { KinetraThreadImpl::ThreadSleep(milliseconds); }

uint64_t KinetraThread::ThreadNow() { return KinetraThreadImpl::ThreadNow(); }

uint64_t KinetraThread::MonotonicNow() { return KinetraThreadImpl::MonotonicNow(); }
