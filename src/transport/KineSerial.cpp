// SPDX-License-Identifier: MIT
#include "transport/KineSerial.h"

#include <algorithm>
#include <exception>

#include <time.h>

#include "serial/serial.h"
#include "serial/unix.h"
#include "threading/KinetraThread.h"

namespace {

constexpr int kOpenAttempts = 3;
constexpr unsigned int kOpenRetryMs = 20;
constexpr unsigned int kTimeoutRetryMs = 33;
constexpr int kSafeOpenPasses = 10;
constexpr unsigned long kSafeOpenBytes = 32;
constexpr unsigned long kSafeOpenWindowMs = 333;

serial::Timeout channelTimeout() {
    // Reads take what is queued plus at most about 1 ms; a write of n bytes
    // may take up to 30 + n ms.
    serial::Timeout t;
    t.inter_byte_timeout = 1;
    t.read_timeout_constant = 1;
    t.read_timeout_multiplier = 0;
    t.write_timeout_constant = 30;
    t.write_timeout_multiplier = 1;
    return t;
}

}  // namespace

KineSerial::KineSerial()
    : port_(new serial::Serial("", 9600, serial::Timeout(), serial::eight_bits, serial::parity_none,
                               serial::stopbits_one, serial::flowcontrol_none)) {
    // The channel's descriptor is never the first on the device: the lock's
    // (its own, or its connection's without port locking) came first, set
    // the line up and discarded the stale input.
    serial::detail::PortAccess::impl(*port_).setDiscardOnOpen(false);
}

KineSerial::~KineSerial() {
    Close();
    try {
        port_.reset();
    } catch (...) {
        // A port that refuses to close cannot be reported from a destructor.
    }
}

bool KineSerial::Open(std::string const& port, unsigned int baud, bool safe) {
    lastError_ = NoError;
    openFailure_ = KINE_OPEN_OK;
    openErrno_ = 0;
    portName_ = port;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // The lock is taken once and kept across attempts; a channel that is
        // already open keeps the lock it holds.
        if (lockPort_ && !lock_.held()) {
            openFailure_ = lock_.acquire(portName_, baud);
            openErrno_ = lock_.lastErrno();
            if (openFailure_ != KINE_OPEN_OK) {
                // Another owner, a non-terminal or a refused permission does
                // not change within the attempts.
                if (openFailure_ == KINE_OPEN_BUSY || openFailure_ == KINE_OPEN_NOT_SERIAL ||
                    openFailure_ == KINE_OPEN_PERMISSION_DENIED)
                    break;
                KinetraThread::ThreadSleep(kOpenRetryMs);
                continue;
            }
        }
        try {
            // The settings are stored first, so that open() applies them in
            // one step: the line never runs at another rate or in cooked
            // mode. A channel that is already open reopens in setPort and
            // keeps its settings; open() then refuses.
            port_->setPort(portName_);
            if (!port_->isOpen()) {
                port_->setBytesize(serial::eight_bits);
                port_->setStopbits(serial::stopbits_one);
                port_->setParity(serial::parity_none);
                port_->setFlowcontrol(serial::flowcontrol_none);
                port_->setBaudrate(baud);
            }
            port_->open();
            port_->setTimeout(channelTimeout());
        } catch (const serial::IOException& e) {
            openErrno_ = e.getErrorNumber();
            openFailure_ = openErrno_ != 0 ? PortLock::reasonFor(openErrno_) : KINE_OPEN_IO_ERROR;
            KinetraThread::ThreadSleep(kOpenRetryMs);
            continue;
        } catch (const std::exception&) {
            openFailure_ = KINE_OPEN_IO_ERROR;
            openErrno_ = 0;
            KinetraThread::ThreadSleep(kOpenRetryMs);
            continue;
        }
        if (port_->isOpen()) {
            openFailure_ = KINE_OPEN_OK;
            openErrno_ = 0;
            if (!safe) return true;
            if (SafeOpen()) return true;
            openFailure_ = KINE_OPEN_NO_DATA;
            return false;
        }
    }
    if (openFailure_ == KINE_OPEN_OK) openFailure_ = KINE_OPEN_IO_ERROR;
    if (!port_->isOpen()) lock_.release();
    lastError_ = OpenError;
    return false;
}

