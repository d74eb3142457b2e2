// SPDX-License-Identifier: MIT
// The port record: USB ids parsed from the hardware id, comparison, readable
// text, and the monotonic age of a record.
#include <gtest/gtest.h>

#include "ports/KinetraPortInfo.h"
#include "serial/serial.h"
#include "threading/KinetraThread.h"

namespace {

struct IdCase {
    const char* label;
    const char* hardwareId;
    int vendor;
    int product;
};

void PrintTo(const IdCase& c, std::ostream* out) { *out << c.label; }

class HardwareIdParsing : public ::testing::TestWithParam<IdCase> {};

TEST_P(HardwareIdParsing, VendorAndProduct) {
    const IdCase& c = GetParam();
    KinetraPortInfo info("/dev/ttyACM0", "desc", c.hardwareId, "maker");
    EXPECT_EQ(info.GetVendorID(), c.vendor);
    EXPECT_EQ(info.GetProductID(), c.product);
}

INSTANTIATE_TEST_SUITE_P(
    Ids, HardwareIdParsing,
    ::testing::Values(IdCase{"usb", "USB VID:PID=0403:6001; SNR=A1", 1027, 24577},
                      IdCase{"lowerHex", "USB VID:PID=04d8:000a; ", 1240, 10},
                      IdCase{"upperHex", "USB VID:PID=04D8:000A; ", 1240, 10}, IdCase{"noMarker", "n/a", -1, -1},
                      IdCase{"noSemicolon", "USB VID:PID=0403:6001", -1, -1},
                      IdCase{"emptyVendor", "USB VID:PID=:6001; ", -1, 24577},  // nothing read: -1 stays
                      IdCase{"emptyProduct", "USB VID:PID=0403:; ", 1027, -1},
                      IdCase{"notHex", "USB VID:PID=zz:6001; ", 0, 24577},  // a failed read stores 0
                      IdCase{"semicolonFirst", "USB VID:PID=0403;x:6001", 1027, -1}));

TEST(KinetraPortInfo, FromEnumerationKeepsTextsButNotTheDescription) {
    KinetraPortInfo info(serial::PortInfo{"/dev/ttyUSB0", "FTDI FT232R A1", "USB VID:PID=0403:6001; SNR=A1", "FTDI"});
    EXPECT_EQ(info.GetPortName(), "/dev/ttyUSB0");
    EXPECT_EQ(info.GetPortDescription(), "");
    EXPECT_EQ(info.GetManufacturer(), "FTDI");
    EXPECT_EQ(info.GetDeviceVersion(), "unknown");
    EXPECT_EQ(info.GetDeviceSerial(), "");
    EXPECT_EQ(info.GetReadablePortInfo(),
              "Port Name: /dev/ttyUSB0\nPort Description: \nPort Manufacturer: FTDI\n"
              "Hardware ID: USB VID:PID=0403:6001; SNR=A1\nPort VID: 1027\nPort PID: 24577\n");
    EXPECT_EQ(KinetraPortInfo("/dev/ttyS0", "", "n/a", "").GetReadablePortInfo(),
              "Port Name: /dev/ttyS0\nPort Description: \nPort Manufacturer: \nHardware ID: n/a\n"
              "Port VID: -1\nPort PID: -1\n");
}

TEST(KinetraPortInfo, EqualityIgnoresProbeResultsOrderFollowsTheName) {
    KinetraPortInfo a("/dev/ttyACM0", "", "USB VID:PID=0403:6001; ", "m");
    KinetraPortInfo b = a;
    b.SetDeviceVersion("34 v0.9");
    b.SetDeviceSerial("A1B2");
    b.Access();
    EXPECT_TRUE(a == b);
    KinetraPortInfo c("/dev/ttyACM1", "", "USB VID:PID=0403:6001; ", "m");
    EXPECT_TRUE(a != c);
    EXPECT_TRUE(a < c);
    EXPECT_TRUE(c > a);
    EXPECT_TRUE(KinetraPortInfo("/dev/tty", "", "", "") < KinetraPortInfo("/dev/ttyA", "", "", ""));
    EXPECT_TRUE(a != KinetraPortInfo("/dev/ttyACM0", "", "USB VID:PID=0403:6001; ", "other"));
}

// Ages are elapsed time on the monotonic clock: an instant from that clock
// two seconds back reads as two seconds old (on the wall clock it would read
// as decades, or wrap), and a stamp is young.
TEST(KinetraPortInfo, AgeIsMeasuredOnTheMonotonicClock) {
    KinetraPortInfo info("/dev/ttyACM0", "", "", "");
    info.SetLastAccessedTime(KinetraThread::MonotonicNow() - 2000);
    EXPECT_GE(info.GetLastAccessedTime(), 2000u);
    EXPECT_LT(info.GetLastAccessedTime(), 2000u + 1000u);
    info.Access();
    EXPECT_LT(info.GetLastAccessedTime(), 1000u);
    EXPECT_LT(KinetraPortInfo().GetLastAccessedTime(), 1000u);
}

}  // namespace
