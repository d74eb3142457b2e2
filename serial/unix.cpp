// SPDX-License-Identifier: MIT
#include "serial/unix.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace serial {

namespace {

// The source named by the exceptions raised here.
const char* const kSourceFile = "serial/unix.cpp";

// errno is read before anything else is evaluated, so building the
// exception cannot disturb it.
#define SERIAL_THROW_ERRNO()                                    \
    do {                                                        \
        const int saved_errno_ = errno;                         \
        throw IOException(kSourceFile, __LINE__, saved_errno_); \
    } while (0)

#define SERIAL_THROW_IO(arg) throw IOException(kSourceFile, __LINE__, (arg))

// "<errno> <strerror(errno)>", as appended to the ioctl failure texts.
std::string errno_text(int err) {
    char buf[256];
    return std::to_string(err) + " " + strerror_r(err, buf, sizeof buf);
}

[[noreturn]] void throw_ioctl_failure(const char* text, int err) {
    const std::string description = text + errno_text(err);
    throw SerialException(description.c_str());
}

// The poll results that select() counts as "ready to read" / "ready to write".
constexpr short kReadReady = POLLIN | POLLRDNORM | POLLRDBAND | POLLPRI | POLLHUP | POLLERR;
constexpr short kWriteReady = POLLOUT | POLLWRNORM | POLLWRBAND | POLLHUP | POLLERR;

}  // namespace

// ---------------------------------------------------------------- timer

MillisecondTimer::MillisecondTimer(uint32_t millis) : expiry(expiry_after(timespec_now(), millis)) {}

int64_t MillisecondTimer::remaining() const { return remaining_until(expiry, timespec_now()); }

timespec MillisecondTimer::timespec_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec MillisecondTimer::expiry_after(const timespec& now, uint32_t millis) {
    const int64_t ns = static_cast<int64_t>(static_cast<double>(now.tv_nsec) + millis * 1e6);
    timespec expiry{};
    if (ns >= 1000000000) {
        const int64_t carry = ns / 1000000000;
        expiry.tv_sec = now.tv_sec + carry;
        expiry.tv_nsec = ns - carry * 1000000000;
    } else {
        expiry.tv_sec = now.tv_sec;
        expiry.tv_nsec = ns;
    }
    return expiry;
}

int64_t MillisecondTimer::remaining_until(const timespec& expiry, const timespec& now) {
    const int64_t a = static_cast<int64_t>(static_cast<double>(expiry.tv_sec - now.tv_sec) * 1000.0);
    const double b = static_cast<double>(expiry.tv_nsec - now.tv_nsec) / 1000000.0;
    return static_cast<int64_t>(static_cast<double>(a) + b);
}

timespec timespec_from_ms(uint32_t millis) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(millis / 1000.0);
    t.tv_nsec = static_cast<long>((millis - static_cast<double>(t.tv_sec) * 1000.0) * 1000000);
    return t;
}

// ---------------------------------------------------------------- termios

namespace detail {

void make_raw(termios& options) {
    options.c_cflag |= (CLOCAL | CREAD);
    options.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN);
    options.c_oflag &= ~OPOST;
    options.c_iflag &= ~(IGNBRK | PARMRK | INLCR | IGNCR | ICRNL | IUCLC);
}

bool standard_speed(uint64_t baudrate, speed_t& speed) {
    static const struct {
        uint64_t rate;
        speed_t constant;
    } kRates[] = {
        {0, B0},
        {50, B50},
        {75, B75},
        {110, B110},
        {134, B134},
        {150, B150},
        {200, B200},
        {300, B300},
        {600, B600},
        {1200, B1200},
        {1800, B1800},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {57600, B57600},
        {115200, B115200},
        {230400, B230400},
        {460800, B460800},
        {576000, B576000},
        {921600, B921600},
        {1000000, B1000000},
        {1152000, B1152000},
        {1500000, B1500000},
        {2000000, B2000000},
        {2500000, B2500000},
        {3000000, B3000000},
        {3500000, B3500000},
        {4000000, B4000000},
    };
    for (const auto& r : kRates) {
        if (r.rate == baudrate) {
            speed = r.constant;
            return true;
        }
    }
    return false;
}

