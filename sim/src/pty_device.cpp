// SPDX-License-Identifier: MIT
#include "pty_device.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kine_sim {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    if ((t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
        (t.c_iflag & (ICRNL | IXON)) == 0)
        return;
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

PtyDevice::PtyDevice() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) fail("posix_openpt");
    try {
        if (fcntl(master_, F_SETFD, FD_CLOEXEC) != 0) fail("fcntl");
        const int flags = fcntl(master_, F_GETFL);
        if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl");
        if (grantpt(master_) != 0) fail("grantpt");
        if (unlockpt(master_) != 0) fail("unlockpt");
        char name[128] = {0};
        if (ptsname_r(master_, name, sizeof name) != 0) fail("ptsname_r");
        path_ = name;
        const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) fail("open pty slave");
        termios t{};
        if (tcgetattr(slave, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
    } catch (...) {
        close();
        throw;
    }
}

PtyDevice::~PtyDevice() { close(); }

void PtyDevice::close() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void PtyDevice::flushSlaveInput() {
    if (master_ < 0) return;
    const int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) return;  // e.g. a host has just opened it exclusively
    tcflush(slave, TCIFLUSH);
    makeRaw(slave);
    ::close(slave);
}

}  // namespace kine_sim
