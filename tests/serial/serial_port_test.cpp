// SPDX-License-Identifier: MIT
// Opening, closing, line configuration, control lines and exceptions of
// serial::Serial, on pseudo-terminals.
#include "serial/unix.h"
#include "serial_test_util.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using kine_test::descriptorsOn;
using kine_test::openDescriptorCount;
using kine_test::PtyPair;

// True when `what` is "<head>, file serial/unix.cpp, line <digits>.".
bool isIoText(const std::string& what, const std::string& head) {
    const std::string lead = head + ", file serial/unix.cpp, line ";
    if (what.compare(0, lead.size(), lead) != 0 || what.size() < lead.size() + 2) return false;
    if (what.back() != '.') return false;
    const std::string digits = what.substr(lead.size(), what.size() - lead.size() - 1);
    return digits.find_first_not_of("0123456789") == std::string::npos;
}

// "IO Exception (<err>): <strerror>, file serial/unix.cpp, line <n>."
bool isIoErrnoText(const std::string& what, int err) {
    return isIoText(what, "IO Exception (" + std::to_string(err) + "): " + std::strerror(err));
}

// "IO Exception: <description>, file serial/unix.cpp, line <n>."
bool isIoDescriptionText(const std::string& what, const std::string& description) {
    return isIoText(what, "IO Exception: " + description);
}

std::string ioctlFailure(const std::string& text, int err) {
    return "SerialException " + text + std::to_string(err) + " " + std::strerror(err) + " failed.";
}

// The slave's current attributes, read through a descriptor of our own.
termios attributesOf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    ::close(fd);
    return t;
}

void setAttributes(const std::string& path, const termios& t) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ::close(fd);
}

// ------------------------------------------------------------ exception texts

TEST(SerialExceptions, MessagesAreBuiltFromTheirParts) {
    EXPECT_STREQ(serial::SerialException("Serial port already open.").what(),
                 "SerialException Serial port already open. failed.");
    EXPECT_STREQ(serial::PortNotOpenedException("Serial::read").what(), "PortNotOpenedException Serial::read failed.");

    const serial::IOException by_errno("serial/unix.cpp", 42, ENOENT);
    EXPECT_EQ(std::string(by_errno.what()),
              std::string("IO Exception (2): ") + std::strerror(ENOENT) + ", file serial/unix.cpp, line 42.");
    EXPECT_EQ(by_errno.getErrorNumber(), ENOENT);
    EXPECT_EQ(by_errno.getFile(), "serial/unix.cpp");
    EXPECT_EQ(by_errno.getLine(), 42);

    const serial::IOException by_text("f.cpp", 7, "Too many file handles open.");
    EXPECT_STREQ(by_text.what(), "IO Exception: Too many file handles open., file f.cpp, line 7.");
    EXPECT_EQ(by_text.getErrorNumber(), 0);
}

TEST(SerialExceptions, AllDeriveFromStdException) {
    auto caught = [](const std::function<void()>& raise) {
        try {
            raise();
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("nothing");
    };
    EXPECT_EQ(caught([] { throw serial::SerialException("x"); }), "SerialException x failed.");
    EXPECT_EQ(caught([] { throw serial::PortNotOpenedException("y"); }), "PortNotOpenedException y failed.");
    EXPECT_EQ(caught([] { throw serial::IOException("f", 1, "z"); }), "IO Exception: z, file f, line 1.");
}

// ------------------------------------------------------------ open and close

TEST(SerialOpen, EmptyNameGivesAClosedPort) {
    serial::Serial port("", 9600);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.available(), 0u);
    EXPECT_NO_THROW(port.close());
    try {
        port.open();
        FAIL() << "open with an empty name succeeded";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Empty port is invalid.");
    }
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialOpen, MissingDeviceThrowsIOExceptionWithENOENT) {
    const int before = openDescriptorCount();
    try {
        serial::Serial port("/dev/kine-no-such-device", 9600);
        FAIL() << "opening a missing device succeeded";
    } catch (const serial::IOException& e) {
        EXPECT_TRUE(isIoErrnoText(e.what(), ENOENT)) << e.what();
        EXPECT_EQ(e.getErrorNumber(), ENOENT);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SerialOpen, OpeningTwiceThrowsAndStaysOpen) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    ASSERT_TRUE(port.isOpen());
    try {
        port.open();
        FAIL() << "second open succeeded";
    } catch (const serial::SerialException& e) {
        EXPECT_STREQ(e.what(), "SerialException Serial port already open. failed.");
    }
    EXPECT_TRUE(port.isOpen());
    pty.write("k");
    std::vector<uint8_t> got;
    port.setTimeout(kine_test::makeTimeout(1000, 1000, 0));
    EXPECT_EQ(port.read(got, 1), 1u);
}

