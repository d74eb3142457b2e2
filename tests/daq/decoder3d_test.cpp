// SPDX-License-Identifier: MIT
// The 3D frame decoder against streams made by the simulator's encoders:
// Frame A (v3), Frame B (v4, raw and compensated), 0xAA data frames (v6, v7)
// and configuration replies. Bytes go straight into the reader's buffer.
#include <gtest/gtest.h>

#include "daq/decoder_values.h"
#include "kine_sim/frames.h"
#include "support/daq_access.h"
#include "support/worked_frames.h"

namespace {

using decoder_values::fourValues;
using decoder_values::values;
using kine_sim::SensorValues;
using kine_test::concat;
using kine_test::corrupted;
using kine_test::feed;
using kine_test::SameSample;

using Out = std::deque<KinePackage>[16];

int process(kine_test::Decoding& d, Out& out) { return d.smProcess(out, false); }

// ---------------------------------------------------------------- Frame A

TEST(Decoder3DFrameA, WorkedExampleDecodesEveryField) {
    const std::vector<uint8_t>& bytes = kine_test::worked::kFrameA;
    ASSERT_EQ(kine_sim::encodeFrameA(0x01, kine_test::worked::frameAValues()), bytes);

    kine_test::Decoding d;
    feed(d, bytes);
    Out out;
    EXPECT_EQ(process(d, out), 1);
    ASSERT_EQ(out[0].size(), 1u);
    const KinePackage& p = out[0][0];
    EXPECT_EQ(p.x, -2);
    EXPECT_EQ(p.y, 3);
    EXPECT_EQ(p.z, 65535);
    EXPECT_EQ(p.aux, 7);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(p.raw[i], i + 1);
        EXPECT_EQ(p.inconsistent[i], i + 1);
    }
    EXPECT_EQ(p.x2, -2);
    EXPECT_EQ(p.y2, 3);
    EXPECT_EQ(p.z2, 65535);
    EXPECT_EQ(p.version, kine_version_3);
    EXPECT_EQ(p.config.to_uin8_t(), 0x01);
    EXPECT_TRUE(d.isChksumOK());
    EXPECT_EQ(d.getVersion(), 3);
    EXPECT_EQ(d.getSensorSize(), 1);
    EXPECT_EQ(d.getSize(), 29);
    EXPECT_EQ(d.decoder.configuration.to_uin8_t(), 0x01);
    EXPECT_TRUE(d.decoder.unit.frameSeen);
    EXPECT_TRUE(d.decoder.unit.dataArrived);
    EXPECT_FALSE(d.decoder.unit.virtualSensors);
    for (int k = 1; k < 16; ++k) EXPECT_TRUE(out[k].empty());
}

TEST(Decoder3DFrameA, OffsetIsRemovedAndUncorrectedChannelsKept) {
    kine_test::Decoding d;
    KineSensor o;
    for (int i = 0; i < 8; ++i) o.raw[i] = i;
    o.x = 10, o.y = -10, o.z = 5, o.aux = 2;
    d.offsets.push_back(o);

    const SensorValues s = values(1);
    feed(d, kine_sim::encodeFrameA(0xB0, s));
    Out out;
    ASSERT_EQ(process(d, out), 1);
    const KinePackage& p = out[0][0];
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(p.raw[i], s.raw[i] - i);
        EXPECT_EQ(p.inconsistent[i], s.raw[i]);
    }
    EXPECT_EQ(p.x, s.x - 10);
    EXPECT_EQ(p.y, s.y + 10);
    EXPECT_EQ(p.z, s.z - 5);
    EXPECT_EQ(p.aux, s.aux - 2);
    EXPECT_EQ(p.x2, p.x);
    EXPECT_EQ(p.z2, p.z);
}

