// SPDX-License-Identifier: MIT
// The library's serial-port layer: one serial::Serial object per serial
// device, in raw mode, with timed reads and writes, modem control lines and
// exceptions of its own; plus serial::list_ports() for enumerating devices.
//
// Every failure is reported by throwing serial::SerialException,
// serial::IOException, serial::PortNotOpenedException or
// std::invalid_argument. A timeout is never an exception: reads and writes
// return the number of bytes transferred.
#pragma once

#include <kine/kine_export.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace serial {

// Data bits per character; the values are used as counts.
enum bytesize_t : int32_t { five_bits = 5, six_bits = 6, seven_bits = 7, eight_bits = 8 };

enum parity_t : int32_t { parity_none = 0, parity_odd = 1, parity_even = 2, parity_mark = 3, parity_space = 4 };

enum stopbits_t : int32_t { stopbits_one = 1, stopbits_two = 2, stopbits_one_point_five = 3 };

enum flowcontrol_t : int32_t { flowcontrol_none = 0, flowcontrol_software = 1, flowcontrol_hardware = 2 };

// Timeouts of reads and writes, all in milliseconds. A read may take at most
// read_timeout_constant + read_timeout_multiplier * (bytes requested), a write
// likewise with the write fields. inter_byte_timeout bounds each wait for the
// next byte (it never ends a read by itself, only the total does); the value
// Timeout::max() means "no inter-byte limit" and makes a multi-byte read sleep
// for the character times of the missing bytes so a block arrives in one go.
struct Timeout {
    static uint32_t max() { return std::numeric_limits<uint32_t>::max(); }

    uint32_t inter_byte_timeout = 0;
    uint32_t read_timeout_constant = 0;
    uint32_t read_timeout_multiplier = 0;
    uint32_t write_timeout_constant = 0;
    uint32_t write_timeout_multiplier = 0;
};

// what() is "SerialException <description> failed."
class KINE_API SerialException : public std::exception {
public:
    explicit SerialException(const char* description);
    ~SerialException() noexcept override;
    const char* what() const noexcept override;

private:
    std::string message;
};

// what() is "IO Exception (<errnum>): <strerror>, file <file>, line <line>."
// or, for the description form, "IO Exception: <description>, file <file>,
// line <line>." (error number 0).
class KINE_API IOException : public std::exception {
public:
    IOException(std::string file, int line, int errnum);
    IOException(std::string file, int line, const char* description);
    ~IOException() noexcept override;
    const char* what() const noexcept override;

    int getErrorNumber() const noexcept;
    const std::string& getFile() const noexcept;
    int getLine() const noexcept;

private:
    std::string file;
    int line;
    std::string message;
    int error_number;
};

// what() is "PortNotOpenedException <description> failed."
class KINE_API PortNotOpenedException : public std::exception {
public:
    explicit PortNotOpenedException(const char* description);
    ~PortNotOpenedException() noexcept override;
    const char* what() const noexcept override;

private:
    std::string message;
};

namespace detail {
class PortAccess;  // the library's own access to the implementation
}

// A serial device in raw mode. The descriptor is non-blocking; all waiting is
// done by the timed operations below.
//
// Threads: reads hold a read lock and writes a write lock for their whole
// duration, so one reader and one writer may work at once. open, close,
// available, the setters and the control-line calls take no lock; a caller
// that mixes them with transfers on other threads orders them itself.
class KINE_API Serial {
public:
    // Opens the port at once when `port` is not empty (throwing as open()
    // does); with an empty name the port stays closed until open().
    Serial(const std::string& port, uint32_t baudrate, Timeout timeout = Timeout(), bytesize_t bytesize = eight_bits,
           parity_t parity = parity_none, stopbits_t stopbits = stopbits_one,
           flowcontrol_t flowcontrol = flowcontrol_none);
    virtual ~Serial();

    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // Opens the stored port and configures it. Throws std::invalid_argument
    // for an empty name, SerialException when already open, IOException when
    // the device cannot be opened or configured, std::invalid_argument for
    // bad line settings. A failed open leaves the port closed and no
    // descriptor behind.
    void open();
    // Closes the port; does nothing when it is closed.
    void close();
    bool isOpen() const;