TEST(SerialOpen, NonTerminalFailsConfigurationAndLeaksNothing) {
    const int before = openDescriptorCount();
    const size_t null_before = descriptorsOn("/dev/null").size();
    serial::Serial port("", 9600);
    port.setPort("/dev/null");
    try {
        port.open();
        FAIL() << "opening /dev/null as a serial port succeeded";
    } catch (const serial::IOException& e) {
        EXPECT_TRUE(isIoDescriptionText(e.what(), "::tcgetattr")) << e.what();
        EXPECT_EQ(e.getErrorNumber(), 0);
    }
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(descriptorsOn("/dev/null").size(), null_before);
}

TEST(SerialOpen, TooManyOpenFilesHasItsOwnMessage) {
    PtyPair pty;
    // Run the failing path once while descriptors are still free: checking
    // runtimes (sanitizers) open descriptors of their own the first time.
    try {
        serial::Serial warm_up("/dev/kine-no-such-device", 9600);
    } catch (const serial::IOException& e) {
        EXPECT_NE(e.what(), nullptr);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // Use up every descriptor below a small limit.
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(openDescriptorCount() + 16);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY);
        if (fd < 0) break;
        fillers.push_back(fd);
    }
    std::string text;
    try {
        serial::Serial port(pty.slavePath(), 9600);
    } catch (const serial::IOException& e) {
        text = e.what();
    }
    for (int fd : fillers) ::close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(isIoDescriptionText(text, "Too many file handles open.")) << text;
}

TEST(SerialOpen, BadSettingsAreCheckedByOpenWithoutLeaks) {
    PtyPair pty;
    struct Case {
        std::function<void(serial::Serial&)> spoil;
        const char* text;
    };
    const std::vector<Case> cases = {
        {[](serial::Serial& p) { p.setBytesize(static_cast<serial::bytesize_t>(9)); }, "invalid char len"},
        {[](serial::Serial& p) { p.setBytesize(static_cast<serial::bytesize_t>(4)); }, "invalid char len"},
        {[](serial::Serial& p) { p.setStopbits(static_cast<serial::stopbits_t>(0)); }, "invalid stop bit"},
        {[](serial::Serial& p) { p.setParity(static_cast<serial::parity_t>(5)); }, "invalid parity"},
    };
    const int before = openDescriptorCount();
    for (const Case& c : cases) {
        serial::Serial port("", 9600);
        port.setPort(pty.slavePath());
        EXPECT_NO_THROW(c.spoil(port));  // a closed port only stores the value
        for (int i = 0; i < 100; ++i) {
            try {
                port.open();
                ADD_FAILURE() << "open accepted a bad setting";
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), c.text);
            }
            EXPECT_FALSE(port.isOpen());
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SerialOpen, BadSettingOnAnOpenPortThrowsAndKeepsThePortOpen) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    EXPECT_THROW(port.setParity(static_cast<serial::parity_t>(7)), std::invalid_argument);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.getParity(), static_cast<serial::parity_t>(7));
    EXPECT_NO_THROW(port.setParity(serial::parity_odd));
    EXPECT_EQ(port.getParity(), serial::parity_odd);
}