TEST(Decoder3DFrameA, SplitAcrossTwoCallsGivesTheSampleOnTheSecond) {
    kine_test::Decoding d;
    const auto frame = kine_sim::encodeFrameA(0x01, values(0));
    feed(d, std::vector<uint8_t>(frame.begin(), frame.begin() + 10));
    Out first, second;
    EXPECT_EQ(process(d, first), 0);
    // An empty buffer leaves the state alone.
    EXPECT_EQ(process(d, first), 0);
    feed(d, std::vector<uint8_t>(frame.begin() + 10, frame.end()));
    EXPECT_EQ(process(d, second), 1);
    EXPECT_EQ(second[0][0].x, -2);
}

TEST(Decoder3DFrameA, KeepLeavesTheBytesForTheNextPass) {
    kine_test::Decoding d;
    feed(d, kine_sim::encodeFrameA(0x01, values(0)));
    Out out;
    EXPECT_EQ(d.smProcess(out, true), 1);
    // The same bytes come again; decoding them again gives the frame again.
    Out again;
    EXPECT_EQ(d.smProcess(again, false), 1);
    Out none;
    EXPECT_EQ(d.smProcess(none, false), 0);
}

// ---------------------------------------------------------------- Frame B

TEST(Decoder3DFrameB, RawModeComputesVectorsPerSensor) {
    kine_test::Decoding d;
    d.offsets.push_back(KineSensor());  // one entry, as after open
    SensorValues s[4];
    fourValues(s, 3);
    const auto frame = kine_sim::encodeFrameB(0xB0, s);
    ASSERT_EQ(frame.size(), 45u);
    feed(d, frame);
    Out out;
    ASSERT_EQ(process(d, out), 1);
    EXPECT_EQ(d.getVersion(), 4);
    EXPECT_EQ(d.getSensorSize(), 4);
    EXPECT_TRUE(d.decoder.unit.virtualSensors);
    EXPECT_EQ(d.offsetCount(), 4u);
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(out[k].size(), 1u) << k;
        const KinePackage& p = out[k][0];
        const int32_t* r = s[k].raw;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(p.raw[i], r[i]);
            EXPECT_EQ(p.raw[4 + i], r[i]);
            EXPECT_EQ(p.inconsistent[4 + i], r[i]);
        }
        EXPECT_EQ(p.x, r[0] - r[2]);
        EXPECT_EQ(p.y, r[3] - r[1]);
        EXPECT_EQ(p.z, (r[0] + r[1] + r[2] + r[3]) / 4);
        EXPECT_EQ(p.x2, p.x);
        EXPECT_EQ(p.y2, p.y);
        EXPECT_EQ(p.z2, p.z);
        EXPECT_EQ(p.aux, s[k].aux);
        EXPECT_EQ(p.version, kine_version_4);
        EXPECT_EQ(p.config.to_uin8_t(), 0xB0);
    }
}

TEST(Decoder3DFrameB, CompensatedModeCarriesTheFramesVectors) {
    kine_test::Decoding d;
    SensorValues s[4];
    fourValues(s, 1);
    const auto frame = kine_sim::encodeFrameB(0xB1, s);
    ASSERT_EQ(frame.size(), 37u);
    feed(d, concat({frame, frame}));
    Out out;
    ASSERT_EQ(process(d, out), 2);
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(out[k].size(), 2u);
        const KinePackage& p = out[k][1];
        EXPECT_EQ(p.x, s[k].x);
        EXPECT_EQ(p.y, s[k].y);
        EXPECT_EQ(p.z, s[k].z);  // unsigned: 60000 stays 60000
        EXPECT_EQ(p.aux, s[k].aux);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], 0);
        EXPECT_EQ(p.config.to_uin8_t(), 0xB1);
    }
}

