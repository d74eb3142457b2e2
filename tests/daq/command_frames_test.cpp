// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <vector>

#include "daq/KineSendUtils.h"
#include "daq/Protocol.h"
#include "support/worked_frames.h"

namespace {

using namespace kine_test::worked;  // Bytes and the worked command frames

TEST(CommandFrames, FixedFrames) {
    Bytes v;
    KineSendUtils::SetRequestIdentity(v);
    EXPECT_EQ(v, kRequestIdentity);
    v.clear();
    KineSendUtils::SetRequestConfig(v);
    EXPECT_EQ(v, kRequestConfig);
    v.clear();
    KineSendUtils::SetDebugMode(v, false);
    EXPECT_EQ(v, kDebugOff);
    v.clear();
    KineSendUtils::SetSpeed100Hz(v);
    EXPECT_EQ(v, kSpeed100Hz);
    v.clear();
    const unsigned char zero = 0;
    KineSendUtils::WriteFrame(v, kine::protocol::kBlockConfig, &zero, 1);
    EXPECT_EQ(v, kConfigByte0Zero);
}

TEST(CommandFrames, BuildersAppend) {
    Bytes v{1, 2, 3};
    KineSendUtils::SetDebugMode(v, true);
    EXPECT_EQ(v, (Bytes{1, 2, 3, 0xAA, 0x00, 0x37, 0x01, 0x0A, 0x00, 0xEC}));
}

TEST(CommandFrames, GeneralLayoutsAndChecksumCarry) {
    Bytes v;
    KineSendUtils::ReadRequest(v, 50, 6);
    EXPECT_EQ(v, kRequestConfig);
    v.clear();
    KineSendUtils::ReadRequest(v, 10, 16);
    EXPECT_EQ(v, kRequestIdentity);
    v.clear();
    const unsigned char a[2] = {1, 4};
    KineSendUtils::WriteFrame(v, 50, a, 2);
    EXPECT_EQ(v, kSpeed1000HzFilter15Hz);
    v.clear();
    const unsigned char b[2] = {33, 2};
    KineSendUtils::WriteFrame(v, 50, b, 2);
    EXPECT_EQ(v, kSpeed30HzFilter150Hz);
    v.clear();
    KineSendUtils::ReadRequest(v, 0x1234, 2);
    EXPECT_EQ(v, (Bytes{0xAB, 0x12, 0x34, 0x02, 0x00, 0xF3}));
}

TEST(CommandFrames, WriteFrameLengthIsBounded) {
    std::vector<unsigned char> data(300, 0xFF);
    Bytes v;
    KineSendUtils::WriteFrame(v, 50, data.data(), 300);
    ASSERT_EQ(v.size(), 256u);
    EXPECT_EQ(v[3], 250);
    uint16_t sum = KineSendUtils::Checksum(v.data(), 254);
    EXPECT_EQ(v[254], sum >> 8);
    EXPECT_EQ(v[255], sum & 0xFF);
    v.clear();
    KineSendUtils::WriteFrame(v, 50, data.data(), -3);
    EXPECT_EQ(v, (Bytes{0xAA, 0x00, 0x32, 0x00, 0x00, 0xDC}));
}

TEST(CommandFrames, DaqCodes) {
    EXPECT_EQ(kine::protocol::speedCodeOfField(0), 1);
    EXPECT_EQ(kine::protocol::speedCodeOfField(1), 3);
    EXPECT_EQ(kine::protocol::speedCodeOfField(2), 10);
    EXPECT_EQ(kine::protocol::speedCodeOfField(3), 33);
    EXPECT_EQ(kine::protocol::filterCodeOfField(0), 0);
    EXPECT_EQ(kine::protocol::filterCodeOfField(1), 2);
    EXPECT_EQ(kine::protocol::filterCodeOfField(2), 3);
    EXPECT_EQ(kine::protocol::filterCodeOfField(3), 4);
    // Both directions of the tables agree.
    for (int field = 0; field < 4; ++field) {
        EXPECT_EQ(kine::protocol::speedOfCode(kine::protocol::speedCodeOfField(field))->field, field);
        EXPECT_EQ(kine::protocol::filterOfCode(kine::protocol::filterCodeOfField(field))->field, field);
    }
}

}  // namespace