bool KineSerial::Open(std::string const& port, unsigned int baud, unsigned int timeout, bool safe) {
    if (!Open(port, baud, safe)) return false;
    serial::Timeout simple;
    simple.inter_byte_timeout = serial::Timeout::max();
    simple.read_timeout_constant = timeout;
    simple.read_timeout_multiplier = 0;
    simple.write_timeout_constant = timeout;
    simple.write_timeout_multiplier = 0;
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        try {
            port_->setTimeout(simple);
            return true;
        } catch (...) {
            KinetraThread::ThreadSleep(kTimeoutRetryMs);
        }
    }
    lastError_ = OpenError;
    return false;
}

bool KineSerial::SafeOpen() {
    for (int pass = 1; pass <= kSafeOpenPasses; ++pass) {
        if (!WaitForRead(kSafeOpenBytes, kSafeOpenWindowMs)) {
            Close();
            lastError_ = SafeOpenError;
            return false;
        }
        if (pass == kSafeOpenPasses) break;  // leave the last pass's bytes waiting
        ClearInputBuffer();
        KinetraThread::ThreadSleep(1);
    }
    return true;
}

void KineSerial::Close() {
    try {
        if (port_->isOpen()) port_->close();
    } catch (const std::exception&) {
        lastError_ = CloseError;
    }
    // The serial layer releases the descriptor even when close reports an
    // error, so the device is no longer this channel's either way.
    if (!port_->isOpen()) lock_.release();
}

bool KineSerial::IsOpen() const { return port_->isOpen(); }

unsigned int KineSerial::BytesAvailable() {
    try {
        return static_cast<unsigned int>(port_->available());
    } catch (const std::exception&) {
        return 0;
    }
}

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

// Poll interval once the descriptor cannot tell when input comes (it reports
// a hang-up or an error without data, or the wait itself fails).
constexpr microseconds kFallbackPoll{1000};
// Shortest sleep while part of a multi-byte count is there.
constexpr microseconds kMinRestWait{100};

KineSerial::Clock::time_point deadlineAfter(unsigned long ms) {
    const auto now = KineSerial::Clock::now();
    // Saturate instead of overflowing the clock for absurd timeouts.
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(KineSerial::Clock::time_point::max() - now);
    if (ms >= static_cast<unsigned long>(room.count())) return KineSerial::Clock::time_point::max();
    return now + std::chrono::milliseconds(ms);
}