    // Bytes waiting in the input queue; 0 when the port is not open.
    size_t available();

    // Waits up to read_timeout_constant ms for input. False on timeout, on an
    // interrupting signal, and at once (without waiting) when the port is not
    // open.
    bool waitReadable();
    // Sleeps for `count` character times at the current line settings.
    void waitByteTimes(size_t count);

    // Reads up to `size` bytes within the read timeouts; returns the count.
    size_t read(uint8_t* buffer, size_t size);
    // Appends the bytes read to `buffer`, keeping its contents; on an
    // exception `buffer` is left unchanged.
    size_t read(std::vector<uint8_t>& buffer, size_t size);
    size_t read(std::string& buffer, size_t size);
    std::string read(size_t size);

    // Reads one byte at a time (each with its own read deadline) until `eol`
    // has been read (it stays in the line), `size` bytes have been read, or a
    // byte does not arrive in time. Appends the line to `buffer` and returns
    // its length. With an empty `eol` every byte ends a line; with `size` 0
    // nothing is read and 0 is returned.
    size_t readline(std::string& buffer, size_t size, std::string eol);
    std::string readline(size_t size, std::string eol);
    // Reads lines as readline does until `size` bytes in all have been read
    // or a byte does not arrive in time; an unterminated rest is the last
    // element.
    std::vector<std::string> readlines(size_t size, std::string eol);

    // Writes within the write timeouts; returns the count written.
    size_t write(const uint8_t* data, size_t size);
    size_t write(const std::vector<uint8_t>& data);
    size_t write(const std::string& data);

    // Stores the device path; an open port is closed and reopened under the
    // new name (left closed under the new name if the reopen throws).
    void setPort(const std::string& port);
    std::string getPort() const;

    void setTimeout(Timeout timeout);
    Timeout getTimeout() const;

    // Each setter stores the value and reconfigures an open port at once;
    // on a closed port the value is checked by the next open().
    void setBaudrate(uint32_t baudrate);
    uint32_t getBaudrate() const;
    void setBytesize(bytesize_t bytesize);
    bytesize_t getBytesize() const;
    void setParity(parity_t parity);
    parity_t getParity() const;
    void setStopbits(stopbits_t stopbits);
    stopbits_t getStopbits() const;
    void setFlowcontrol(flowcontrol_t flowcontrol);
    flowcontrol_t getFlowcontrol() const;

    // Waits until all output has been transmitted.
    void flush();
    // Discards received, unread input.
    void flushInput();
    // Discards written, untransmitted output.
    void flushOutput();

    // Line control; each throws PortNotOpenedException on a closed port and
    // SerialException when the driver refuses the request.
    void sendBreak(int duration);
    void setBreak(bool level = true);
    void setRTS(bool level = true);
    void setDTR(bool level = true);
    // Blocks until CD, DSR, RI or CTS changes; returns true.
    bool waitForChange();
    bool getCTS();
    bool getDSR();
    bool getRI();
    bool getCD();

    class SerialImpl;

private:
    friend class detail::PortAccess;

    size_t read_(uint8_t* buffer, size_t size);
    size_t write_(const uint8_t* data, size_t size);

    SerialImpl* pimpl;
};

// One enumerated serial device.
struct PortInfo {
    // Device path, e.g. "/dev/ttyACM0".
    std::string port;
    // USB: manufacturer, product and serial number joined by blanks;
    // otherwise (or when those are all empty) the device name.
    std::string description;
    // USB: "USB VID:PID=<vendor>:<product>; SNR=<serial>" (the "SNR=" part
    // only with a serial number); otherwise the sysfs id, or "n/a".
    std::string hardware_id;
    // USB: the manufacturer text; otherwise empty.
    std::string manufacturer;
};

// Lists /dev/ttyACM*, /dev/ttyS*, /dev/ttyUSB*, /dev/tty.* and /dev/cu.* in
// that order (each group sorted), described from sysfs. Opens no device and
// never throws for missing or unreadable files.
KINE_API std::vector<PortInfo> list_ports();

}  // namespace serial