TEST(SerialOpen, TenThousandOpensAndClosesLeakNoDescriptor) {
    PtyPair pty;
    serial::Serial port("", 1000000);
    port.setPort(pty.slavePath());
    const int before = openDescriptorCount();
    for (int i = 0; i < 10000; ++i) {
        port.open();
        port.close();
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialOpen, DestructorClosesThePort) {
    PtyPair pty;
    const size_t before = descriptorsOn(pty.slavePath()).size();
    {
        serial::Serial port(pty.slavePath(), 9600);
        EXPECT_EQ(descriptorsOn(pty.slavePath()).size(), before + 1);
    }
    EXPECT_EQ(descriptorsOn(pty.slavePath()).size(), before);
}

TEST(SerialOpen, FailedCloseStillReleasesThePort) {
    PtyPair pty;
    const std::vector<int> keeper = descriptorsOn(pty.slavePath());
    serial::Serial port(pty.slavePath(), 9600);
    std::vector<int> mine;
    for (int fd : descriptorsOn(pty.slavePath()))
        if (std::find(keeper.begin(), keeper.end(), fd) == keeper.end()) mine.push_back(fd);
    ASSERT_EQ(mine.size(), 1u);
    ::close(mine[0]);  // behind the port's back: its close() now fails with EBADF
    try {
        port.close();
        FAIL() << "close of a stale descriptor succeeded";
    } catch (const serial::IOException& e) {
        EXPECT_EQ(e.getErrorNumber(), EBADF);
        EXPECT_TRUE(isIoErrnoText(e.what(), EBADF)) << e.what();
    }
    // The number is not closed a second time (it may belong to someone else).
    EXPECT_FALSE(port.isOpen());
    EXPECT_NO_THROW(port.close());
}

TEST(SerialOpen, ConfigurationWithoutDescriptorIsRefused) {
    serial::Serial::SerialImpl impl("", 9600, serial::eight_bits, serial::parity_none, serial::stopbits_one,
                                    serial::flowcontrol_none);
    try {
        impl.reconfigurePort();
        FAIL() << "configured a closed port";
    } catch (const serial::IOException& e) {
        EXPECT_TRUE(isIoDescriptionText(e.what(), "Invalid file descriptor, is the serial port open?")) << e.what();
    }
}

// ------------------------------------------------------------ setPort

TEST(SerialSetPort, ReopensAnOpenPortUnderTheNewName) {
    PtyPair first;
    PtyPair second;
    serial::Serial port(first.slavePath(), 9600, kine_test::makeTimeout(1000, 300, 0, 300, 0));
    port.setPort(second.slavePath());
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.getPort(), second.slavePath());

    ASSERT_EQ(port.write(std::string("to-second")), 9u);
    EXPECT_EQ(second.read(9, std::chrono::milliseconds(1000)),
              std::vector<uint8_t>({'t', 'o', '-', 's', 'e', 'c', 'o', 'n', 'd'}));
    EXPECT_TRUE(first.readAvailable().empty());
}

TEST(SerialSetPort, FailedReopenLeavesItClosedUnderTheNewName) {
    PtyPair pty;
    const int before = openDescriptorCount();
    serial::Serial port(pty.slavePath(), 9600);
    EXPECT_THROW(port.setPort("/dev/kine-no-such-device"), serial::IOException);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.getPort(), "/dev/kine-no-such-device");
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(SerialSetPort, OnAClosedPortOnlyStoresTheName) {
    PtyPair pty;
    serial::Serial port("", 9600);
    port.setPort(pty.slavePath());
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.getPort(), pty.slavePath());
    EXPECT_TRUE(descriptorsOn(pty.slavePath()).size() == 1u);  // only the pty's keeper
}

// ------------------------------------------------------------ raw mode on a pty

TEST(SerialRawMode, OpenClearsCookedModeFlags) {
    PtyPair pty;
    termios cooked = attributesOf(pty.slavePath());
    cooked.c_lflag |= ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN;
    cooked.c_oflag |= OPOST;
    cooked.c_iflag |= IGNBRK | PARMRK | INLCR | IGNCR | ICRNL | IUCLC | INPCK | ISTRIP | IXON | IXOFF | IXANY;
    cooked.c_cflag &= ~CLOCAL;
    cooked.c_cflag |= CRTSCTS | CSTOPB | PARODD | CMSPAR;
    cooked.c_cc[VMIN] = 5;
    cooked.c_cc[VTIME] = 3;
    setAttributes(pty.slavePath(), cooked);

    serial::Serial port(pty.slavePath(), 1000000);
    const termios t = attributesOf(pty.slavePath());
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IGNBRK | PARMRK | INLCR | IGNCR | ICRNL | IUCLC), 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);  // flowcontrol_none
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CSTOPB | PARODD | PARENB), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B1000000));
    EXPECT_EQ(cfgetispeed(&t), speed_t(B1000000));
}

