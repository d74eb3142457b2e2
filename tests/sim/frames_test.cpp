// SPDX-License-Identifier: MIT
// Frame encoders against worked byte examples and the frame layouts.
#include <gtest/gtest.h>

#include <kine_sim/frames.h>

#include "host_port.h"
#include "support/worked_frames.h"

namespace {

using namespace kine_sim;
using sim_test::be16s;
using sim_test::be16u;
using sim_test::Bytes;

SensorValues numbered(int base) {
    SensorValues s;
    s.x = base + 1;
    s.y = base + 2;
    s.z = base + 3;
    s.aux = base + 4;
    for (int i = 0; i < 8; ++i) s.raw[i] = base + 10 + i;
    return s;
}

bool checksumMatches(const Bytes& f, size_t from) {
    return checksum(f.data() + from, f.size() - from - 2) == be16u(&f[f.size() - 2]);
}

TEST(SimFrames, ChecksumIsA16BitWrappingSum) {
    const Bytes ff(300, 0xFF);
    EXPECT_EQ(checksum(ff), (300 * 255) & 0xFFFF);
    EXPECT_EQ(checksum(nullptr, 0), 0);
}

TEST(SimFrames, FrameAMatchesTheWorkedExample) {
    SensorValues s = kine_test::worked::frameAValues();
    const Bytes& expected = kine_test::worked::kFrameA;
    EXPECT_EQ(encodeFrameA(0x01, s), expected);
    s.z = -1;  // only the low 16 bits are sent
    EXPECT_EQ(encodeFrameA(0x01, s), expected);
}

TEST(SimFrames, FrameBLayoutFollowsTheModeBit) {
    SensorValues s[4] = {numbered(0), numbered(100), numbered(200), numbered(300)};
    const Bytes raw = encodeFrameB(0xA0, s);
    ASSERT_EQ(raw.size(), 45u);
    EXPECT_EQ(raw[0], 0x37);
    EXPECT_EQ(raw[1], 0x5E);
    EXPECT_EQ(raw[2], 0xA0);
    for (int k = 0; k < 4; ++k) {
        const uint8_t* b = &raw[3 + 10 * k];
        for (int i = 0; i < 4; ++i) EXPECT_EQ(be16u(b + 2 * i), 100 * k + 10 + i);
        EXPECT_EQ(be16u(b + 8), 100 * k + 4);
    }
    EXPECT_TRUE(checksumMatches(raw, 2));

    const Bytes comp = encodeFrameB(0xA1, s);
    ASSERT_EQ(comp.size(), 37u);
    for (int k = 0; k < 4; ++k) {
        const uint8_t* b = &comp[3 + 8 * k];
        EXPECT_EQ(be16s(b), 100 * k + 1);
        EXPECT_EQ(be16s(b + 2), 100 * k + 2);
        EXPECT_EQ(be16u(b + 4), 100 * k + 3);
        EXPECT_EQ(be16u(b + 6), 100 * k + 4);
    }
    EXPECT_TRUE(checksumMatches(comp, 2));
}

TEST(SimFrames, FrameEMatchesTheWorkedExample) {
    Values6D v = kine_test::worked::frameEValues();
    EXPECT_EQ(encodeFrameE(0x00, v), kine_test::worked::frameE());

    v.Tz = 6;
    v.sensors[2].aux = 9;
    const Bytes f = encodeFrameE(0x00, v);
    EXPECT_EQ(be16s(&f[13]), 6);
    EXPECT_EQ(be16u(&f[19]), 9);
    EXPECT_TRUE(checksumMatches(f, 2));
}

TEST(SimFrames, AaFramingAndReplies) {
    EXPECT_EQ(encodeConfigReply(10, 3, 1), kine_test::worked::kConfigReply);
    EXPECT_EQ(encodeAaFrame(0x0123, {}), (Bytes{0xAA, 0x01, 0x23, 0x00, 0x00, 0x00, 0xCE}));

    const Bytes id = encodeIdentityReply(34, "A1B2");
    ASSERT_EQ(id.size(), 22u);
    EXPECT_EQ((Bytes{id[0], id[1], id[2], id[3], id[4]}), (Bytes{0xAA, 0x00, 0x0A, 0x10, 34}));
    EXPECT_EQ(std::string(id.begin() + 12, id.begin() + 20), "A1B2    ");
    EXPECT_TRUE(checksumMatches(id, 0));
    const Bytes longSerial = encodeIdentityReply(64, "ABCDEFGHIJ");
    EXPECT_EQ(std::string(longSerial.begin() + 12, longSerial.begin() + 20), "ABCDEFGH");
}

TEST(SimFrames, DataPayloadsFollowTheTables) {
    const SensorValues one = numbered(0);
    const Bytes v6 = encodeV6Data(0x12, 0x80, one);
    ASSERT_EQ(v6.size(), 28u + 6);
    EXPECT_EQ(be16u(&v6[1]), 0x0708);
    EXPECT_EQ(v6[3], 28);
    const uint8_t* p = &v6[4];
    EXPECT_EQ(p[2], 0x12);
    EXPECT_EQ(p[3], 0x80);
    EXPECT_EQ(be16s(p + 4), 1);
    EXPECT_EQ(be16u(p + 8), 3);
    EXPECT_EQ(be16u(p + 10), 10);  // raw[0]
    EXPECT_EQ(be16u(p + 18), 4);   // aux
    EXPECT_EQ(be16u(p + 26), 17);  // raw[7]
    EXPECT_TRUE(checksumMatches(v6, 0));

    SensorValues four[4] = {numbered(0), numbered(100), numbered(200), numbered(300)};
    const Bytes v7 = encodeV7Data(0, 0, four);
    ASSERT_EQ(v7.size(), 108u + 6);
    p = &v7[4];
    EXPECT_EQ(be16s(p + 4 + 6 * 3 + 2), 302);    // y of sensor 3
    EXPECT_EQ(be16u(p + 28 + 10 * 2 + 6), 213);  // raw[3] of sensor 2
    EXPECT_EQ(be16u(p + 36 + 10 * 1), 104);      // aux of sensor 1
    EXPECT_EQ(be16u(p + 68 + 10 * 3 + 6), 317);  // raw[7] of sensor 3
    EXPECT_TRUE(checksumMatches(v7, 0));

    Values6D six;
    six.Fx = -5;
    six.Tz = 77;
    for (int k = 0; k < 4; ++k) six.sensors[k] = four[k];
    const Bytes v8 = encodeV8Data(0, 0, six);
    ASSERT_EQ(v8.size(), 96u + 6);
    p = &v8[4];
    EXPECT_EQ(be16s(p + 4), -5);
    EXPECT_EQ(be16s(p + 14), 77);
    EXPECT_EQ(be16u(p + 16 + 10 * 2), 210);  // raw[0] of sensor 2
    EXPECT_EQ(be16u(p + 24 + 10 * 3), 304);  // aux of sensor 3
    EXPECT_EQ(be16u(p + 56 + 10 * 1), 114);  // raw[4] of sensor 1

    const Bytes cut = encodeV6Data(0x12, 0x80, one, 10);
    ASSERT_EQ(cut.size(), 16u);
    EXPECT_EQ(cut[3], 10);
    EXPECT_TRUE(std::equal(cut.begin() + 4, cut.end() - 2, v6.begin() + 4));
    EXPECT_TRUE(checksumMatches(cut, 0));
}

TEST(SimFrames, HostCommandFramesMatchTheWorkedExamples) {
    using namespace kine_test::worked;
    EXPECT_EQ(encodeReadRequest(0x0A, 16), kRequestIdentity);
    EXPECT_EQ(encodeReadRequest(0x32, 6), kRequestConfig);
    EXPECT_EQ(encodeWriteCommand(0x37, {10}), kDebugOn);
    EXPECT_EQ(encodeWriteCommand(0x37, {0}), kDebugOff);
    EXPECT_EQ(encodeWriteCommand(0x32, {0}), kConfigByte0Zero);
    EXPECT_EQ(encodeWriteCommand(0x32, {10}), kSpeed100Hz);
    EXPECT_EQ(encodeWriteCommand(0x32, {1, 4}), kSpeed1000HzFilter15Hz);
    EXPECT_EQ(encodeWriteCommand(0x32, {33, 2}), kSpeed30HzFilter150Hz);
}

}  // namespace