void set_line_settings(termios& options, bytesize_t bytesize, parity_t parity, stopbits_t stopbits,
                       flowcontrol_t flowcontrol, bool& xonxoff, bool& rtscts) {
    options.c_cflag &= ~CSIZE;
    switch (bytesize) {
    case eight_bits: options.c_cflag |= CS8; break;
    case seven_bits: options.c_cflag |= CS7; break;
    case six_bits: options.c_cflag |= CS6; break;
    case five_bits: options.c_cflag |= CS5; break;
    default: throw std::invalid_argument("invalid char len");
    }

    switch (stopbits) {
    case stopbits_one: options.c_cflag &= ~CSTOPB; break;
    case stopbits_two:
    case stopbits_one_point_five: options.c_cflag |= CSTOPB; break;
    default: throw std::invalid_argument("invalid stop bit");
    }

    options.c_iflag &= ~(INPCK | ISTRIP);
    switch (parity) {
    case parity_none: options.c_cflag &= ~(PARENB | PARODD); break;
    case parity_odd: options.c_cflag |= (PARENB | PARODD); break;
    case parity_even:
        options.c_cflag &= ~PARODD;
        options.c_cflag |= PARENB;
        break;
    case parity_mark: options.c_cflag |= (PARENB | PARODD | CMSPAR); break;
    case parity_space:
        options.c_cflag &= ~PARODD;
        options.c_cflag |= (PARENB | CMSPAR);
        break;
    default: throw std::invalid_argument("invalid parity");
    }

    switch (flowcontrol) {
    case flowcontrol_none:
        xonxoff = false;
        rtscts = false;
        break;
    case flowcontrol_software:
        xonxoff = true;
        rtscts = false;
        break;
    case flowcontrol_hardware:
        xonxoff = false;
        rtscts = true;
        break;
    default: break;
    }
    if (xonxoff)
        options.c_iflag |= (IXON | IXOFF);
    else
        options.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (rtscts)
        options.c_cflag |= CRTSCTS;
    else
        options.c_cflag &= ~CRTSCTS;

    // A read never blocks in the driver; all waiting is done by the layer.
    options.c_cc[VMIN] = 0;
    options.c_cc[VTIME] = 0;
}

uint32_t byte_time_ns(uint64_t baudrate, bytesize_t bytesize, parity_t parity, stopbits_t stopbits) {
    if (baudrate == 0) return 0;  // no line, no character time
    const uint64_t bit_time = static_cast<uint64_t>(1e9 / static_cast<double>(baudrate));
    const uint64_t bits = static_cast<uint64_t>(1 + bytesize + parity + stopbits);
    double t = static_cast<double>(bits * bit_time);
    if (stopbits == stopbits_one_point_five) t -= 1.5 * static_cast<double>(bit_time);
    if (t <= 0) return 0;
    return static_cast<uint32_t>(std::min(t, static_cast<double>(std::numeric_limits<uint32_t>::max())));
}

void configure_line(int fd, uint64_t baudrate, bytesize_t bytesize, parity_t parity, stopbits_t stopbits,
                    flowcontrol_t flowcontrol, bool& xonxoff, bool& rtscts) {
    termios options{};
    if (tcgetattr(fd, &options) == -1) SERIAL_THROW_IO("::tcgetattr");

    make_raw(options);
    set_line_settings(options, bytesize, parity, stopbits, flowcontrol, xonxoff, rtscts);
    speed_t speed = B0;
    const bool standard = standard_speed(baudrate, speed);
    if (standard) cfsetspeed(&options, speed);
    // Raw mode, line settings and a standard rate take effect together. A
    // driver that refuses part of them (a pseudo-terminal refuses parity)
    // keeps the rest, as before: the result is not an error of the layer.
    tcsetattr(fd, TCSANOW, &options);
    if (standard) return;

    // Any other rate: a custom divisor of the UART's base clock. The termios
    // speed stays as it was.
    serial_struct ser{};
    if (ioctl(fd, TIOCGSERIAL, &ser) == -1) SERIAL_THROW_ERRNO();
    const int32_t rate = static_cast<int32_t>(baudrate);
    ser.custom_divisor = rate != 0 ? static_cast<int>(static_cast<int64_t>(ser.baud_base) / rate) : 0;
    ser.flags = static_cast<int>((static_cast<unsigned>(ser.flags) & ~ASYNC_SPD_MASK) | ASYNC_SPD_CUST);
    if (ioctl(fd, TIOCSSERIAL, &ser) == -1) SERIAL_THROW_ERRNO();
}

}  // namespace detail

// ---------------------------------------------------------------- port

