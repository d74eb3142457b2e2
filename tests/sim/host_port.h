// SPDX-License-Identifier: MIT
// Host side for the simulator tests: the simulator's pty opened as a plain
// POSIX serial port, and a small frame splitter written from the frame
// layouts, independent of the simulator's encoders.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <kine_sim/frames.h>

namespace sim_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The values of the worked Frame A example: x -2, y 3, z 65535, aux 7, raw 1..8.
inline int be16s(const uint8_t* p) { return static_cast<int16_t>((p[0] << 8) | p[1]); }
inline int be16u(const uint8_t* p) { return (p[0] << 8) | p[1]; }

class HostPort {
public:
    explicit HostPort(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetspeed(&t, B1000000);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~HostPort() { close(); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    void write(const Bytes& b) {
        if (::write(fd_, b.data(), b.size()) != static_cast<ssize_t>(b.size()))
            throw std::runtime_error("short write to the simulator");
    }
    void discardInput() { tcflush(fd_, TCIFLUSH); }

    // One read after waiting up to `timeout` for data; empty on timeout.
    // `error` receives errno when the read fails (EIO after a hang-up).
    Bytes readSome(milliseconds timeout, int* error = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        Bytes out;
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return out;
        uint8_t buf[8192];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) out.assign(buf, buf + n);
        if (n < 0 && error) *error = errno;
        if (n == 0 && error) *error = EIO;
        return out;
    }
    // Everything that arrives within `duration`.
    Bytes readFor(milliseconds duration) {
        Bytes out;
        const auto end = Clock::now() + duration;
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            Bytes b = readSome(std::chrono::duration_cast<milliseconds>(end - now) + milliseconds(1));
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }

private:
    int fd_ = -1;
};

struct Frame {
    Bytes bytes;
    bool ok = false;     // checksum good
    uint8_t config = 0;  // 0x37 frames
    int type = -1;       // 0xAA frames
    Bytes payload;       // 0xAA frames
    bool aa() const { return bytes[0] == 0xAA; }
};

// Splits a byte stream into frames; bytes that start no frame are counted as skipped.
class FrameSplitter {
public:
    void feed(const Bytes& b) {
        buf_.insert(buf_.end(), b.begin(), b.end());
        size_t i = 0;
        for (;;) {
            const size_t left = buf_.size() - i;
            if (left < 3) break;
            const uint8_t* p = buf_.data() + i;
            size_t size = 0, sumFrom = 0;
            if (p[0] == 0x37 && (p[1] == 0x44 || p[1] == 0x5E || p[1] == 0x5F)) {
                size = p[1] == 0x44 ? 29 : p[1] == 0x5F ? 57 : (p[2] & 1) ? 37 : 45;
                sumFrom = 2;
            } else if (p[0] == 0xAA && p[1] <= 0x0F) {
                if (left < 4) break;
                size = 4 + (p[3] ? p[3] : 1) + 2;
            } else {
                ++skipped;
                ++i;
                continue;
            }
            if (left < size) break;
            Frame f;
            f.bytes.assign(p, p + size);
            unsigned sum = 0;
            for (size_t k = sumFrom; k + 2 < size; ++k) sum += p[k];
            f.ok = (sum & 0xFFFF) == static_cast<unsigned>(be16u(p + size - 2));
            if (f.aa()) {
                f.type = be16u(p + 1);
                f.payload.assign(p + 4, p + 4 + p[3]);
            } else {
                f.config = p[2];
            }
            frames.push_back(std::move(f));
            i += size;
        }
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    size_t pending() const { return buf_.size(); }

    std::vector<Frame> frames;
    size_t skipped = 0;

private:
    Bytes buf_;
};

inline std::vector<Frame> framesOf(const Bytes& b, size_t* skipped = nullptr) {
    FrameSplitter s;
    s.feed(b);
    if (skipped) *skipped = s.skipped;
    return s.frames;
}

}  // namespace sim_test
