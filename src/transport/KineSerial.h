// SPDX-License-Identifier: MIT
// The device channel: the only way the DAQ and probing code talk to a serial
// port. It wraps one serial::Serial, opens it with the DAQ's fixed line
// settings (8N1, no flow control) and retry rules, and turns every exception
// of the serial layer into a result (false, -1 for a failure, -2 for a
// timeout, 0) plus a sticky error code, GetLastError().
//
// An open channel owns its device: it holds an exclusive advisory lock on
// it (PortLock) until Close, so a second channel or program is refused at
// once. A caller that holds the device's lock itself turns this off with
// SetPortLocking(false) before Open.
//
// Not thread-safe: each channel is driven by one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "kine/kine_result.h"
#include "transport/PortLock.h"

namespace serial {
class Serial;
}

class KineSerial {
public:
    enum LastErrorType {
        NoError = 0,
        ReadTimeout = 1,
        WriteError = 2,
        ReadError = 3,
        OpenError = 4,
        SafeOpenError = 5,
        CloseError = 6
    };

    KineSerial();
    virtual ~KineSerial();
    KineSerial(const KineSerial&) = delete;
    KineSerial& operator=(const KineSerial&) = delete;

    // Up to 3 attempts, 20 ms apart; a device that is busy, not a terminal
    // or not permitted fails at once. With `safe`, the device must already
    // stream (SafeOpen). Resets the last error and the open failure first.
    bool Open(std::string const& port, unsigned int baud, bool safe);
    // As above, then switches to the simple timeout: reads wait up to
    // `timeout` ms for the whole block, writes up to `timeout` ms.
    bool Open(std::string const& port, unsigned int baud, unsigned int timeout, bool safe);
    // 10 passes, each needing 32 bytes within 333 ms; closes on failure.
    bool SafeOpen();
    void Close();
    bool IsOpen() const;

    unsigned int BytesAvailable();

    // The waits block on the descriptor until input arrives, re-checking the
    // byte count, so they return as soon as the wanted bytes are there.
    // Optionally they also end when `wakeFd` turns readable (for instance a
    // KinetraWakeEvent's Fd() that another thread signals); a negative
    // `wakeFd` is ignored. The byte count is tested before the clock, so a
    // timeout of 0 still succeeds when the bytes are already there.
    using Clock = std::chrono::steady_clock;
    enum WaitResult { WaitReady, WaitTimedOut, WaitWoken };
    // Until `count` bytes wait (WaitReady), `deadline` passes (WaitTimedOut,
    // records ReadTimeout) or `wakeFd` is readable (WaitWoken, records nothing).
    WaitResult WaitForReadUntil(unsigned long count, Clock::time_point deadline, int wakeFd = -1);
    WaitResult WaitForRead(unsigned long count, unsigned long timeout, int wakeFd);
    // True once `count` bytes wait; false (ReadTimeout) after `timeout` ms.
    bool WaitForRead(unsigned long count, unsigned long timeout);
    int ReadBytes(unsigned char* buffer, unsigned long size);
    // Appends everything waiting to `data`; 0 when nothing waits.
    int ReadBytes(std::vector<unsigned char>& data);
    // Wait for 1 (or `count`) bytes, then append everything waiting: the
    // count read, -2 when the bytes did not come in time, -1 when the read
    // failed. With a `wakeFd`, 0 when it woke the wait (nothing read).
    int ReadBytesTimeout(std::vector<unsigned char>& data, unsigned long timeout);
    int ReadBytesCount(std::vector<unsigned char>& data, unsigned long count, unsigned long timeout, int wakeFd = -1);
    // The reader's wait and read until `deadline`: appends what is queued
    // (up to 4 KiB; more stays for the next call) as soon as the port has
    // input, with the results of ReadBytesCount.
    int ReadBytesUntil(std::vector<unsigned char>& data, Clock::time_point deadline, int wakeFd);
    void ClearInputBuffer();

    int WriteBytes(unsigned char const* data, unsigned long size);
    int WriteBytes(std::vector<unsigned char> const& data);
    // Writes `data` and erases from its front the bytes that went out.
    int WriteAndErase(std::vector<unsigned char>& data);

    LastErrorType GetLastError() const;
    void SetError(LastErrorType error);
    // Why the latest Open failed (KINE_OPEN_OK after a successful one) and
    // the operating system's error behind it (0 when none applies).
    kine_open_error GetOpenFailure() const { return openFailure_; }
    int GetOpenErrno() const { return openErrno_; }
    // Whether Open locks the device (the default) or leaves that to the caller.
    void SetPortLocking(bool on) { lockPort_ = on; }
    const std::string& GetPortName() const { return portName_; }

private:
    int ReadAfterWait(WaitResult wait, std::vector<unsigned char>& data);

    std::string portName_;
    std::unique_ptr<serial::Serial> port_;
    LastErrorType lastError_ = NoError;
    PortLock lock_;
    bool lockPort_ = true;
    kine_open_error openFailure_ = KINE_OPEN_OK;
    int openErrno_ = 0;
    unsigned char chunk_[4096];  // ReadBytesUntil's read buffer
};
