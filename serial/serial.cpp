// SPDX-License-Identifier: MIT
#include "serial/serial.h"

#include "serial/unix.h"

#include <cstring>
#include <memory>
#include <utility>

namespace serial {

// ---------------------------------------------------------------- exceptions

SerialException::SerialException(const char* description)
    : message(std::string("SerialException ") + description + " failed.") {}
SerialException::~SerialException() noexcept = default;
const char* SerialException::what() const noexcept { return message.c_str(); }

IOException::IOException(std::string file_name, int line_number, int errnum)
    : file(std::move(file_name)), line(line_number), error_number(errnum) {
    char buf[256];
    message = "IO Exception (" + std::to_string(errnum) + "): " + strerror_r(errnum, buf, sizeof buf) + ", file " +
              file + ", line " + std::to_string(line) + ".";
}

IOException::IOException(std::string file_name, int line_number, const char* description)
    : file(std::move(file_name)), line(line_number), error_number(0) {
    message = std::string("IO Exception: ") + description + ", file " + file + ", line " + std::to_string(line) + ".";
}

IOException::~IOException() noexcept = default;
const char* IOException::what() const noexcept { return message.c_str(); }
int IOException::getErrorNumber() const noexcept { return error_number; }
const std::string& IOException::getFile() const noexcept { return file; }
int IOException::getLine() const noexcept { return line; }

PortNotOpenedException::PortNotOpenedException(const char* description)
    : message(std::string("PortNotOpenedException ") + description + " failed.") {}
PortNotOpenedException::~PortNotOpenedException() noexcept = default;
const char* PortNotOpenedException::what() const noexcept { return message.c_str(); }

// ---------------------------------------------------------------- locking

namespace {

// Holds one of the port's transfer locks for a scope. Unlocking a mutex the
// thread holds cannot fail, so the release has nothing to report.
template <void (Serial::SerialImpl::*Lock)(), void (Serial::SerialImpl::*Unlock)()>
class ScopedLock {
public:
    explicit ScopedLock(Serial::SerialImpl* impl) : impl_(impl) { (impl_->*Lock)(); }
    ~ScopedLock() {
        try {
            (impl_->*Unlock)();
        } catch (...) {
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Serial::SerialImpl* impl_;
};

using ScopedReadLock = ScopedLock<&Serial::SerialImpl::readLock, &Serial::SerialImpl::readUnlock>;
using ScopedWriteLock = ScopedLock<&Serial::SerialImpl::writeLock, &Serial::SerialImpl::writeUnlock>;

// True when the last eol.size() bytes of [begin, end) equal eol.
bool ends_with(const uint8_t* begin, const uint8_t* end, const std::string& eol) {
    const size_t n = eol.size();
    if (static_cast<size_t>(end - begin) < n) return false;
    return std::memcmp(end - n, eol.data(), n) == 0;
}

}  // namespace

// ---------------------------------------------------------------- port

Serial::Serial(const std::string& port, uint32_t baudrate, Timeout timeout, bytesize_t bytesize, parity_t parity,
               stopbits_t stopbits, flowcontrol_t flowcontrol)
    : pimpl(new SerialImpl(port, baudrate, bytesize, parity, stopbits, flowcontrol)) {
    pimpl->setTimeout(timeout);
}

Serial::~Serial() { delete pimpl; }

void Serial::open() { pimpl->open(); }
void Serial::close() { pimpl->close(); }
bool Serial::isOpen() const { return pimpl->isOpen(); }
size_t Serial::available() { return pimpl->available(); }

bool Serial::waitReadable() { return pimpl->waitReadable(pimpl->getTimeout().read_timeout_constant); }

void Serial::waitByteTimes(size_t count) { pimpl->waitByteTimes(count); }

size_t Serial::read_(uint8_t* buffer, size_t size) { return pimpl->read(buffer, size); }
size_t Serial::write_(const uint8_t* data, size_t size) { return pimpl->write(data, size); }

size_t Serial::read(uint8_t* buffer, size_t size) {
    ScopedReadLock lock(pimpl);
    return read_(buffer, size);
}

size_t Serial::read(std::vector<uint8_t>& buffer, size_t size) {
    ScopedReadLock lock(pimpl);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[size]);
    const size_t count = read_(scratch.get(), size);
    buffer.insert(buffer.end(), scratch.get(), scratch.get() + count);
    return count;
}

size_t Serial::read(std::string& buffer, size_t size) {
    ScopedReadLock lock(pimpl);
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[size]);
    const size_t count = read_(scratch.get(), size);
    buffer.append(reinterpret_cast<const char*>(scratch.get()), count);
    return count;
}

std::string Serial::read(size_t size) {
    std::string buffer;
    read(buffer, size);
    return buffer;
}

size_t Serial::readline(std::string& buffer, size_t size, std::string eol) {
    ScopedReadLock lock(pimpl);
    if (size == 0) return 0;  // no room for a byte: read nothing
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[size]);
    uint8_t* const line = scratch.get();
    size_t read_so_far = 0;
    for (;;) {
        const size_t count = read_(line + read_so_far, 1);
        read_so_far += count;
        if (count == 0) break;  // timed out
        if (ends_with(line, line + read_so_far, eol)) break;
        if (read_so_far == size) break;
    }
    buffer.append(reinterpret_cast<const char*>(line), read_so_far);
    return read_so_far;
}

