// The kine-sim tool as a user runs it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <string>

#include "host_port.h"

#ifdef KINE_SIM_TOOL

namespace {

using namespace sim_test;

// A child process running kine-sim with its standard output on a pipe; killed
// and reaped on destruction if it is still running.
class Tool {
public:
    explicit Tool(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv{const_cast<char*>(KINE_SIM_TOOL)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(KINE_SIM_TOOL, argv.data());
            _exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Tool() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // Standard output until EOF, a newline (when `line`) or the timeout.
    std::string output(bool line, milliseconds timeout = milliseconds(3000)) {
        std::string text;
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c[512];
            const ssize_t n = ::read(out_, c, line ? 1 : sizeof c);
            if (n <= 0) break;
            if (line && c[0] == '\n') break;
            text.append(c, static_cast<size_t>(n));
        }
        return text;
    }

    // Exit status, or -1 if the tool has not ended within the timeout.
    int exitStatus(milliseconds timeout = milliseconds(3000)) {
        int status = 0;
        const bool ended = reap(status, timeout);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void signal(int sig) { kill(pid_, sig); }

private:
    bool reap(int& status, milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= end) return false;
            usleep(5000);
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
};

TEST(SimTool, HelpDocumentsTheOptions) {
    Tool t({"--help"});
    const std::string help = t.output(false);
    for (const char* opt : {"--version", "--serial", "--speed", "--filter", "--compensated", "--signal", "--measure"})
        EXPECT_NE(help.find(opt), std::string::npos) << opt;
    EXPECT_EQ(t.exitStatus(), 0);

    Tool bad({"--speed", "77"});
    EXPECT_EQ(bad.exitStatus(), 2);
}

TEST(SimTool, ServesTheDeviceUntilStopped) {
    Tool t({"--version", "7", "--serial", "A1B2"});
    const std::string path = t.output(true);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        HostPort h(path);
        h.write({0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5});
        FrameSplitter s;
        const Frame* reply = nullptr;
        for (const auto end = Clock::now() + milliseconds(1000); !reply && Clock::now() < end;) {
            s.feed(h.readSome(milliseconds(20)));
            for (const Frame& f : s.frames)
                if (f.aa() && f.type == 0x000A) reply = &f;
        }
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->bytes[4], 34);
        EXPECT_EQ(std::string(reply->bytes.begin() + 12, reply->bytes.begin() + 20), "A1B2    ");
    }
    t.signal(SIGTERM);
    EXPECT_EQ(t.exitStatus(), 0);

    Tool i({"--version", "3"});
    ASSERT_FALSE(i.output(true).empty());
    i.signal(SIGINT);
    EXPECT_EQ(i.exitStatus(), 0);
}

}  // namespace

#endif
