// SPDX-License-Identifier: MIT
// A program run by a test as a child process, with its standard output and
// standard error on pipes. Killed and reaped on destruction if still running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kine_test {

class ChildProcess {
public:
    // Starts `program` with `args`. With `runAsUid` >= 0 the child first drops
    // to that user (and its group id `runAsUid` too), which needs root.
    ChildProcess(const std::string& program, const std::vector<std::string>& args, int runAsUid = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads standard output up to its next newline (not included), or what
    // has arrived when the timeout passes or the output ends.
    std::string outputLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits until standard error contains `text` or the timeout passes.
    bool errorContains(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Waits for the end and returns the exit status (128 + signal number for
    // a signal), or -1 if the program has not ended within the timeout.
    // Everything the program wrote is then in output() and errors().
    int exitStatus(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void signal(int sig);

    const std::string& output() const { return out_; }
    const std::string& errors() const { return err_; }

private:
    // Moves what the pipes hold into out_ and err_, waiting up to `wait`;
    // true when anything arrived.
    bool drain(std::chrono::milliseconds wait);

    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    std::string out_, err_;
    size_t lineStart_ = 0;  // start of standard output not yet returned by outputLine
};

}  // namespace kine_test
