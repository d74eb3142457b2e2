// SPDX-License-Identifier: MIT
// How the library first touches a serial device, and what it hands to child
// processes. This program interposes tcsetattr and tcflush to record every
// line setup the library makes, on whichever descriptor and thread.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kine/KineDAQ.h"
#include "serial/serial.h"
#include "serial/serial_test_util.h"
#include "support/sim_daq.h"
#include "transport/KineSerial.h"
#include "transport/PortLock.h"

namespace {

struct LineCall {
    bool flush = false;  // tcflush (else tcsetattr)
    int fd = -1;
    int queue = 0;               // tcflush's queue
    termios attributes{};        // tcsetattr's settings
    size_t descriptorsOpen = 0;  // descriptors of this process on the device at the time
};

std::mutex logLock;
std::string watchedPath;
std::vector<LineCall> calls;

std::string pathOf(int fd) {
    char target[256];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

void record(LineCall call) {
    std::lock_guard<std::mutex> lock(logLock);
    if (watchedPath.empty() || pathOf(call.fd) != watchedPath) return;
    call.descriptorsOpen = kine_test::descriptorsOn(watchedPath).size();
    calls.push_back(call);
}

void watch(const std::string& path) {
    std::lock_guard<std::mutex> lock(logLock);
    watchedPath = path;
    calls.clear();
}

std::vector<LineCall> recorded() {
    std::lock_guard<std::mutex> lock(logLock);
    watchedPath.clear();
    return calls;
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int tcsetattr(int fd, int action, const termios* t) {
    static const auto next = real<int (*)(int, int, const termios*)>("tcsetattr");
    LineCall c;
    c.fd = fd;
    c.attributes = *t;
    record(c);
    return next(fd, action, t);
}

extern "C" int tcflush(int fd, int queue) {
    static const auto next = real<int (*)(int, int)>("tcflush");
    LineCall c;
    c.flush = true;
    c.fd = fd;
    c.queue = queue;
    record(c);
    return next(fd, queue);
}

namespace {

// Puts the device back into the terminal's default mode: canonical input,
// echo, signals, output processing, 9600 baud, as a fresh tty comes up.
void makeCooked(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ISIG | IEXTEN;
    t.c_oflag |= OPOST;
    t.c_iflag |= ICRNL;
    cfsetspeed(&t, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
}

bool rawAt(const termios& t, speed_t speed) {
    return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
           (t.c_iflag & (ICRNL | IXON)) == 0 && (t.c_cflag & CSIZE) == CS8 && cfgetispeed(&t) == speed &&
           cfgetospeed(&t) == speed;
}

enum class Path { SerialAlone, KineSerialLocked, KineSerialUnlocked, DaqOpen3, DaqOpen7 };

struct Case {
    Path path;
    unsigned int baud;
    speed_t speed;
};

std::string caseName(const testing::TestParamInfo<Case>& info) {
    static const char* const names[] = {"SerialAlone", "KineSerialLocked", "KineSerialUnlocked", "DaqOpen3",
                                        "DaqOpen7"};
    return std::string(names[int(info.param.path)]) + "At" + std::to_string(info.param.baud);
}

class FirstContact : public testing::TestWithParam<Case> {};

// Every line setup on the device is raw at the requested rate, the first one
// comes while the library holds a single descriptor on it, and that
// descriptor's next call discards the input queued before; later descriptors
// keep what has arrived since (it is good data).
TEST_P(FirstContact, RawAtTheRequestedRateFromTheFirstDescriptor) {
    const Case c = GetParam();
    auto sim = kine_test::simulatedDaq(c.path == Path::DaqOpen7 ? 7 : 3);
    const std::string path = sim->devicePath();
    makeCooked(path);

    std::unique_ptr<serial::Serial> alone;
    PortLock connectionLock;
    KineSerial channel;
    KineDAQ daq;
    watch(path);
    switch (c.path) {
    case Path::SerialAlone: alone = std::make_unique<serial::Serial>(path, c.baud); break;
    case Path::KineSerialLocked: ASSERT_TRUE(channel.Open(path, c.baud, true)); break;
    case Path::KineSerialUnlocked:
        // As a connection's reader and configuration channels: the
        // connection holds the device's lock.
        ASSERT_EQ(connectionLock.acquire(path, c.baud), KINE_OPEN_OK);
        channel.SetPortLocking(false);
        ASSERT_TRUE(channel.Open(path, c.baud, false));
        break;
    case Path::DaqOpen3:
    case Path::DaqOpen7: ASSERT_TRUE(daq.open(kine_test::portFor(*sim), false, static_cast<int>(c.baud))); break;
    }
    const std::vector<LineCall> log = recorded();

    ASSERT_FALSE(log.empty());
    const LineCall& first = log.front();
    EXPECT_FALSE(first.flush) << "the first call on the device sets the line up";
    EXPECT_EQ(first.descriptorsOpen, 1u) << "the line was set up after a second descriptor was opened on it";
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(log[1].flush && log[1].fd == first.fd && log[1].queue == TCIFLUSH)
        << "input queued before the setup is not discarded";
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].flush) {
            EXPECT_EQ(log[i].fd, first.fd) << "a later descriptor discarded input";
            continue;
        }
        EXPECT_TRUE(rawAt(log[i].attributes, c.speed)) << "line setup " << i << " is not raw at " << c.baud;
    }

    termios now{};
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcgetattr(fd, &now), 0);
    ::close(fd);
    EXPECT_TRUE(rawAt(now, c.speed));
    daq.close();
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, FirstContact,
    testing::Values(Case{Path::SerialAlone, 1000000, B1000000}, Case{Path::SerialAlone, 115200, B115200},
                    Case{Path::KineSerialLocked, 1000000, B1000000}, Case{Path::KineSerialLocked, 115200, B115200},
                    Case{Path::KineSerialUnlocked, 1000000, B1000000}, Case{Path::DaqOpen3, 1000000, B1000000},
                    Case{Path::DaqOpen3, 115200, B115200}, Case{Path::DaqOpen7, 1000000, B1000000}),
    caseName);

// What `ls -l /proc/self/fd` shows in a child started by system()/popen().
std::string childDescriptors() {
    std::string out;
    FILE* p = popen("ls -l /proc/self/fd/ 2>&1", "r");
    if (p == nullptr) return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr) out += buf;
    pclose(p);
    return out;
}

// A program that has a DAQ open, a channel and a serial port of its own, and
// then runs another program, hands none of their descriptors (devices, locks,
// wake events) to it.
TEST(ChildProcesses, InheritNoDescriptorOfTheLibrary) {
    auto sim3 = kine_test::simulatedDaq(3);
    auto sim7 = kine_test::simulatedDaq(7);
    auto simAlone = kine_test::simulatedDaq(3);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(kine_test::portFor(*sim7)));
    KineSerial channel;
    ASSERT_TRUE(channel.Open(sim3->devicePath(), 1000000, false));
    serial::Serial alone(simAlone->devicePath(), 1000000);
    ASSERT_FALSE(kine_test::descriptorsOn(sim7->devicePath()).empty());

    const std::string seen = childDescriptors();
    ASSERT_NE(seen.find("total"), std::string::npos) << seen;
    for (const auto* sim : {sim3.get(), sim7.get(), simAlone.get()})
        EXPECT_EQ(seen.find(sim->devicePath() + "\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("eventfd"), std::string::npos) << seen;
    daq.close();
}

}  // namespace