TEST(SerialRawMode, SettersReconfigureAnOpenPort) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    termios t = attributesOf(pty.slavePath());
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));

    port.setBaudrate(115200);
    t = attributesOf(pty.slavePath());
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_EQ(port.getBaudrate(), 115200u);

    port.setStopbits(serial::stopbits_two);
    EXPECT_NE(attributesOf(pty.slavePath()).c_cflag & CSTOPB, 0u);
    port.setStopbits(serial::stopbits_one_point_five);
    EXPECT_NE(attributesOf(pty.slavePath()).c_cflag & CSTOPB, 0u);
    port.setStopbits(serial::stopbits_one);
    EXPECT_EQ(attributesOf(pty.slavePath()).c_cflag & CSTOPB, 0u);

    // The pty driver forces eight data bits without parity, but keeps the
    // other parity bits as they were set.
    port.setParity(serial::parity_mark);
    t = attributesOf(pty.slavePath());
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
    port.setParity(serial::parity_space);
    t = attributesOf(pty.slavePath());
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t(CMSPAR));

    port.setFlowcontrol(serial::flowcontrol_hardware);
    t = attributesOf(pty.slavePath());
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_EQ(port.getFlowcontrol(), serial::flowcontrol_hardware);
}

TEST(SerialRawMode, SoftwareFlowControlKeepsIxany) {
    PtyPair pty;
    termios t = attributesOf(pty.slavePath());
    t.c_iflag |= IXANY;
    setAttributes(pty.slavePath(), t);

    serial::Serial port(pty.slavePath(), 9600, serial::Timeout(), serial::eight_bits, serial::parity_none,
                        serial::stopbits_one, serial::flowcontrol_software);
    t = attributesOf(pty.slavePath());
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(IXON | IXOFF | IXANY));

    port.setFlowcontrol(serial::flowcontrol_none);
    EXPECT_EQ(attributesOf(pty.slavePath()).c_iflag & (IXON | IXOFF | IXANY), 0u);
}

TEST(SerialRawMode, CustomBaudOnAPtyReportsTheDriversError) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    try {
        port.setBaudrate(500000);
        FAIL() << "the pty accepted a custom divisor";
    } catch (const serial::IOException& e) {
        EXPECT_EQ(e.getErrorNumber(), ENOTTY);
        EXPECT_TRUE(isIoErrnoText(e.what(), ENOTTY)) << e.what();
    }
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.getBaudrate(), 500000u);
    // Nothing was applied: the line still runs at the old speed.
    termios t = attributesOf(pty.slavePath());
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));

    const int before = openDescriptorCount();
    EXPECT_THROW(serial::Serial(pty.slavePath(), 500000), serial::IOException);
    EXPECT_EQ(openDescriptorCount(), before);
}

// ------------------------------------------------------------ termios arithmetic