Serial::SerialImpl::SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize, parity_t parity,
                               stopbits_t stopbits, flowcontrol_t flowcontrol)
    : port(port),
      fd(-1),
      is_open(false),
      xonxoff(false),
      rtscts(false),
      timeout(),
      baudrate(baudrate),
      byte_time_ns(0),
      parity(parity),
      bytesize(bytesize),
      stopbits(stopbits),
      flowcontrol(flowcontrol) {
    pthread_mutex_init(&read_mutex, nullptr);
    pthread_mutex_init(&write_mutex, nullptr);
    if (!port.empty()) {
        try {
            open();
        } catch (...) {
            pthread_mutex_destroy(&write_mutex);
            pthread_mutex_destroy(&read_mutex);
            throw;
        }
    }
}

Serial::SerialImpl::~SerialImpl() {
    try {
        close();
    } catch (...) {
        // close() has released the descriptor anyway; nothing else to do.
    }
    pthread_mutex_destroy(&write_mutex);
    pthread_mutex_destroy(&read_mutex);
}

void Serial::SerialImpl::open() {
    if (port.empty()) throw std::invalid_argument("Empty port is invalid.");
    if (is_open) throw SerialException("Serial port already open.");

    for (;;) {
        fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd != -1) break;
        switch (errno) {
        case EINTR: continue;
        case ENFILE:
        case EMFILE: SERIAL_THROW_IO("Too many file handles open.");
        default: SERIAL_THROW_ERRNO();
        }
    }

    // Raw at the stored rate before anything else touches the line, then drop
    // what arrived while the terminal was still in its previous mode.
    try {
        reconfigurePort();
        if (discard_on_open && tcflush(fd, TCIFLUSH) == -1) SERIAL_THROW_ERRNO();
    } catch (...) {
        ::close(fd);
        fd = -1;
        throw;
    }
    is_open = true;
}

void Serial::SerialImpl::close() {
    if (!is_open) return;
    if (fd != -1) {
        // Linux releases the descriptor even when close() reports an error,
        // so the port is closed either way; closing the number again later
        // could hit a descriptor that has since been reused.
        const int result = ::close(fd);
        const int err = errno;
        fd = -1;
        is_open = false;
        if (result != 0) SERIAL_THROW_IO(err);
    }
    is_open = false;
}

bool Serial::SerialImpl::isOpen() const { return is_open; }

size_t Serial::SerialImpl::available() {
    if (!is_open) return 0;
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) == -1) SERIAL_THROW_ERRNO();
    return static_cast<size_t>(count);
}

void Serial::SerialImpl::reconfigurePort() {
    if (fd == -1) SERIAL_THROW_IO("Invalid file descriptor, is the serial port open?");
    detail::configure_line(fd, baudrate, bytesize, parity, stopbits, flowcontrol, xonxoff, rtscts);
    byte_time_ns = detail::byte_time_ns(baudrate, bytesize, parity, stopbits);
}

// ---------------------------------------------------------------- transfers

bool Serial::SerialImpl::waitReadable(uint32_t timeout_ms) {
    if (!is_open) return false;
    // poll rather than select: a select set cannot hold descriptors at or
    // above FD_SETSIZE.
    pollfd p{fd, POLLIN, 0};
    const timespec ts = timespec_from_ms(timeout_ms);
    const int r = ppoll(&p, 1, &ts, nullptr);
    if (r < 0) {
        if (errno == EINTR) return false;
        SERIAL_THROW_ERRNO();
    }
    if (r == 0) return false;
    if (p.revents & POLLNVAL) SERIAL_THROW_IO(EBADF);
    if (p.revents & kReadReady) return true;
    SERIAL_THROW_IO("select reports ready to read, but our fd isn't in the list, this shouldn't happen!");
}

Serial::SerialImpl::WaitOutcome Serial::SerialImpl::waitReadableOrWake(const timespec& timeout, bool watch_port,
                                                                       int wake_fd) {
    pollfd p[2] = {{watch_port && is_open ? fd : -1, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int r = ppoll(p, 2, &timeout, nullptr);
    if (r < 0) {
        if (errno == EINTR) return kWaitTimedOut;
        SERIAL_THROW_ERRNO();
    }
    if (r == 0) return kWaitTimedOut;
    if (p[1].revents & (POLLIN | POLLERR | POLLHUP)) return kWaitWoken;
    if (p[0].revents & POLLNVAL) SERIAL_THROW_IO(EBADF);
    return (p[0].revents & kReadReady) ? kWaitPortReady : kWaitTimedOut;
}

void Serial::SerialImpl::waitByteTimes(size_t count) {
    uint64_t total = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(count), uint64_t{byte_time_ns}, &total))
        total = std::numeric_limits<uint64_t>::max();
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(total / 1000000000ULL);
    ts.tv_nsec = static_cast<long>(total % 1000000000ULL);
    // An interrupted sleep simply ends early.
    ppoll(nullptr, 0, &ts, nullptr);
}

