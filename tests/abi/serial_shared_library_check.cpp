// SPDX-License-Identifier: MIT
// The serial layer as seen by an application linked against libkine.so.
#include <serial/serial.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

TEST(SerialSharedLibrary, ExceptionsCanBeCaughtByType) {
    try {
        serial::Serial port("/dev/kine-no-such-device", 9600);
        FAIL() << "opened a missing device";
    } catch (const serial::IOException& e) {
        EXPECT_EQ(e.getErrorNumber(), ENOENT);
    }

    serial::Serial closed("", 9600);
    EXPECT_THROW(closed.read(1), serial::PortNotOpenedException);

    int master = -1, slave = -1;
    char name[256] = {0};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    {
        serial::Timeout timeout;
        timeout.inter_byte_timeout = 10;
        timeout.read_timeout_constant = 1000;
        timeout.write_timeout_constant = 1000;
        serial::Serial port(name, 1000000, timeout);
        EXPECT_THROW(port.open(), serial::SerialException);
        EXPECT_THROW(port.setRTS(true), serial::SerialException);

        ASSERT_EQ(::write(master, "ping", 4), 4);
        EXPECT_EQ(port.read(4), "ping");
        EXPECT_EQ(port.write(std::string("pong")), 4u);
        char back[4] = {};
        ASSERT_EQ(::read(master, back, 4), 4);
        EXPECT_EQ(std::string(back, 4), "pong");
    }
    ::close(slave);
    ::close(master);
}

TEST(SerialSharedLibrary, ListPortsIsExported) { EXPECT_NO_THROW(serial::list_ports()); }

TEST(SerialSharedLibrary, InternalsAreHidden) {
    // Exported: the public class, the exception types, list_ports.
    EXPECT_NE(dlsym(RTLD_DEFAULT, "_ZN6serial10list_portsEv"), nullptr);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "_ZTIN6serial15SerialExceptionE"), nullptr);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "_ZTIN6serial11IOExceptionE"), nullptr);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "_ZTIN6serial22PortNotOpenedExceptionE"), nullptr);
    EXPECT_NE(dlsym(RTLD_DEFAULT, "_ZN6serial6Serial4openEv"), nullptr);
    // Hidden: the implementation, the timer and the enumeration helpers.
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "_ZN6serial6Serial10SerialImpl4openEv"), nullptr);
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "_ZN6serial16MillisecondTimerC1Ej"), nullptr);
    EXPECT_EQ(dlsym(RTLD_DEFAULT,
                    "_ZN6serial6detail13list_ports_inERKNSt7__cxx1112basic_stringIcSt11char_"
                    "traitsIcESaIcEEES8_"),
              nullptr);
}

}  // namespace