TEST(SerialTermios, DataBitsStopBitsAndParity) {
    const std::pair<serial::bytesize_t, tcflag_t> sizes[] = {
        {serial::five_bits, CS5}, {serial::six_bits, CS6}, {serial::seven_bits, CS7}, {serial::eight_bits, CS8}};
    for (const auto& s : sizes) {
        termios t{};
        t.c_cflag = CSIZE;
        bool x = false, r = false;
        serial::detail::set_line_settings(t, s.first, serial::parity_none, serial::stopbits_one,
                                          serial::flowcontrol_none, x, r);
        EXPECT_EQ(t.c_cflag & CSIZE, s.second) << s.first;
    }

    struct ParityCase {
        serial::parity_t parity;
        tcflag_t set;
        tcflag_t cleared;
        bool cmspar_unchanged;
    };
    const ParityCase parities[] = {
        {serial::parity_none, 0, PARENB | PARODD, true},
        {serial::parity_odd, PARENB | PARODD, 0, true},
        {serial::parity_even, PARENB, PARODD, true},
        {serial::parity_mark, PARENB | PARODD | CMSPAR, 0, false},
        {serial::parity_space, PARENB | CMSPAR, PARODD, false},
    };
    for (const ParityCase& c : parities) {
        for (tcflag_t start : {tcflag_t(0), tcflag_t(PARENB | PARODD | CMSPAR)}) {
            termios t{};
            t.c_cflag = start;
            t.c_iflag = INPCK | ISTRIP;
            bool x = false, r = false;
            serial::detail::set_line_settings(t, serial::eight_bits, c.parity, serial::stopbits_one,
                                              serial::flowcontrol_none, x, r);
            EXPECT_EQ(t.c_cflag & c.set, c.set) << c.parity;
            EXPECT_EQ(t.c_cflag & c.cleared, 0u) << c.parity;
            if (c.cmspar_unchanged) {
                EXPECT_EQ(t.c_cflag & CMSPAR, start & CMSPAR) << c.parity;
            }
            EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP), 0u);
        }
    }

    termios t{};
    bool x = false, r = false;
    serial::detail::set_line_settings(t, serial::eight_bits, serial::parity_none, serial::stopbits_two,
                                      serial::flowcontrol_none, x, r);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
}

TEST(SerialTermios, FlowControlAndNonBlockingReads) {
    termios t{};
    t.c_cc[VMIN] = 9;
    t.c_cc[VTIME] = 9;
    bool xonxoff = false, rtscts = false;
    serial::detail::set_line_settings(t, serial::eight_bits, serial::parity_none, serial::stopbits_one,
                                      serial::flowcontrol_hardware, xonxoff, rtscts);
    EXPECT_TRUE(rtscts);
    EXPECT_FALSE(xonxoff);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // An unknown value keeps the previous choice.
    serial::detail::set_line_settings(t, serial::eight_bits, serial::parity_none, serial::stopbits_one,
                                      static_cast<serial::flowcontrol_t>(9), xonxoff, rtscts);
    EXPECT_TRUE(rtscts);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);

    serial::detail::set_line_settings(t, serial::eight_bits, serial::parity_none, serial::stopbits_one,
                                      serial::flowcontrol_software, xonxoff, rtscts);
    EXPECT_TRUE(xonxoff);
    EXPECT_FALSE(rtscts);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
}