size_t Serial::SerialImpl::readQueued(uint8_t* buf, size_t size) {
    if (!is_open) throw PortNotOpenedException("Serial::readQueued");
    const ssize_t n = ::read(fd, buf, size);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == EIO) return 0;
    SERIAL_THROW_ERRNO();
}

size_t Serial::SerialImpl::read(uint8_t* buf, size_t size) {
    if (!is_open) throw PortNotOpenedException("Serial::read");

    const uint32_t total_ms =
        static_cast<uint32_t>(timeout.read_timeout_constant + uint64_t{timeout.read_timeout_multiplier} * size);
    const MillisecondTimer total(total_ms);

    // Take whatever is queued without waiting.
    size_t bytes_read = 0;
    ssize_t n = ::read(fd, buf, size);
    if (n > 0) bytes_read = static_cast<size_t>(n);

    while (bytes_read < size) {
        const int64_t left = total.remaining();
        if (left <= 0) break;
        const uint32_t wait = static_cast<uint32_t>(std::min<int64_t>(timeout.inter_byte_timeout, left));
        // An expired inter-byte wait does not end the read; only the total does.
        if (!waitReadable(wait)) continue;

        if (size > 1 && timeout.inter_byte_timeout == Timeout::max()) {
            // Let the rest of a fixed-length block arrive, to take it in one call.
            const size_t avail = available();
            if (avail + bytes_read < size) waitByteTimes(size - (avail + bytes_read));
        }

        n = ::read(fd, buf + bytes_read, size - bytes_read);
        if (n < 1)
            throw SerialException("device reports readiness to read but returned no data (device disconnected?)");
        bytes_read += static_cast<size_t>(n);
        if (bytes_read == size) break;
        if (bytes_read > size)
            throw SerialException(
                "read over read, too many bytes where read, this shouldn't happen, might be a "
                "logical error!");
    }
    return bytes_read;
}

size_t Serial::SerialImpl::write(const uint8_t* data, size_t length) {
    if (!is_open) throw PortNotOpenedException("Serial::write");

    const uint32_t total_ms =
        static_cast<uint32_t>(timeout.write_timeout_constant + uint64_t{timeout.write_timeout_multiplier} * length);
    const MillisecondTimer total(total_ms);

    if (length == 0) return 0;

    size_t bytes_written = 0;
    for (;;) {
        const int64_t left = total.remaining();
        if (left <= 0) return bytes_written;

        pollfd p{fd, POLLOUT, 0};
        const timespec ts = timespec_from_ms(static_cast<uint32_t>(left));
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            SERIAL_THROW_ERRNO();
        }
        if (r == 0) return bytes_written;
        if (p.revents & POLLNVAL) SERIAL_THROW_IO(EBADF);
        if (!(p.revents & kWriteReady))
            SERIAL_THROW_IO(
                "select reports ready to write, but our fd isn't in the list, this shouldn't "
                "happen!");

        const ssize_t n = ::write(fd, data + bytes_written, length - bytes_written);
        if (n < 1)
            throw SerialException("device reports readiness to write but returned no data (device disconnected?)");
        bytes_written += static_cast<size_t>(n);
        if (bytes_written == length) return bytes_written;
        if (bytes_written > length)
            throw SerialException(
                "write over wrote, too many bytes where written, this shouldn't happen, might be "
                "a logical error!");
    }
}

// ---------------------------------------------------------------- settings

void Serial::SerialImpl::setPort(const std::string& name) { port = name; }
std::string Serial::SerialImpl::getPort() const { return port; }

void Serial::SerialImpl::setTimeout(Timeout t) { timeout = t; }
Timeout Serial::SerialImpl::getTimeout() const { return timeout; }

void Serial::SerialImpl::setBaudrate(unsigned long value) {
    baudrate = value;
    if (is_open) reconfigurePort();
}
unsigned long Serial::SerialImpl::getBaudrate() const { return baudrate; }

void Serial::SerialImpl::setBytesize(bytesize_t value) {
    bytesize = value;
    if (is_open) reconfigurePort();
}
bytesize_t Serial::SerialImpl::getBytesize() const { return bytesize; }

void Serial::SerialImpl::setParity(parity_t value) {
    parity = value;
    if (is_open) reconfigurePort();
}
parity_t Serial::SerialImpl::getParity() const { return parity; }

