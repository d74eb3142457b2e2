// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kine/KPort.h"

namespace {

TEST(KPort, NewRecordReadsAsThreeEmptyTexts) {
    KPort p;
    EXPECT_EQ(KPort::readField(p.portName), "");
    EXPECT_EQ(KPort::readField(p.deviceVersion), "");
    EXPECT_EQ(KPort::readField(p.deviceSerial), "");
}

TEST(KPort, FieldCopyRule) {
    KPort p;
    std::memset(static_cast<void*>(&p), 'x', sizeof p);
    EXPECT_TRUE(KPort::storeField(p.deviceVersion, "34 v0.9"));
    EXPECT_EQ(KPort::readField(p.deviceVersion), "34 v0.9");
    for (size_t i = 7; i < 25; ++i) EXPECT_EQ(p.deviceVersion[i], '\0');
    EXPECT_EQ(p.deviceSerial[0], 'x');  // neighbours untouched

    const std::string n24(24, 'a');
    EXPECT_TRUE(KPort::storeField(p.portName, n24));
    EXPECT_EQ(p.portName[24], '\0');
    EXPECT_EQ(KPort::readField(p.portName), n24);

    const std::string n25(25, 'b');
    EXPECT_TRUE(KPort::storeField(p.portName, n25.c_str()));
    EXPECT_EQ(KPort::readField(p.portName), n25);  // fills the field, no NUL
    EXPECT_EQ(p.deviceVersion[0], '3');

    const std::string n40 = std::string(30, 'c') + "0123456789";
    EXPECT_FALSE(KPort::storeField(p.portName, n40));
    EXPECT_EQ(KPort::readField(p.portName), n40.substr(0, 25));
    EXPECT_FALSE(KPort::storeField(p.deviceSerial, n40.c_str()));
    EXPECT_EQ(KPort::readField(p.deviceSerial), n40.substr(0, 25));
    EXPECT_TRUE(KPort::storeField(p.deviceSerial, static_cast<const char*>(nullptr)));
    EXPECT_EQ(KPort::readField(p.deviceSerial), "");
}

TEST(KPort, ArraysHaveA75ByteStride) {
    KPort ports[2];
    KPort::storeField(ports[1].portName, "/dev/ttyACM1");
    const char* base = reinterpret_cast<const char*>(&ports[0]);
    EXPECT_EQ(reinterpret_cast<const char*>(&ports[1]) - base, 75);
    EXPECT_STREQ(base + 75, "/dev/ttyACM1");
}

}  // namespace
