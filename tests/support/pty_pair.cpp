// SPDX-License-Identifier: MIT
#include "pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kine_test {

PtyPair::PtyPair() {
    char name[256] = {0};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    slave_path_ = name;
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    int fl = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, fl | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    hangUp();
    closeSlaveKeeper();
}

void PtyPair::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size() && master_ >= 0) {
        ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 10);
        } else {
            break;
        }
    }
}

void PtyPair::write(const std::string& text) { write(std::vector<uint8_t>(text.begin(), text.end())); }

std::vector<uint8_t> PtyPair::read(size_t count, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count && master_ >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        uint8_t buf[4096];
        ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.insert(out.end(), buf, buf + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

std::vector<uint8_t> PtyPair::readAvailable() {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    while (master_ >= 0) {
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void PtyPair::hangUp() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyPair::closeSlaveKeeper() {
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

int openDescriptorCount() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++count;
        closedir(d);
        --count;  // the directory stream itself
    }
    return count;
}

namespace {

int threadsNow() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") {
            int n = 0;
            status >> n;
            return n;
        }
        std::string rest;
        std::getline(status, rest);
    }
    return -1;
}

}  // namespace

int threadCount() {
    // The first thread a process starts brings up helper threads that live on
    // (a sanitizer's background thread); start one before any count is taken.
    // A joined thread is still counted until the kernel has reaped it, which
    // on a loaded machine takes a while, so wait for it to go: a baseline
    // taken too early would include it.
    static const bool warmedUp = [] {
        pid_t tid = 0;
        std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
        const std::string task = "/proc/self/task/" + std::to_string(tid);
        waitFor([&] { return access(task.c_str(), F_OK) != 0; }, std::chrono::seconds(10));
        return true;
    }();
    (void)warmedUp;
    return threadsNow();
}

bool threadCountBecomes(int expected) {
    return waitFor([&] { return threadCount() == expected; }, std::chrono::seconds(10));
}

}  // namespace kine_test