void Serial::SerialImpl::setStopbits(stopbits_t value) {
    stopbits = value;
    if (is_open) reconfigurePort();
}
stopbits_t Serial::SerialImpl::getStopbits() const { return stopbits; }

void Serial::SerialImpl::setFlowcontrol(flowcontrol_t value) {
    flowcontrol = value;
    if (is_open) reconfigurePort();
}
flowcontrol_t Serial::SerialImpl::getFlowcontrol() const { return flowcontrol; }

// ---------------------------------------------------------------- line control

void Serial::SerialImpl::flush() {
    if (!is_open) throw PortNotOpenedException("Serial::flush");
    tcdrain(fd);
}

void Serial::SerialImpl::flushInput() {
    if (!is_open) throw PortNotOpenedException("Serial::flushInput");
    tcflush(fd, TCIFLUSH);
}

void Serial::SerialImpl::flushOutput() {
    if (!is_open) throw PortNotOpenedException("Serial::flushOutput");
    tcflush(fd, TCOFLUSH);
}

void Serial::SerialImpl::sendBreak(int duration) {
    if (!is_open) throw PortNotOpenedException("Serial::sendBreak");
    tcsendbreak(fd, duration / 4);
}

void Serial::SerialImpl::setBreak(bool level) {
    if (!is_open) throw PortNotOpenedException("Serial::setBreak");
    if (level) {
        if (ioctl(fd, TIOCSBRK) == -1) throw_ioctl_failure("setBreak failed on a call to ioctl(TIOCSBRK): ", errno);
    } else {
        if (ioctl(fd, TIOCCBRK) == -1) throw_ioctl_failure("setBreak failed on a call to ioctl(TIOCCBRK): ", errno);
    }
}

void Serial::SerialImpl::setModemBit(int bit, bool level, const char* set_text, const char* clear_text) {
    int command = bit;
    if (ioctl(fd, level ? TIOCMBIS : TIOCMBIC, &command) == -1)
        throw_ioctl_failure(level ? set_text : clear_text, errno);
}

void Serial::SerialImpl::setRTS(bool level) {
    if (!is_open) throw PortNotOpenedException("Serial::setRTS");
    setModemBit(TIOCM_RTS, level,
                "setRTS failed on a call to ioctl(TIOCMBIS): ", "setRTS failed on a call to ioctl(TIOCMBIC): ");
}

void Serial::SerialImpl::setDTR(bool level) {
    if (!is_open) throw PortNotOpenedException("Serial::setDTR");
    setModemBit(TIOCM_DTR, level,
                "setDTR failed on a call to ioctl(TIOCMBIS): ", "setDTR failed on a call to ioctl(TIOCMBIC): ");
}

bool Serial::SerialImpl::waitForChange() {
    const int mask = TIOCM_CD | TIOCM_DSR | TIOCM_RI | TIOCM_CTS;
    if (ioctl(fd, TIOCMIWAIT, mask) == -1)
        throw_ioctl_failure("waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", errno);
    return true;
}

bool Serial::SerialImpl::getModemBit(int bit, const char* text) {
    int status = 0;
    if (ioctl(fd, TIOCMGET, &status) == -1) throw_ioctl_failure(text, errno);
    return (status & bit) != 0;
}

bool Serial::SerialImpl::getCTS() {
    if (!is_open) throw PortNotOpenedException("Serial::getCTS");
    return getModemBit(TIOCM_CTS, "getCTS failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getDSR() {
    if (!is_open) throw PortNotOpenedException("Serial::getDSR");
    return getModemBit(TIOCM_DSR, "getDSR failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getRI() {
    if (!is_open) throw PortNotOpenedException("Serial::getRI");
    return getModemBit(TIOCM_RNG, "getRI failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getCD() {
    if (!is_open) throw PortNotOpenedException("Serial::getCD");
    return getModemBit(TIOCM_CAR, "getCD failed on a call to ioctl(TIOCMGET): ");
}

// ---------------------------------------------------------------- locks

void Serial::SerialImpl::readLock() {
    if (const int r = pthread_mutex_lock(&read_mutex)) SERIAL_THROW_IO(r);
}

void Serial::SerialImpl::readUnlock() {
    if (const int r = pthread_mutex_unlock(&read_mutex)) SERIAL_THROW_IO(r);
}

void Serial::SerialImpl::writeLock() {
    if (const int r = pthread_mutex_lock(&write_mutex)) SERIAL_THROW_IO(r);
}

void Serial::SerialImpl::writeUnlock() {
    if (const int r = pthread_mutex_unlock(&write_mutex)) SERIAL_THROW_IO(r);
}

}  // namespace serial
