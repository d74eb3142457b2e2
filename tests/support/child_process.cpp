// SPDX-License-Identifier: MIT
#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace kine_test {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, int runAsUid) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (runAsUid >= 0) {
            const gid_t gid = static_cast<gid_t>(runAsUid);
            if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(static_cast<uid_t>(runAsUid)) != 0) _exit(126);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    ::close(outFd_);
    ::close(errFd_);
}

bool ChildProcess::drain(std::chrono::milliseconds wait) {
    pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(p, 2, static_cast<int>(wait.count())) <= 0) return false;
    bool got = false;
    std::string* targets[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[4096];
        const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
        if (n > 0) {
            targets[i]->append(buf, static_cast<size_t>(n));
            got = true;
        }
    }
    return got;
}

std::string ChildProcess::outputLine(std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    size_t nl;
    while ((nl = out_.find('\n', lineStart_)) == std::string::npos && Clock::now() < end)
        drain(std::chrono::milliseconds(20));
    const size_t stop = nl == std::string::npos ? out_.size() : nl;
    std::string line = out_.substr(lineStart_, stop - lineStart_);
    lineStart_ = nl == std::string::npos ? out_.size() : nl + 1;
    return line;
}

bool ChildProcess::errorContains(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (err_.find(text) == std::string::npos && Clock::now() < end) drain(std::chrono::milliseconds(20));
    return err_.find(text) != std::string::npos;
}

int ChildProcess::exitStatus(std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) return -1;
        drain(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    while (drain(std::chrono::milliseconds(0))) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::signal(int sig) { kill(pid_, sig); }

}  // namespace kine_test