TEST(Decoder3DFrameB, EachSensorLosesItsOwnOffset) {
    kine_test::Decoding d;
    SensorValues s[4];
    fourValues(s, 0);
    feed(d, kine_sim::encodeFrameB(0xB0, s));  // grows the offsets to four
    Out warmup;
    ASSERT_EQ(process(d, warmup), 1);
    ASSERT_EQ(d.offsetCount(), 4u);
    KineSensor o;
    for (int i = 0; i < 8; ++i) o.raw[i] = 2 * i + 1;
    o.aux = 4;
    d.offsets[2] = o;

    feed(d, concat({kine_sim::encodeFrameB(0xB0, s), kine_sim::encodeFrameB(0xB0, s)}));
    Out out;
    ASSERT_EQ(process(d, out), 2);
    EXPECT_EQ(d.offsetCount(), 4u);  // repeated headers add nothing
    EXPECT_TRUE(SameSample(out[1][0], warmup[1][0]));
    const KinePackage& p = out[2][0];
    int32_t r[4];
    for (int i = 0; i < 4; ++i) {
        r[i] = s[2].raw[i] - (2 * i + 1);
        EXPECT_EQ(p.raw[i], r[i]);
        EXPECT_EQ(p.raw[4 + i], s[2].raw[i] - (2 * (4 + i) + 1));
        EXPECT_EQ(p.inconsistent[i], s[2].raw[i]);
    }
    EXPECT_EQ(p.x, r[0] - r[2]);
    EXPECT_EQ(p.y, r[3] - r[1]);
    EXPECT_EQ(p.z, (r[0] + r[1] + r[2] + r[3]) / 4);
    EXPECT_EQ(p.aux, s[2].aux - 4);
}

// ------------------------------------------------------- 0xAA, versions 6/7

TEST(Decoder3DVersion6, FullPayloadCarriesEveryField) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    SensorValues s = values(2);
    s.z = 50000;
    feed(d, kine_sim::encodeV6Data(0, 0, s));
    Out out;
    ASSERT_EQ(process(d, out), 1);
    const KinePackage& p = out[0][0];
    EXPECT_EQ(p.x, s.x);
    EXPECT_EQ(p.y, s.y);
    EXPECT_EQ(p.z, 50000);  // raw mode: z unsigned
    EXPECT_EQ(p.aux, s.aux);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], s.raw[i]) << i;
    EXPECT_EQ(p.x2, s.x);
    EXPECT_EQ(p.y2, s.y);
    EXPECT_EQ(p.z2, 50000);
    EXPECT_EQ(p.version, kine_version_6);
    EXPECT_EQ(p.config.to_uin8_t(), 0xB0);
    EXPECT_EQ(d.getSensorSize(), 1);
    EXPECT_FALSE(d.decoder.unit.virtualSensors);
    EXPECT_TRUE(d.isChksumOK());
}

TEST(Decoder3DVersion6, ModeOfTheConfigurationSelectsSignedZ) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    SensorValues s = values(0);
    s.z = -5;
    feed(d, concat({kine_sim::encodeConfigReply(1, 0, 1), kine_sim::encodeV6Data(0, 0, s)}));
    Out out;
    ASSERT_EQ(process(d, out), 1);
    EXPECT_EQ(out[0][0].z, -5);
    EXPECT_EQ(out[0][0].config.getMode(), 1);
}

TEST(Decoder3DVersion6, LengthTenCarriesOnlyTheVector) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    const SensorValues s = values(4);
    feed(d, concat({kine_sim::encodeV6Data(0, 0, s), kine_sim::encodeV6Data(0, 0, s, 10)}));
    Out out;
    ASSERT_EQ(process(d, out), 2);
    const KinePackage& p = out[0][1];
    EXPECT_EQ(p.x, s.x);
    EXPECT_EQ(p.y, s.y);
    EXPECT_EQ(p.z, s.z);
    EXPECT_EQ(p.aux, 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], 0);
}

