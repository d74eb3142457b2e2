// SPDX-License-Identifier: MIT
// The 6D frame decoder against streams made by the simulator's encoders:
// Frame E (v5) and 0xAA data frames of version 8, with the unit's 6D offset.
#include <gtest/gtest.h>

#include "daq/decoder_values.h"
#include "kine_sim/frames.h"
#include "support/daq_access.h"
#include "support/worked_frames.h"

namespace {

using decoder_values::unit;
using kine_sim::Values6D;
using kine_test::concat;
using kine_test::feed;
using kine_test::SameSample;

using Out = std::deque<KinePackage6D>;

// x, y, z are the force vector of the four raw channels r.
void expectVector(const int32_t* r, int32_t x, int32_t y, int32_t z) {
    EXPECT_EQ(x, r[0] - r[2]);
    EXPECT_EQ(y, r[3] - r[1]);
    EXPECT_EQ(z, (r[0] + r[1] + r[2] + r[3]) / 4);
}

// ---------------------------------------------------------------- Frame E

TEST(Decoder6DFrameE, WorkedExample) {
    const std::vector<uint8_t> bytes = kine_test::worked::frameE();
    ASSERT_EQ(kine_sim::encodeFrameE(0x00, kine_test::worked::frameEValues()), bytes);

    kine_test::Decoding d;
    feed(d, bytes);
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 1);
    const KinePackage6D& p = out[0];
    EXPECT_EQ(p.Fx, -1);
    EXPECT_EQ(p.Fy, 0);
    EXPECT_EQ(p.Tz, 0);
    for (const KinePackage& s : p.sensors) {
        EXPECT_EQ(s.x, -200);
        EXPECT_EQ(s.y, 200);
        EXPECT_EQ(s.z, 250);
        EXPECT_EQ(s.x2, -200);
        EXPECT_EQ(s.aux, 0);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(s.raw[i], 100 * (i + 1));
            EXPECT_EQ(s.raw[4 + i], 100 * (i + 1));
            EXPECT_EQ(s.inconsistent[i], 100 * (i + 1));
        }
        EXPECT_EQ(s.version, kine_version_5);
        EXPECT_EQ(s.config.to_uin8_t(), 0x00);
    }
    EXPECT_EQ(d.getVersion(), 5);
    EXPECT_EQ(d.getSensorSize(), 4);
    EXPECT_TRUE(d.decoder.unit.virtualSensors);
    EXPECT_TRUE(d.isChksumOK());
    EXPECT_EQ(d.getSize(), 57);
    EXPECT_EQ(d.offsetCount(), 0u);  // a version 5 unit is zeroed through the 6D offset
}

TEST(Decoder6DFrameE, UnitOffsetIsRemoved) {
    kine_test::Decoding d;
    KineSensor6D& o = d.offset6D;
    o.Fx = 10;
    o.Tz = -3;
    for (int i = 0; i < 8; ++i) o.sensors[1].raw[i] = i + 1;
    o.sensors[1].aux = 5;
    const Values6D v = unit(0);
    feed(d, kine_sim::encodeFrameE(0xB0, v));
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 1);
    const KinePackage6D& p = out[0];
    EXPECT_EQ(p.Fx, v.Fx - 10);
    EXPECT_EQ(p.Fz, static_cast<int16_t>(v.Fz));  // Frame E axes are signed
    EXPECT_EQ(p.Tz, -32768 + 3);
    const KinePackage& s = p.sensors[1];
    int32_t r[4];
    for (int i = 0; i < 4; ++i) {
        r[i] = v.sensors[1].raw[i] - (i + 1);
        EXPECT_EQ(s.raw[i], r[i]);
        EXPECT_EQ(s.raw[4 + i], r[i]);
        EXPECT_EQ(s.inconsistent[i], v.sensors[1].raw[i]);
    }
    expectVector(r, s.x, s.y, s.z);
    EXPECT_EQ(s.aux, v.sensors[1].aux - 5);
    EXPECT_EQ(p.sensors[0].aux, v.sensors[0].aux);
}

TEST(Decoder6DFrameE, ThreeAxisFramesProduceNothing) {
    kine_test::Decoding d;
    d.decoder.unit.virtualSensors = true;
    kine_sim::SensorValues s4[4];
    feed(d, concat({kine_sim::encodeFrameA(0x01, s4[0]), kine_sim::encodeFrameB(0xB0, s4)}));
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 0);
    EXPECT_FALSE(d.decoder.unit.virtualSensors);
    EXPECT_EQ(d.getVersion(), 0);
}

// ------------------------------------------------------------- version 8