TEST(SerialTermios, BadValuesThrowInvalidArgument) {
    auto text = [](serial::bytesize_t b, serial::parity_t p, serial::stopbits_t s) {
        termios t{};
        bool x = false, r = false;
        try {
            serial::detail::set_line_settings(t, b, p, s, serial::flowcontrol_none, x, r);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    using serial::eight_bits;
    using serial::parity_none;
    using serial::stopbits_one;
    EXPECT_EQ(text(static_cast<serial::bytesize_t>(9), parity_none, stopbits_one), "invalid char len");
    EXPECT_EQ(text(eight_bits, parity_none, static_cast<serial::stopbits_t>(4)), "invalid stop bit");
    EXPECT_EQ(text(eight_bits, static_cast<serial::parity_t>(-1), stopbits_one), "invalid parity");
}

TEST(SerialTermios, ByteTimeArithmetic) {
    using serial::detail::byte_time_ns;
    EXPECT_EQ(byte_time_ns(9600, serial::eight_bits, serial::parity_none, serial::stopbits_one), 1041660u);
    EXPECT_EQ(byte_time_ns(9600, serial::eight_bits, serial::parity_even, serial::stopbits_one), 1249992u);
    EXPECT_EQ(byte_time_ns(9600, serial::eight_bits, serial::parity_none, serial::stopbits_one_point_five), 1093743u);
    EXPECT_EQ(byte_time_ns(1000000, serial::eight_bits, serial::parity_none, serial::stopbits_one), 10000u);
    EXPECT_EQ(byte_time_ns(115200, serial::seven_bits, serial::parity_odd, serial::stopbits_two), 11u * 8680u);
    EXPECT_EQ(byte_time_ns(0, serial::eight_bits, serial::parity_none, serial::stopbits_one), 0u);

    // The port computes it when it is configured.
    PtyPair pty;
    serial::Serial::SerialImpl impl(pty.slavePath(), 9600, serial::eight_bits, serial::parity_none,
                                    serial::stopbits_one, serial::flowcontrol_none);
    EXPECT_EQ(impl.getByteTimeNs(), 1041660u);
    impl.setParity(serial::parity_even);
    EXPECT_EQ(impl.getByteTimeNs(), 1249992u);
}

// ------------------------------------------------------------ line control

TEST(SerialLineControl, ClosedPortRefusesEveryLineOperation) {
    serial::Serial port("", 9600);
    const std::vector<std::pair<const char*, std::function<void()>>> ops = {
        {"Serial::flush", [&] { port.flush(); }},
        {"Serial::flushInput", [&] { port.flushInput(); }},
        {"Serial::flushOutput", [&] { port.flushOutput(); }},
        {"Serial::sendBreak", [&] { port.sendBreak(100); }},
        {"Serial::setBreak", [&] { port.setBreak(true); }},
        {"Serial::setRTS", [&] { port.setRTS(true); }},
        {"Serial::setDTR", [&] { port.setDTR(false); }},
        {"Serial::getCTS", [&] { port.getCTS(); }},
        {"Serial::getDSR", [&] { port.getDSR(); }},
        {"Serial::getRI", [&] { port.getRI(); }},
        {"Serial::getCD", [&] { port.getCD(); }},
    };
    for (const auto& op : ops) {
        try {
            op.second();
            ADD_FAILURE() << op.first << " did not throw";
        } catch (const serial::PortNotOpenedException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("PortNotOpenedException ") + op.first + " failed.");
        }
    }
    // waitForChange makes no check of its own: the ioctl on -1 fails.
    try {
        port.waitForChange();
        FAIL() << "waitForChange on a closed port returned";
    } catch (const serial::SerialException& e) {
        EXPECT_EQ(e.what(), ioctlFailure("waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", EBADF));
    }
}

TEST(SerialLineControl, PtyRefusesModemLinesWithTheDriversError) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    const std::vector<std::pair<std::string, std::function<void()>>> ops = {
        {"setRTS failed on a call to ioctl(TIOCMBIS): ", [&] { port.setRTS(true); }},
        {"setRTS failed on a call to ioctl(TIOCMBIC): ", [&] { port.setRTS(false); }},
        {"setDTR failed on a call to ioctl(TIOCMBIS): ", [&] { port.setDTR(true); }},
        {"setDTR failed on a call to ioctl(TIOCMBIC): ", [&] { port.setDTR(false); }},
        {"getCTS failed on a call to ioctl(TIOCMGET): ", [&] { port.getCTS(); }},
        {"getDSR failed on a call to ioctl(TIOCMGET): ", [&] { port.getDSR(); }},
        {"getRI failed on a call to ioctl(TIOCMGET): ", [&] { port.getRI(); }},
        {"getCD failed on a call to ioctl(TIOCMGET): ", [&] { port.getCD(); }},
        {"waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", [&] { port.waitForChange(); }},
    };
    for (const auto& op : ops) {
        try {
            op.second();
            ADD_FAILURE() << op.first << "did not throw";
        } catch (const serial::SerialException& e) {
            EXPECT_EQ(e.what(), ioctlFailure(op.first, ENOTTY));
        }
    }
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialLineControl, BreaksAndFlushesWorkOnAPty) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);
    // The pty driver accepts break requests (and ignores them).
    EXPECT_NO_THROW(port.setBreak(true));
    EXPECT_NO_THROW(port.setBreak(false));
    EXPECT_NO_THROW(port.sendBreak(7));
    EXPECT_NO_THROW(port.flush());
    EXPECT_NO_THROW(port.flushOutput());

    pty.write("queued");
    ASSERT_TRUE(kine_test::waitFor([&] { return port.available() == 6; }, std::chrono::milliseconds(1000)));
    port.flushInput();
    EXPECT_EQ(port.available(), 0u);
}

}  // namespace