TEST(Decoder3DVersion6, ShortPayloadNeverDecodesBytesOfAnEarlierFrame) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    const SensorValues full = values(5);
    SensorValues second = values(9);
    // 16 bytes: the vector and raw[0..2]; raw[3], aux and raw[4..7] lie past it.
    feed(d, concat({kine_sim::encodeV6Data(0, 0, full), kine_sim::encodeV6Data(0, 0, second, 16)}));
    Out out;
    ASSERT_EQ(process(d, out), 2);
    const KinePackage& p = out[0][1];
    EXPECT_EQ(p.x, second.x);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(p.raw[i], second.raw[i]);
    EXPECT_EQ(p.raw[3], 0);
    EXPECT_EQ(p.aux, 0);
    for (int i = 4; i < 8; ++i) EXPECT_EQ(p.raw[i], 0);
}

TEST(Decoder3DVersion6, LengthZeroTakesOnePayloadByte) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    const auto empty = kine_sim::encodeAaFrame(kine_sim::kDataFrameType, {});
    ASSERT_EQ(empty.size(), 7u);
    const SensorValues s = values(1);
    feed(d, concat({kine_sim::encodeV6Data(0, 0, s), empty, kine_sim::encodeV6Data(0, 0, s)}));
    Out out;
    ASSERT_EQ(process(d, out), 3);
    EXPECT_TRUE(d.isChksumOK());
    EXPECT_EQ(out[0][1].x, 0);  // nothing of the earlier frame
    EXPECT_EQ(out[0][1].z, 0);
    EXPECT_TRUE(SameSample(out[0][2], out[0][0]));
}

TEST(Decoder3DVersion7, FourSensorsFromOnePayload) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_7;
    d.offsets.push_back(KineSensor());
    SensorValues s[4];
    fourValues(s, 2);
    feed(d, kine_sim::encodeV7Data(0, 0, s));
    Out out;
    ASSERT_EQ(process(d, out), 1);
    EXPECT_EQ(d.getSensorSize(), 4);
    EXPECT_TRUE(d.decoder.unit.virtualSensors);
    EXPECT_EQ(d.offsetCount(), 4u);
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(out[k].size(), 1u);
        const KinePackage& p = out[k][0];
        EXPECT_EQ(p.x, s[k].x) << k;
        EXPECT_EQ(p.y, s[k].y) << k;
        EXPECT_EQ(p.z, s[k].z) << k;
        EXPECT_EQ(p.aux, s[k].aux) << k;
        for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], s[k].raw[i]) << k << ' ' << i;
        EXPECT_EQ(p.x2, s[k].x);
        EXPECT_EQ(p.version, kine_version_7);
    }
}

TEST(Decoder3DVersion7, ShortPayloadReadsZeroPastItsEnd) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_7;
    SensorValues a[4], b[4];
    fourValues(a, 1);
    fourValues(b, 7);
    // 50 bytes: vectors, then raw[0..3] and aux of sensors 0 and 1 (28..47),
    // and raw[0] of sensor 2; the rest of the frame is absent.
    feed(d, concat({kine_sim::encodeV7Data(0, 0, a), kine_sim::encodeV7Data(0, 0, b, 50)}));
    Out out;
    ASSERT_EQ(process(d, out), 2);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(out[k][1].x, b[k].x);
    EXPECT_EQ(out[1][1].aux, b[1].aux);
    EXPECT_EQ(out[2][1].raw[0], b[2].raw[0]);
    EXPECT_EQ(out[2][1].raw[1], 0);
    EXPECT_EQ(out[2][1].aux, 0);
    EXPECT_EQ(out[3][1].raw[0], 0);
    for (int k = 0; k < 4; ++k)
        for (int i = 4; i < 8; ++i) EXPECT_EQ(out[k][1].raw[i], 0) << k << ' ' << i;
}

