// SPDX-License-Identifier: MIT
// The read operations over a running reader thread: the test plays the DAQ
// on a pty and writes frames made by the simulator's encoders.
#include <gtest/gtest.h>

#include <chrono>

#include "daq/KineDAQ_private.h"
#include "daq/PackArray.h"
#include "kine_sim/frames.h"
#include "support/daq_access.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono;
using kine_sim::SensorValues;
using kine_sim::Values6D;
using kine_test::concat;
using kine_test::waitFor;

using kine::alloc::elementCount;

SensorValues single(int i) {
    SensorValues s;
    s.x = 100 + i;
    s.y = -50 - i;
    s.z = 1000 + i;
    s.aux = i;
    for (int r = 0; r < 8; ++r) s.raw[r] = 10 * r + i;
    return s;
}

// Compensated Frame B: sensor k of frame i has x = 1000 k + i.
std::vector<uint8_t> frameB(int i) {
    SensorValues s[4];
    for (int k = 0; k < 4; ++k) {
        s[k].x = 1000 * k + i;
        s[k].y = -k;
        s[k].z = 500 + k;
        s[k].aux = 10 * k;
    }
    return kine_sim::encodeFrameB(0xB1, s);
}

std::vector<uint8_t> frameE(int i) {
    Values6D v;
    v.Fx = i;
    v.Tz = -i;
    for (int k = 0; k < 4; ++k)
        for (int r = 0; r < 4; ++r) v.sensors[k].raw[r] = 100 * k + r + i;
    return kine_sim::encodeFrameE(0xB0, v);
}

class SampleReads : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(d.readerThread().startRun(pty.slavePath(), 1000000)); }
    void TearDown() override {
        // A byte after the stop request ends the reader's wait at once.
        d.readerThread().close();
        pty.write(std::vector<uint8_t>{0x00});
        d.close();
    }

    size_t buffered() {
        int status;
        return d.readerThread().getBuffer(true, status).size();
    }

    // Writes bytes to the device side and waits until the reader holds them.
    void send(const std::vector<uint8_t>& bytes) {
        const size_t want = buffered() + bytes.size();
        pty.write(bytes);
        ASSERT_TRUE(waitFor([&] { return buffered() >= want; }, seconds(3)));
    }

    // More than the reader's buffer holds, through the reader's own append
    // path: its status turns to -1 (overflow).
    void overflow() {
        const std::vector<uint8_t> block(ReaderThread::kMaxBuffer + 1, 0x00);
        d.readerThread().appendReceived(block.data(), block.size());
    }

    kine_test::PtyPair pty;
    KineDAQ_private d;
};

