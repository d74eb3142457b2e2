// SPDX-License-Identifier: MIT
// Helpers shared by the serial layer's tests.
#pragma once

#include <serial/serial.h>

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kine_test {

inline serial::Timeout makeTimeout(uint32_t inter_byte, uint32_t read_constant, uint32_t read_multiplier,
                                   uint32_t write_constant = 0, uint32_t write_multiplier = 0) {
    serial::Timeout t;
    t.inter_byte_timeout = inter_byte;
    t.read_timeout_constant = read_constant;
    t.read_timeout_multiplier = read_multiplier;
    t.write_timeout_constant = write_constant;
    t.write_timeout_multiplier = write_multiplier;
    return t;
}

// Descriptors of this process that are open on `path`.
inline std::vector<int> descriptorsOn(const std::string& path) {
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return fds;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        char target[PATH_MAX];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        if (std::string(target, static_cast<size_t>(n)) == path) fds.push_back(std::stoi(e->d_name));
    }
    closedir(d);
    return fds;
}

inline pid_t currentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// The system call thread `tid` of this process is blocked in (with its first
// argument in *first_arg), or -1 while it runs.
inline long blockedSyscall(pid_t tid, unsigned long* first_arg = nullptr) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string text;
    std::getline(file, text);
    std::istringstream in(text);
    long number = -1;
    std::string arg;
    if (!(in >> number >> arg)) return -1;
    if (first_arg != nullptr) *first_arg = std::stoul(arg, nullptr, 16);
    return number;
}

}  // namespace kine_test
