// SPDX-License-Identifier: MIT
// The reader thread of one DAQ connection. While it runs it is the only user
// of the connection's serial channel: it collects whatever the DAQ sends into
// a receive buffer bounded at 100,000 bytes (dropping the oldest bytes on
// overflow) and sends the bytes that other threads queue. It ends by itself
// when the DAQ is silent for 550 ms or a read or write fails (status -4).
//
// Its wait for input also wakes at once when a command is queued or close()
// is called, so a queued command goes out without waiting for the next input
// byte and close() returns promptly even when the DAQ has gone quiet.
//
// Waiting reads sleep in waitForArrival until the reader appends bytes,
// stops, or their deadline passes; several threads may wait at once.
//
// Every operation except Run/DoRead/DoWrite may be called from any thread;
// they hold the data lock. Lock order: data lock, then the thread lock.
// The owner stops it with close() followed by Wait().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "kine/kine_result.h"
#include "threading/KinetraMutex.h"
#include "threading/KinetraThread.h"
#include "threading/KinetraWakeEvent.h"
#include "transport/KineSerial.h"

class ReaderThread : public KinetraThread {
public:
    static constexpr size_t kMaxBuffer = 100000;
    static constexpr unsigned long kSilenceMs = 550;

    // Stream status handed out by getBuffer.
    enum Status { kNothingRead = 0, kReading = 1, kOverflow = KINE_READ_OVERFLOW, kStopped = KINE_READER_STOPPED };

    ReaderThread();
    ~ReaderThread() override;

    void Run() override;

    // Starts a new Run on `port`; false (and nothing changes) if one runs.
    bool startRun(std::string const& port, int baud);
    // Asks Run to end after its current pass; does not wait.
    void close();
    bool isOpened();
    std::string getPortName();
    // The received bytes; with keep == false the buffer is emptied.
    std::vector<unsigned char> getBuffer(bool keep, int& status);
    void writeByte(char value);
    void writeByteArray(unsigned char* data, int count);
    // True once after queued bytes went out and data arrived after them.
    bool isConfWritten();

    // What a waiter saw: the number of appends so far.
    uint64_t arrivals();
    enum class Arrival { kArrived, kTimedOut, kEnded };
    // Sleeps until an append after `seen` (kArrived), the deadline
    // (kTimedOut; none when `deadline` is null) or the end of the run, by
    // close() or by the reader itself (kEnded). Signals do not end it early.
    Arrival waitForArrival(uint64_t seen, const std::chrono::steady_clock::time_point* deadline);

    // One wait for input: 1 when bytes were appended, 0 when the wait was
    // woken (nothing read; the silence deadline keeps running), -2 after
    // 550 ms of silence, -1 when the read failed.
    int DoRead();
    bool DoWrite();
    // Appends received bytes under the data lock: applies the buffer bound
    // and the status and write-confirmation rules of one read.
    void appendReceived(const unsigned char* data, size_t count);

private:
    void dropQueuedWrites();
    // Marks the run as live or ended for the waiters and wakes them.
    void setLive(bool live);

    KinetraMutex dataLock_;
    int status_ = kNothingRead;
    std::vector<unsigned char> writeQueue_;
    std::string portName_;
    std::vector<unsigned char> receiveBuffer_;
    std::vector<unsigned char> readChunk_;  // reader thread only
    std::atomic<bool> stopRequested_{false};
    bool confWritten_ = false;
    bool writePending_ = false;
    int baud_ = 1000000;
    KineSerial channel_;     // reader thread only, while it runs
    KinetraWakeEvent wake_;  // raised by close() and by queued commands
    // Reader thread only: end of the current silence window, which starts
    // with the first wait after input (or after the start) and survives wakes.
    KineSerial::Clock::time_point silenceDeadline_;
    bool silenceWindowOpen_ = false;
    // Waiters: the append count and whether a run is live, under their own
    // lock so that waking them never holds up callers of the data lock.
    std::mutex arrivalLock_;
    std::condition_variable arrived_;
    uint64_t arrivals_ = 0;
    bool live_ = false;
};
