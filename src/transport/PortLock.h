// SPDX-License-Identifier: MIT
// Exclusive ownership of a serial device between programs and connections:
// an advisory lock (flock, LOCK_EX | LOCK_NB, as serial tools take it) held
// through a descriptor of its own. Opening the device for the lock also
// tells why a device cannot be used: missing, no permission, not a
// terminal, or held by someone else.
//
// Not thread-safe: one owner drives it.
#pragma once

#include <string>

#include "kine/kine_result.h"

class PortLock {
public:
    PortLock() = default;
    ~PortLock() { release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Opens `path`, locks it and puts the line into raw mode, 8N1 without
    // flow control, at `baud`, discarding input queued before. KINE_OPEN_OK,
    // or why not; the operating system's error is then in lastErrno(). An
    // existing lock is released first.
    kine_open_error acquire(const std::string& path, unsigned int baud);
    void release();
    bool held() const { return fd_ >= 0; }
    int lastErrno() const { return errno_; }

    // The open-failure reason an errno stands for.
    static kine_open_error reasonFor(int err);

private:
    kine_open_error fail(int fd, int err);

    int fd_ = -1;
    int errno_ = 0;
};
