// SPDX-License-Identifier: MIT
// POSIX implementation of serial::Serial: the descriptor, the line settings,
// the two transfer locks, and every system call of the serial layer.
// Internal to the library (hidden in the shared library).
#pragma once

#include "serial/serial.h"

#include <pthread.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace serial {

// A deadline `millis` ms after construction, on the monotonic clock.
class MillisecondTimer {
public:
    explicit MillisecondTimer(uint32_t millis);
    // Milliseconds left; zero or negative once the deadline has passed.
    int64_t remaining() const;
    static timespec timespec_now();

    // The deadline arithmetic on an explicit "now".
    static timespec expiry_after(const timespec& now, uint32_t millis);
    static int64_t remaining_until(const timespec& expiry, const timespec& now);

private:
    timespec expiry;
};

// A relative timespec of `millis` ms.
timespec timespec_from_ms(uint32_t millis);

namespace detail {

// Raw mode: CLOCAL and CREAD on; no signals, canonical input, echo, output
// processing or input translation.
void make_raw(termios& options);
// The termios constant of a standard rate; false for rates that need a
// custom divisor.
bool standard_speed(uint64_t baudrate, speed_t& speed);
// Data bits, stop bits, parity and flow control, plus VMIN = VTIME = 0.
// Updates xonxoff/rtscts from `flowcontrol` (an unknown value keeps them).
// Throws std::invalid_argument for bad data bits, stop bits or parity.
void set_line_settings(termios& options, bytesize_t bytesize, parity_t parity, stopbits_t stopbits,
                       flowcontrol_t flowcontrol, bool& xonxoff, bool& rtscts);
// Puts the open terminal `fd` into raw mode with the given rate and line
// settings in one tcsetattr (a rate without a termios constant then gets a
// custom divisor). Throws IOException when the attributes cannot be read or
// the divisor cannot be set, std::invalid_argument for bad data bits, stop
// bits or parity (before anything is applied).
void configure_line(int fd, uint64_t baudrate, bytesize_t bytesize, parity_t parity, stopbits_t stopbits,
                    flowcontrol_t flowcontrol, bool& xonxoff, bool& rtscts);
// Time of one character on the line in nanoseconds (0 for 0 baud).
uint32_t byte_time_ns(uint64_t baudrate, bytesize_t bytesize, parity_t parity, stopbits_t stopbits);

}  // namespace detail

class __attribute__((visibility("hidden"))) Serial::SerialImpl {
public:
    // Opens the port at once when `port` is not empty.
    SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize, parity_t parity,
               stopbits_t stopbits, flowcontrol_t flowcontrol);
    virtual ~SerialImpl();

    SerialImpl(const SerialImpl&) = delete;
    SerialImpl& operator=(const SerialImpl&) = delete;

    void open();
    void close();
    bool isOpen() const;
    size_t available();

    // False at once when the port is not open.
    bool waitReadable(uint32_t timeout_ms);
    // What waitReadableOrWake saw.
    enum WaitOutcome { kWaitTimedOut = 0, kWaitPortReady = 1, kWaitWoken = 2 };
    // Waits up to `timeout` for the port to turn ready to read (only when
    // `watch_port` is set and the port is open; a hang-up or an error counts
    // as ready) or for `wake_fd` to turn readable (ignored when negative).
    // kWaitWoken wins when both are ready; a signal ends the wait early
    // (kWaitTimedOut), so callers loop on their own deadline.
    WaitOutcome waitReadableOrWake(const timespec& timeout, bool watch_port, int wake_fd);
    void waitByteTimes(size_t count);
    size_t read(uint8_t* buf, size_t size);
    // One read of what is queued, without waiting: the count, 0 when nothing
    // is queued or the line hung up (end of file, EIO). Throws on other errors.
    size_t readQueued(uint8_t* buf, size_t size);
    size_t write(const uint8_t* data, size_t length);

    void flush();
    void flushInput();
    void flushOutput();
    void sendBreak(int duration);
    void setBreak(bool level);
    void setRTS(bool level);
    void setDTR(bool level);
    bool waitForChange();
    bool getCTS();
    bool getDSR();
    bool getRI();
    bool getCD();

    void setPort(const std::string& port);
    std::string getPort() const;
    void setTimeout(Timeout timeout);
    Timeout getTimeout() const;
    void setBaudrate(unsigned long baudrate);
    unsigned long getBaudrate() const;
    void setBytesize(bytesize_t bytesize);
    bytesize_t getBytesize() const;
    void setParity(parity_t parity);
    parity_t getParity() const;
    void setStopbits(stopbits_t stopbits);
    stopbits_t getStopbits() const;
    void setFlowcontrol(flowcontrol_t flowcontrol);
    flowcontrol_t getFlowcontrol() const;

    // Applies raw mode and the stored settings to the open descriptor.
    void reconfigurePort();

    void readLock();
    void readUnlock();
    void writeLock();
    void writeUnlock();

    uint32_t getByteTimeNs() const { return byte_time_ns; }
    // Whether open() discards the input queued before it (the default). Off
    // for a descriptor that is not the first on its device: the first one
    // has set the line up and discarded the stale input, and what came since
    // is good data.
    void setDiscardOnOpen(bool on) { discard_on_open = on; }

private:
    void setModemBit(int bit, bool level, const char* set_text, const char* clear_text);
    bool getModemBit(int bit, const char* text);

    std::string port;
    int fd;
    bool is_open;
    bool xonxoff;
    bool rtscts;
    Timeout timeout;
    uint64_t baudrate;
    uint32_t byte_time_ns;
    parity_t parity;
    bytesize_t bytesize;
    stopbits_t stopbits;
    flowcontrol_t flowcontrol;
    bool discard_on_open = true;
    pthread_mutex_t read_mutex;
    pthread_mutex_t write_mutex;
};

namespace detail {

// Reaches the implementation of a Serial from inside the library.
class __attribute__((visibility("hidden"))) PortAccess {
public:
    static Serial::SerialImpl& impl(Serial& port) { return *port.pimpl; }
};

}  // namespace detail

}  // namespace serial