TEST(Decoder3DVersion7, MissingOffsetsCountAsZero) {
    // A four-sensor frame on a connection whose offsets were not grown (a
    // good frame was already seen): sensor 0 has an offset, 1..3 none.
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_7;
    d.decoder.unit.frameSeen = true;
    d.decoder.unit.sensorCount = 4;
    KineSensor o;
    o.x = 1000;
    d.offsets.push_back(o);
    SensorValues s[4];
    fourValues(s, 0);
    feed(d, kine_sim::encodeV7Data(0, 0, s));
    Out out;
    ASSERT_EQ(process(d, out), 1);
    EXPECT_EQ(d.offsetCount(), 1u);
    EXPECT_EQ(out[0][0].x, s[0].x - 1000);
    for (int k = 1; k < 4; ++k) EXPECT_EQ(out[k][0].x, s[k].x);

    // And with no offsets at all.
    d.offsets.clear();
    feed(d, kine_sim::encodeV7Data(0, 0, s));
    Out again;
    ASSERT_EQ(process(d, again), 1);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(again[k][0].x, s[k].x);
}

TEST(Decoder3DFrameB, FourSensorHeaderWithoutOffsetsDecodes) {
    kine_test::Decoding d;  // never opened: no offsets at all
    SensorValues s[4];
    fourValues(s, 0);
    feed(d, kine_sim::encodeFrameB(0xB1, s));
    Out out;
    ASSERT_EQ(process(d, out), 1);
    EXPECT_EQ(d.offsetCount(), 4u);
    EXPECT_EQ(out[3][0].x, s[3].x);
}

TEST(Decoder3DAa, StatusBitsSetTheConfigurationState) {
    struct Case {
        uint8_t S, T;
        int state;
    };
    const Case cases[] = {{0x00, 0x00, 5}, {0x02, 0x00, 1}, {0x01, 0x00, 2}, {0x03, 0x00, 2},
                          {0x02, 0x80, 3}, {0x40, 0x00, 6}, {0x41, 0x80, 6}, {0x04, 0x00, 0},
                          {0x44, 0x80, 0}, {0x08, 0x00, 4}, {0x0C, 0x00, 5}, {0x20, 0x00, 5}};
    for (const Case& c : cases) {
        kine_test::Decoding d;
        d.decoder.unit.version = kine_version_6;
        d.decoder.configuration = SensorConfig::fromByte(0x1F);  // state 0, every other bit set
        feed(d, kine_sim::encodeV6Data(c.S, c.T, values(0)));
        Out out;
        ASSERT_EQ(process(d, out), 1);
        const uint8_t expected = static_cast<uint8_t>((c.state << 5) | 0x1F);
        EXPECT_EQ(d.decoder.configuration.to_uin8_t(), expected) << int(c.S) << ' ' << int(c.T);
        EXPECT_EQ(out[0][0].config.to_uin8_t(), expected);
    }
}

TEST(Decoder3DAa, ConfigurationReplyUpdatesTheConfiguration) {
    const std::vector<uint8_t>& example = kine_test::worked::kConfigReply;
    ASSERT_EQ(kine_sim::encodeConfigReply(10, 3, 1), example);
    {
        kine_test::Decoding d;
        d.decoder.unit.version = kine_version_6;
        feed(d, example);
        Out out;
        EXPECT_EQ(process(d, out), 0);
        const SensorConfig c = d.decoder.configuration;
        EXPECT_EQ(c.getState(), state_ok);
        EXPECT_EQ(c.getSpeed(), 100);
        EXPECT_EQ(c.getFilter(), 50);
        EXPECT_EQ(c.getMode(), 1);
        EXPECT_TRUE(d.isChksumOK());
    }
    struct Case {
        uint8_t speed, filter, mode;
        int hz, cutoff, modeBit;
    };
    const Case cases[] = {{1, 0, 0, 1000, 0, 0}, {3, 2, 7, 333, 150, 1},
                          {33, 4, 0, 30, 15, 0}, {7, 7, 1, 30, 15, 1},  // unknown codes: their two low bits
                          {0, 5, 0, 1000, 0, 0},                        // 5 and 1 Hz (codes 5, 6) have no filter field:
                          {0, 6, 0, 1000, 0, 0}};                       // the field is kept (0 here)
    for (const Case& c : cases) {
        kine_test::Decoding d;
        d.decoder.configuration = SensorConfig::fromByte(0x00);
        feed(d, kine_sim::encodeConfigReply(c.speed, c.filter, c.mode));
        Out out;
        process(d, out);
        const SensorConfig got = d.decoder.configuration;
        EXPECT_EQ(got.getState(), state_ok);
        EXPECT_EQ(got.getSpeed(), c.hz) << int(c.speed);
        EXPECT_EQ(got.getFilter(), c.cutoff) << int(c.filter);
        EXPECT_EQ(got.getMode(), c.modeBit);
    }
}