TEST(SampleReadsClosed, EveryReadReturnsMinusTwoAndTouchesNothing) {
    KineDAQ_private d;
    KinePackage sample;
    sample.x = 77;
    KinePackage many[16];
    many[3].y = 5;
    int eight[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    int all[128];
    std::fill(all, all + 128, 9);
    int six[6] = {6, 6, 6, 6, 6, 6};
    KinePackage* array = new KinePackage[2];
    KinePackage* const arrayBefore = array;
    KinePackage6D sample6;
    sample6.Fx = 3;
    KinePackage6D* array6 = new KinePackage6D[1];
    KinePackage6D* const array6Before = array6;
    int* ints = new int[6];
    int* const intsBefore = ints;

    EXPECT_EQ(d.read(sample, 0, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.read(sample, -1, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.readVirtual(many, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.readArray(eight, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.readVirtualArray(all, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.readAll(array, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.read6D(sample6, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.readAll6D(array6, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.read6Axis(six, false), KINE_NOT_OPEN);
    EXPECT_EQ(d.readAll6Axis(ints, false), KINE_NOT_OPEN);

    EXPECT_EQ(sample.x, 77);
    EXPECT_EQ(many[3].y, 5);
    EXPECT_EQ(eight[0], 1);
    EXPECT_EQ(all[127], 9);
    EXPECT_EQ(six[5], 6);
    EXPECT_EQ(array, arrayBefore);
    EXPECT_EQ(sample6.Fx, 3);
    EXPECT_EQ(array6, array6Before);
    EXPECT_EQ(ints, intsBefore);
    delete[] array;
    delete[] array6;
    delete[] ints;
}

TEST_F(SampleReads, ReadGivesTheNewestOfThreeFrames) {
    send(concat({kine_sim::encodeFrameA(0xB0, single(1)), kine_sim::encodeFrameA(0xB0, single(2)),
                 kine_sim::encodeFrameA(0xB0, single(3))}));
    KinePackage sample;
    EXPECT_EQ(d.read(sample, 0, true), 3);  // keep: the same bytes stay for the next pass
    EXPECT_EQ(d.read(sample, 0, false), 3);
    EXPECT_EQ(sample.x, 103);
    EXPECT_EQ(sample.version, kine_version_3);
    sample.x = 42;
    EXPECT_EQ(d.read(sample, 0, false), 0);  // nothing new: the sample stays
    EXPECT_EQ(sample.x, 42);
}

TEST_F(SampleReads, ReadAllSingleSensorOldestFirst) {
    send(concat({kine_sim::encodeFrameA(0xB0, single(1)), kine_sim::encodeFrameA(0xB0, single(2)),
                 kine_sim::encodeFrameA(0xB0, single(3))}));
    KinePackage* samples = nullptr;
    ASSERT_EQ(d.readAll(samples, false), 3);
    ASSERT_NE(samples, nullptr);
    EXPECT_EQ(elementCount(samples), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(samples[i].x, 101 + i);

    // Nothing decoded: the array is released and the pointer cleared.
    EXPECT_EQ(d.readAll(samples, false), 0);
    EXPECT_EQ(samples, nullptr);
}

TEST_F(SampleReads, ReadAllFourSensorsIsSensorMajor) {
    send(concat({frameB(0), frameB(1), frameB(2)}));
    KinePackage* samples = nullptr;
    ASSERT_EQ(d.readAll(samples, false), 3);
    ASSERT_EQ(elementCount(samples), 12u);
    for (int s = 0; s < 4; ++s)
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(samples[s * 3 + i].x, 1000 * s + i) << s << ' ' << i;
            EXPECT_EQ(samples[s * 3 + i].aux, 10 * s);
        }

    // Same count again: the caller's array is reused, not reallocated.
    KinePackage* const before = samples;
    send(concat({frameB(5), frameB(6), frameB(7)}));
    ASSERT_EQ(d.readAll(samples, false), 3);
    EXPECT_EQ(samples, before);
    EXPECT_EQ(samples[11].x, 3007);
    EXPECT_EQ(::size, 12);
    EXPECT_EQ(::newptr, samples);

    // Another count: resized.
    send(frameB(8));
    ASSERT_EQ(d.readAll(samples, false), 1);
    EXPECT_EQ(elementCount(samples), 4u);
    EXPECT_EQ(samples[3].x, 3008);
    delete[] samples;
}

TEST_F(SampleReads, PassWithoutSamples) {
    send({0x00, 0x01});  // bytes, but no frame
    KinePackage sample;
    sample.y = 31;
    EXPECT_EQ(d.read(sample, 0, false), 0);
    EXPECT_EQ(sample.y, 31);
    int eight[8] = {5, 5, 5, 5, 5, 5, 5, 5};
    EXPECT_EQ(d.readArray(eight, false), 0);
    for (int v : eight) EXPECT_EQ(v, 0);
    KinePackage* samples = new KinePackage[4];
    EXPECT_EQ(d.readAll(samples, false), 0);
    EXPECT_EQ(samples, nullptr);
}

TEST_F(SampleReads, SensorIndexOutsideTheDaqIsRefused) {
    KinePackage sample;
    sample.x = 1;
    // Sensor count still 0: an index within 0..15 runs the pass, others are refused.
    EXPECT_EQ(d.read(sample, -1, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(d.read(sample, 16, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(d.read(sample, 1000000, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(d.read(sample, 5, false), 0);

    send(frameB(4));
    EXPECT_EQ(d.read(sample, 3, false), 1);
    EXPECT_EQ(sample.x, 3004);
    EXPECT_EQ(d.read(sample, 5, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(d.read(sample, 4, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(sample.x, 3004);

    send(kine_sim::encodeFrameA(0xB0, single(0)));
    EXPECT_EQ(d.read(sample, 0, false), 1);
    EXPECT_EQ(d.read(sample, 1, false), KINE_NO_SUCH_SENSOR);  // now a single-sensor DAQ
}

TEST_F(SampleReads, SixAxisReadsNeedFourSensors) {
    send(kine_sim::encodeFrameA(0xB0, single(0)));
    KinePackage sample;
    ASSERT_EQ(d.read(sample, 0, false), 1);
    int six[6] = {7, 7, 7, 7, 7, 7};
    EXPECT_EQ(d.read6Axis(six, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(six[0], 7);
    int* values = nullptr;
    EXPECT_EQ(d.readAll6Axis(values, false), KINE_NO_SUCH_SENSOR);
    EXPECT_EQ(values, nullptr);
}

TEST_F(SampleReads, FourSensorForceAndTorque) {
    SensorValues s[4];
    for (int k = 0; k < 4; ++k) {
        s[k].x = 4 * (k + 1);
        s[k].y = 0;
        s[k].z = 16;
    }
    const auto frame = kine_sim::encodeFrameB(0xB1, s);
    send(frame);
    KinePackage warmup;
    ASSERT_EQ(d.read(warmup, 0, false), 1);  // the DAQ now has four sensors

    send(frame);
    int six[6] = {};
    ASSERT_EQ(d.read6Axis(six, false), 1);
    EXPECT_EQ(std::vector<int>(six, six + 6), (std::vector<int>{10, 0, 4, 0, 0, 1}));

    send(concat({frame, frameB(2)}));
    int* values = nullptr;
    ASSERT_EQ(d.readAll6Axis(values, false), 2);
    EXPECT_EQ(std::vector<int>(values, values + 6), (std::vector<int>{10, 0, 4, 0, 0, 1}));
    // Frame 2: x = 2, 1002, 2002, 3002; y = 0, -1, -2, -3; z = 500..503.
    EXPECT_EQ(std::vector<int>(values + 6, values + 12), (std::vector<int>{1502, -1, 125, -1, 1, 499}));

    // No samples in the pass: still a (zero-length) array to release.
    send({0x00});
    EXPECT_EQ(d.readAll6Axis(values, false), 0);
    EXPECT_NE(values, nullptr);
    delete[] values;
}

TEST(SampleReadsArithmetic, VectorAndTorqueTruncateTowardZero) {
    KineDAQ_private d;
    KinePackage a, b, c, e;
    a.x = 3, a.y = -7, a.z = -4;
    b.x = 2, b.y = 0, b.z = 1;
    c.x = 50, c.y = 1, c.z = -1;
    e.x = -1, e.y = 0, e.z = -14;
    a.raw[0] = 99;
    a.version = kine_version_4;
    const KinePackage v = d.calc6axisVector(a, b, c, e);
    EXPECT_EQ(v.x, 13);  // 54 / 4
    EXPECT_EQ(v.y, -1);  // -6 / 4
    EXPECT_EQ(v.z, -1);  // -18 / 16
    EXPECT_EQ(v.raw[0], 0);
    EXPECT_EQ(v.version, kine_version_none);
    EXPECT_EQ(v.config.to_uin8_t(), 0xB0);
    const KinePackage t = d.calc6axisTorque(a, b, c, e);
    EXPECT_EQ(t.x, -1);  // (a.z - c.z) / 2 = -3 / 2
    EXPECT_EQ(t.y, -7);  // (d.z - b.z) / 2 = -15 / 2
    EXPECT_EQ(t.z, -1);  // (-a.x - b.x + c.y + d.x) / 4 = -5 / 4
    EXPECT_EQ(t.version, kine_version_none);
}

TEST_F(SampleReads, ArrayLayouts) {
    send(frameB(3));
    int all[128];
    std::fill(all, all + 128, -9);
    ASSERT_EQ(d.readVirtualArray(all, false), 1);
    for (int s = 0; s < 4; ++s) {
        // x, y, z, raw[0..3], aux (compensated frame: raw channels 0)
        EXPECT_EQ(std::vector<int>(all + 8 * s, all + 8 * s + 8),
                  (std::vector<int>{1000 * s + 3, -s, 500 + s, 0, 0, 0, 0, 10 * s}))
            << s;
    }
    for (int i = 32; i < 128; ++i) ASSERT_EQ(all[i], -9);

    send(kine_sim::encodeFrameA(0xB0, single(4)));
    int eight[8];
    ASSERT_EQ(d.readArray(eight, false), 1);
    // raw[0..3], x, y, z, aux
    EXPECT_EQ(std::vector<int>(eight, eight + 8), (std::vector<int>{4, 14, 24, 34, 104, -54, 1004, 4}));
}

TEST_F(SampleReads, ReadVirtualGivesEachSensorsNewest) {
    send(concat({frameB(1), frameB(2)}));
    KinePackage samples[16];
    samples[4].x = 55;
    ASSERT_EQ(d.readVirtual(samples, false), 2);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(samples[s].x, 1000 * s + 2);
    EXPECT_EQ(samples[4].x, 55);
    samples[0].x = -1;
    EXPECT_EQ(d.readVirtual(samples, false), 0);
    EXPECT_EQ(samples[0].x, -1);
}

TEST_F(SampleReads, OverflowIsPassedOnAndLeavesArraysAlone) {
    overflow();
    KinePackage sample;
    sample.x = 8;
    EXPECT_EQ(d.read(sample, 0, false), KINE_READ_OVERFLOW);
    EXPECT_EQ(sample.x, 8);

    overflow();
    KinePackage* samples = new KinePackage[3];
    KinePackage* const before = samples;
    EXPECT_EQ(d.readAll(samples, false), KINE_READ_OVERFLOW);
    EXPECT_EQ(samples, before);
    delete[] samples;

    overflow();
    KinePackage6D* samples6 = new KinePackage6D[2];
    KinePackage6D* const before6 = samples6;
    EXPECT_EQ(d.readAll6D(samples6, false), KINE_READ_OVERFLOW);
    EXPECT_EQ(samples6, before6);
    delete[] samples6;
}

TEST_F(SampleReads, SixAxisFrameInAThreeAxisReadGivesMinusOne) {
    send(frameE(0));
    KinePackage sample;
    EXPECT_EQ(d.read(sample, 0, false), KINE_READ_OVERFLOW);
    EXPECT_EQ(d.getVersion(), 5);
}

TEST_F(SampleReads, SixDReads) {
    send(concat({frameE(1), frameE(2), frameE(3)}));
    KinePackage6D sample;
    EXPECT_EQ(d.read6D(sample, true), 3);
    EXPECT_EQ(sample.Fx, 3);
    KinePackage6D* samples = nullptr;
    ASSERT_EQ(d.readAll6D(samples, false), 3);
    ASSERT_EQ(elementCount(samples), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(samples[i].Fx, i + 1);
        EXPECT_EQ(samples[i].Tz, -(i + 1));
        EXPECT_EQ(samples[i].sensors[2].raw[1], 202 + i);
    }
    sample.Fx = 70;
    EXPECT_EQ(d.read6D(sample, false), 0);
    EXPECT_EQ(sample.Fx, 70);
    EXPECT_EQ(d.readAll6D(samples, false), 0);
    EXPECT_EQ(samples, nullptr);

    // Version 8 frames through the same reads.
    d.frameDecoder().unit.version = kine_version_8;
    Values6D v;
    v.Fy = -12;
    send(concat({kine_sim::encodeV8Data(0, 0, v), kine_sim::encodeV8Data(0, 0, v)}));
    ASSERT_EQ(d.readAll6D(samples, false), 2);
    EXPECT_EQ(samples[1].Fy, -12);
    EXPECT_EQ(samples[1].sensors[0].version, kine_version_8);
    delete[] samples;
}

}  // namespace
