// SPDX-License-Identifier: MIT
// A pseudo-terminal pair standing in for a serial device in tests: the slave
// path is opened by the code under test, the test drives the master side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kine_test {

class PtyPair {
public:
    // Opens a master/slave pair; the slave is put into raw mode and kept open
    // by this object so the pty survives while the code under test reopens it.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slave_path_; }
    int masterFd() const { return master_; }

    // Writes all bytes to the master (the device "sends" them).
    void write(const std::vector<uint8_t>& bytes);
    void write(const std::string& text);
    // Reads from the master what the code under test wrote, until `count`
    // bytes have arrived or `timeout` has passed.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout);
    // Drains whatever is waiting on the master side right now.
    std::vector<uint8_t> readAvailable();
    // Closes the master: the slave side sees a hang-up, like a pulled cable.
    void hangUp();
    // Closes the helper's own slave descriptor (so only the code under test holds it).
    void closeSlaveKeeper();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
};

// Number of open descriptors of this process (from /proc/self/fd).
int openDescriptorCount();
// Number of threads of this process (from /proc/self/status). The first
// call starts and joins a thread, so that helper threads a sanitizer runtime
// starts with the first thread creation are counted from the beginning.
int threadCount();
// True once threadCount() is `expected`, waiting up to 10 s: a joined thread
// is counted until the kernel reaps it, which can lag on a loaded machine.
bool threadCountBecomes(int expected);

// Milliseconds since `start` on the steady clock.
inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Waits until pred() is true or the timeout passes; returns pred()'s last value.
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout,
             std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        struct timespec ts {
            0, static_cast<long>(std::chrono::nanoseconds(step).count())
        };
        nanosleep(&ts, nullptr);
    }
    return true;
}

}  // namespace kine_test