std::string Serial::readline(size_t size, std::string eol) {
    std::string buffer;
    readline(buffer, size, std::move(eol));
    return buffer;
}

std::vector<std::string> Serial::readlines(size_t size, std::string eol) {
    ScopedReadLock lock(pimpl);
    std::vector<std::string> lines;
    std::unique_ptr<uint8_t[]> scratch(new uint8_t[size]);
    uint8_t* const buf = scratch.get();
    size_t read_so_far = 0;
    size_t start_of_line = 0;
    auto take_line = [&]() {
        lines.emplace_back(reinterpret_cast<const char*>(buf + start_of_line), read_so_far - start_of_line);
        start_of_line = read_so_far;
    };
    while (read_so_far < size) {
        const size_t count = read_(buf + read_so_far, 1);
        read_so_far += count;
        if (count == 0) {
            if (start_of_line != read_so_far) take_line();
            break;
        }
        // The end of line is looked for within the current line only.
        if (ends_with(buf + start_of_line, buf + read_so_far, eol)) take_line();
        if (read_so_far == size) {
            if (start_of_line != read_so_far) take_line();
            break;
        }
    }
    return lines;
}

size_t Serial::write(const uint8_t* data, size_t size) {
    ScopedWriteLock lock(pimpl);
    return write_(data, size);
}

size_t Serial::write(const std::vector<uint8_t>& data) {
    ScopedWriteLock lock(pimpl);
    return write_(data.data(), data.size());
}

size_t Serial::write(const std::string& data) {
    ScopedWriteLock lock(pimpl);
    return write_(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void Serial::setPort(const std::string& port) {
    ScopedReadLock read_lock(pimpl);
    ScopedWriteLock write_lock(pimpl);
    const bool was_open = pimpl->isOpen();
    if (was_open) pimpl->close();
    pimpl->setPort(port);
    if (was_open) pimpl->open();
}

std::string Serial::getPort() const { return pimpl->getPort(); }

void Serial::setTimeout(Timeout timeout) { pimpl->setTimeout(timeout); }
Timeout Serial::getTimeout() const { return pimpl->getTimeout(); }

void Serial::setBaudrate(uint32_t baudrate) { pimpl->setBaudrate(baudrate); }
uint32_t Serial::getBaudrate() const { return static_cast<uint32_t>(pimpl->getBaudrate()); }

void Serial::setBytesize(bytesize_t bytesize) { pimpl->setBytesize(bytesize); }
bytesize_t Serial::getBytesize() const { return pimpl->getBytesize(); }

void Serial::setParity(parity_t parity) { pimpl->setParity(parity); }
parity_t Serial::getParity() const { return pimpl->getParity(); }

void Serial::setStopbits(stopbits_t stopbits) { pimpl->setStopbits(stopbits); }
stopbits_t Serial::getStopbits() const { return pimpl->getStopbits(); }

void Serial::setFlowcontrol(flowcontrol_t flowcontrol) { pimpl->setFlowcontrol(flowcontrol); }
flowcontrol_t Serial::getFlowcontrol() const { return pimpl->getFlowcontrol(); }

void Serial::flush() {
    ScopedReadLock read_lock(pimpl);
    ScopedWriteLock write_lock(pimpl);
    pimpl->flush();
}

void Serial::flushInput() {
    ScopedReadLock lock(pimpl);
    pimpl->flushInput();
}

void Serial::flushOutput() {
    ScopedWriteLock lock(pimpl);
    pimpl->flushOutput();
}

void Serial::sendBreak(int duration) { pimpl->sendBreak(duration); }
void Serial::setBreak(bool level) { pimpl->setBreak(level); }
void Serial::setRTS(bool level) { pimpl->setRTS(level); }
void Serial::setDTR(bool level) { pimpl->setDTR(level); }
bool Serial::waitForChange() { return pimpl->waitForChange(); }
bool Serial::getCTS() { return pimpl->getCTS(); }
bool Serial::getDSR() { return pimpl->getDSR(); }
bool Serial::getRI() { return pimpl->getRI(); }
bool Serial::getCD() { return pimpl->getCD(); }

}  // namespace serial