TEST(Decoder3DAa, ShortConfigurationReplyReadsMissingModeAsZero) {
    kine_test::Decoding d;
    feed(d, kine_sim::encodeConfigReply(10, 3, 1));
    // Two bytes only (speed 1, filter 0): the mode byte lies past the payload.
    feed(d, kine_sim::encodeAaFrame(kine_sim::kConfigBlock, {1, 0}));
    Out out;
    process(d, out);
    EXPECT_EQ(d.decoder.configuration.getSpeed(), 1000);
    EXPECT_EQ(d.decoder.configuration.getMode(), 0);
}

TEST(Decoder3DAa, OtherFrameTypesAreCheckedAndDropped) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    const auto identity = kine_sim::encodeIdentityReply(31, "AB12");
    const auto good = kine_sim::encodeV6Data(0, 0, values(1));
    feed(d, concat({identity, good, corrupted(identity, 6)}));
    Out out;
    EXPECT_EQ(process(d, out), 1);
    EXPECT_FALSE(d.isChksumOK());
    EXPECT_EQ(d.decoder.configuration.to_uin8_t(), 0xB0);
}

TEST(Decoder3DAa, TypeHighByteAbove15AbandonsWithoutRescanningIt) {
    kine_test::Decoding d;
    const auto frame = kine_sim::encodeFrameA(0x01, values(0));
    // AA then 37: the 0x37 abandons the 0xAA frame and is not a new start,
    // so the rest of that Frame A is skipped byte by byte.
    feed(d, concat({{0xAA}, frame, frame}));
    Out out;
    EXPECT_EQ(process(d, out), 1);
    EXPECT_TRUE(d.isChksumOK());
}

TEST(Decoder3DAa, UnknownVersionDecodesNoSample) {
    kine_test::Decoding d;  // version 0: data frames are checked but give nothing
    feed(d, kine_sim::encodeV6Data(0x02, 0x80, values(1)));
    Out out;
    EXPECT_EQ(process(d, out), 0);
    EXPECT_TRUE(d.isChksumOK());
    EXPECT_EQ(d.decoder.configuration.getState(), 3);
}

// --------------------------------------------------------- header 0x37 0x5F

TEST(Decoder3DHeader, SixAxisHeaderEndsTheCallAndContinuesInState1) {
    kine_test::Decoding d;
    const auto a = kine_sim::encodeFrameA(0x01, values(0));
    feed(d, concat({a, {0x37, 0x5F}, a}));
    Out out;
    EXPECT_EQ(process(d, out), KINE_READ_OVERFLOW);
    EXPECT_EQ(out[0].size(), 1u);  // the frame before the header
    EXPECT_EQ(d.getVersion(), 5);
    EXPECT_EQ(d.getSensorSize(), 1);
    // The bytes after the header were taken but not decoded. The next call
    // continues in state 1: a frame without its 0x37 completes there.
    feed(d, std::vector<uint8_t>(a.begin() + 1, a.end()));
    Out next;
    EXPECT_EQ(process(d, next), 1);
    EXPECT_EQ(d.getVersion(), 3);
}

TEST(Decoder3DHeader, OtherIdentityByteIsSkipped) {
    kine_test::Decoding d;
    d.decoder.unit.virtualSensors = true;
    feed(d, concat({{0x37, 0x37, 0x44}, kine_sim::encodeFrameA(0x01, values(0))}));
    Out out;
    EXPECT_EQ(process(d, out), 1);
    EXPECT_FALSE(d.decoder.unit.virtualSensors);
}

}  // namespace