timespec toTimespec(nanoseconds d) {
    const long long ns = d.count() > 0 ? d.count() : 0;
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

KineSerial::WaitResult KineSerial::WaitForReadUntil(unsigned long count, Clock::time_point deadline, int wakeFd) {
    serial::Serial::SerialImpl& impl = serial::detail::PortAccess::impl(*port_);
    bool portReadySeen = false;  // the last wait ended because the port was ready
    bool watchPort = true;       // false once the port reports ready without data
    for (;;) {
        const unsigned int available = BytesAvailable();
        if (available >= count) return WaitReady;
        if (portReadySeen && available == 0) watchPort = false;
        const auto now = Clock::now();
        if (now >= deadline) {
            lastError_ = ReadTimeout;
            return WaitTimedOut;
        }
        nanoseconds slice = deadline - now;
        const bool blockOnPort = watchPort && available == 0;
        if (available > 0) {
            // Input is there but not all of it: the port stays readable, so
            // sleep about as long as the missing bytes take on the line.
            const nanoseconds rest{static_cast<long long>(count - available) * impl.getByteTimeNs()};
            slice = std::min(slice, std::clamp<nanoseconds>(rest, kMinRestWait, kFallbackPoll));
        } else if (!watchPort) {
            slice = std::min<nanoseconds>(slice, kFallbackPoll);
        }
        serial::Serial::SerialImpl::WaitOutcome outcome;
        try {
            outcome = impl.waitReadableOrWake(toTimespec(slice), blockOnPort, wakeFd);
        } catch (const std::exception&) {
            // The descriptor cannot be waited on: fall back to looking at the
            // byte count every millisecond, as the count alone decides.
            watchPort = false;
            const timespec pause = toTimespec(std::min<nanoseconds>(slice, kFallbackPoll));
            nanosleep(&pause, nullptr);
            continue;
        }
        if (outcome == serial::Serial::SerialImpl::kWaitWoken) return WaitWoken;
        portReadySeen = outcome == serial::Serial::SerialImpl::kWaitPortReady;
    }
}

KineSerial::WaitResult KineSerial::WaitForRead(unsigned long count, unsigned long timeout, int wakeFd) {
    return WaitForReadUntil(count, deadlineAfter(timeout), wakeFd);
}

bool KineSerial::WaitForRead(unsigned long count, unsigned long timeout) {
    return WaitForRead(count, timeout, -1) == WaitReady;
}

int KineSerial::ReadBytes(unsigned char* buffer, unsigned long size) {
    try {
        return static_cast<int>(port_->read(buffer, size));
    } catch (const std::exception&) {
        lastError_ = ReadError;
        return -1;
    }
}

int KineSerial::ReadBytes(std::vector<unsigned char>& data) {
    unsigned int n = BytesAvailable();
    if (n == 0) return 0;
    try {
        return static_cast<int>(port_->read(data, n));
    } catch (const std::exception&) {
        lastError_ = ReadError;
        return -1;
    }
}

int KineSerial::ReadBytesTimeout(std::vector<unsigned char>& data, unsigned long timeout) {
    return ReadBytesCount(data, 1, timeout);
}

int KineSerial::ReadBytesCount(std::vector<unsigned char>& data, unsigned long count, unsigned long timeout,
                               int wakeFd) {
    return ReadAfterWait(WaitForRead(count, timeout, wakeFd), data);
}

int KineSerial::ReadBytesUntil(std::vector<unsigned char>& data, Clock::time_point deadline, int wakeFd) {
    // The reader's path, once per arrival: one wait and one read of what is
    // queued, as a blocking ppoll()/read() loop makes; the byte count is
    // never asked for. Queued bytes are taken even after the deadline.
    serial::Serial::SerialImpl& impl = serial::detail::PortAccess::impl(*port_);
    bool watchPort = true;  // false once the port reports ready without data (hung up)
    for (;;) {
        const auto now = Clock::now();
        nanoseconds slice = deadline > now ? deadline - now : nanoseconds(0);
        if (!watchPort) slice = std::min<nanoseconds>(slice, kFallbackPoll);
        serial::Serial::SerialImpl::WaitOutcome outcome = serial::Serial::SerialImpl::kWaitTimedOut;
        try {
            outcome = impl.waitReadableOrWake(toTimespec(slice), watchPort, wakeFd);
        } catch (const std::exception&) {
            // The descriptor cannot be waited on: look for bytes every
            // millisecond instead.
            watchPort = false;
            const timespec pause = toTimespec(std::min<nanoseconds>(slice, kFallbackPoll));
            nanosleep(&pause, nullptr);
        }
        if (outcome == serial::Serial::SerialImpl::kWaitWoken) return 0;
        if (outcome == serial::Serial::SerialImpl::kWaitPortReady || !watchPort) {
            size_t n = 0;
            try {
                n = impl.readQueued(chunk_, sizeof chunk_);
            } catch (const std::exception&) {
                lastError_ = ReadError;
                return -1;
            }
            if (n > 0) {
                data.insert(data.end(), chunk_, chunk_ + n);
                return static_cast<int>(n);
            }
            if (outcome == serial::Serial::SerialImpl::kWaitPortReady) watchPort = false;
        }
        if (Clock::now() >= deadline) {
            lastError_ = ReadTimeout;
            return -2;
        }
    }
}

int KineSerial::ReadAfterWait(WaitResult wait, std::vector<unsigned char>& data) {
    constexpr int kReadTimedOut = -2;
    switch (wait) {
    case WaitTimedOut: return kReadTimedOut;
    case WaitWoken: return 0;
    case WaitReady: break;
    }
    return ReadBytes(data);
}

void KineSerial::ClearInputBuffer() {
    if (BytesAvailable() == 0) return;
    std::vector<unsigned char> discard;
    ReadBytes(discard);
}

int KineSerial::WriteBytes(unsigned char const* data, unsigned long size) {
    try {
        return static_cast<int>(port_->write(data, size));
    } catch (const std::exception&) {
        lastError_ = WriteError;
        return -1;
    }
}

int KineSerial::WriteBytes(std::vector<unsigned char> const& data) {
    try {
        return static_cast<int>(port_->write(data));
    } catch (const std::exception&) {
        lastError_ = WriteError;
        return -1;
    }
}

int KineSerial::WriteAndErase(std::vector<unsigned char>& data) {
    int r = WriteBytes(data);
    if (r > 0) data.erase(data.begin(), data.begin() + r);
    return r;
}

KineSerial::LastErrorType KineSerial::GetLastError() const { return lastError_; }

void KineSerial::SetError(LastErrorType error) { lastError_ = error; }