TEST(Decoder6DVersion8, FullPayloadCarriesAxesSensorsAndBothVectors) {
    kine_test::Decoding d;  // never opened: no offsets yet
    d.decoder.unit.version = kine_version_8;
    const Values6D v = unit(3);
    feed(d, kine_sim::encodeV8Data(0, 0, v));
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 1);
    const KinePackage6D& p = out[0];
    EXPECT_EQ(p.Fx, v.Fx);
    EXPECT_EQ(p.Fy, v.Fy);
    EXPECT_EQ(p.Fz, v.Fz);  // raw mode: unsigned
    EXPECT_EQ(p.Tx, v.Tx);
    EXPECT_EQ(p.Ty, v.Ty);
    EXPECT_EQ(p.Tz, v.Tz);
    for (int k = 0; k < 4; ++k) {
        const KinePackage& s = p.sensors[k];
        for (int i = 0; i < 8; ++i) EXPECT_EQ(s.raw[i], v.sensors[k].raw[i]) << k << ' ' << i;
        EXPECT_EQ(s.aux, v.sensors[k].aux);
        expectVector(s.raw, s.x, s.y, s.z);
        expectVector(s.raw + 4, s.x2, s.y2, s.z2);
        EXPECT_EQ(s.version, kine_version_8);
        EXPECT_EQ(s.config.to_uin8_t(), 0xB0);
    }
    EXPECT_EQ(d.getSensorSize(), 4);
    EXPECT_TRUE(d.decoder.unit.virtualSensors);
    EXPECT_EQ(d.offsetCount(), 4u);
}

TEST(Decoder6DVersion8, OffsetsGrowToFourOnce) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_8;
    d.offsets.push_back(KineSensor());  // as after open
    feed(d, concat({kine_sim::encodeV8Data(0, 0, unit(0)), kine_sim::encodeV8Data(0, 0, unit(1))}));
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 2);
    EXPECT_EQ(d.offsetCount(), 4u);
}

TEST(Decoder6DVersion8, CompensatedConfigurationMakesFzSigned) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_8;
    Values6D v = unit(0);
    v.Fz = -7;
    feed(d, concat({kine_sim::encodeConfigReply(33, 4, 1), kine_sim::encodeV8Data(0x02, 0x80, v)}));
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 1);
    EXPECT_EQ(out[0].Fz, -7);
    const SensorConfig c = d.decoder.configuration;
    EXPECT_EQ(c.getState(), 3);  // from S and T
    EXPECT_EQ(c.getSpeed(), 30);
    EXPECT_EQ(c.getFilter(), 15);
    EXPECT_EQ(c.getMode(), 1);
    EXPECT_EQ(out[0].sensors[2].config.to_uin8_t(), c.to_uin8_t());
}

TEST(Decoder6DVersion8, LengthSixteenCarriesOnlyTheAxes) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_8;
    const Values6D v = unit(2);
    feed(d, concat({kine_sim::encodeV8Data(0, 0, unit(9)), kine_sim::encodeV8Data(0, 0, v, 16)}));
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 2);
    const KinePackage6D& p = out[1];
    EXPECT_EQ(p.Fx, v.Fx);
    EXPECT_EQ(p.Tz, v.Tz);
    for (const KinePackage& s : p.sensors) {
        for (int i = 0; i < 8; ++i) EXPECT_EQ(s.raw[i], 0);
        EXPECT_EQ(s.aux, 0);
        EXPECT_EQ(s.x, 0);
        EXPECT_EQ(s.z2, 0);
    }
}

TEST(Decoder6DVersion8, ShortPayloadNeverDecodesBytesOfAnEarlierFrame) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_8;
    const Values6D v = unit(4);
    // 40 bytes: sensors 0 and 1 (16..35) and raw[0..1] of sensor 2 (36..39).
    feed(d, concat({kine_sim::encodeV8Data(0, 0, unit(8)), kine_sim::encodeV8Data(0, 0, v, 40)}));
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 2);
    const KinePackage6D& p = out[1];
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p.sensors[1].raw[i], v.sensors[1].raw[i]);
    EXPECT_EQ(p.sensors[1].aux, v.sensors[1].aux);
    EXPECT_EQ(p.sensors[2].raw[1], v.sensors[2].raw[1]);
    EXPECT_EQ(p.sensors[2].raw[2], 0);
    EXPECT_EQ(p.sensors[2].aux, 0);
    EXPECT_EQ(p.sensors[3].raw[0], 0);
    for (const KinePackage& s : p.sensors)
        for (int i = 4; i < 8; ++i) EXPECT_EQ(s.raw[i], 0);
}

TEST(Decoder6DVersion8, OtherVersionGivesNoSample) {
    kine_test::Decoding d;
    d.decoder.unit.version = kine_version_6;
    feed(d, kine_sim::encodeV8Data(0, 0, unit(0)));
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 0);
    EXPECT_TRUE(d.isChksumOK());
}

}  // namespace
