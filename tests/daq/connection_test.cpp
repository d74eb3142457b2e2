// SPDX-License-Identifier: MIT
// End-to-end tests of a DAQ connection against the simulated DAQ on a pty,
// used exactly as an application would use a real one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "daq/KineDAQ_private.h"
#include "kine/KineDAQ.h"
#include "kine_sim/frames.h"
#include "kine_sim/simulated_daq.h"
#include "support/daq_access.h"
#include "support/interval_timer.h"
#include "support/pty_pair.h"
#include "support/sim_daq.h"

namespace {

using namespace std::chrono;
using kine_sim::SensorValues;
using kine_sim::SimulatedDaq;
using kine_sim::Values6D;
using kine_test::msSince;
using kine_test::portFor;
using kine_test::waitFor;

std::unique_ptr<SimulatedDaq> makeSim(int version, bool compensated = false, bool refuse = false) {
    SimulatedDaq::Options o;
    o.version = version;
    o.compensated = compensated;
    o.refuseConfig = refuse;
    o.serial = "A1B2";
    return std::make_unique<SimulatedDaq>(o);
}

SensorValues sensorValues(int k) {
    SensorValues s;
    s.x = -120 + k;
    s.y = 340 + 10 * k;
    s.z = 5000 + 100 * k;
    s.aux = 7 + k;
    for (int i = 0; i < 8; ++i) s.raw[i] = 100 * (i + 1) + 1000 * k;
    return s;
}

Values6D values6D() {
    Values6D v;
    v.Fx = -11;
    v.Fy = 22;
    v.Fz = 3300;
    v.Tx = -44;
    v.Ty = 55;
    v.Tz = -66;
    for (int k = 0; k < 4; ++k) v.sensors[k] = sensorValues(k);
    return v;
}

// Reads until a pass decodes something; returns that pass's result.
int readFresh(KineDAQ& daq, KinePackage& s, int sensor = 0) {
    int r = 0;
    waitFor([&] { return (r = daq.read(s, sensor, false)) != 0; }, seconds(2), milliseconds(5));
    return r;
}

int readFresh6D(KineDAQ& daq, KinePackage6D& s) {
    int r = 0;
    waitFor([&] { return (r = daq.read6D(s, false)) != 0; }, seconds(2), milliseconds(5));
    return r;
}

void expectFrameVector(const KinePackage& p, const SensorValues& v) {
    EXPECT_EQ(p.x, v.x);
    EXPECT_EQ(p.y, v.y);
    EXPECT_EQ(p.z, v.z);
    EXPECT_EQ(p.x2, v.x);
    EXPECT_EQ(p.y2, v.y);
    EXPECT_EQ(p.z2, v.z);
    EXPECT_EQ(p.aux, v.aux);
}

void expectRawVector(const KinePackage& p, const int32_t* r) {
    EXPECT_EQ(p.x, r[0] - r[2]);
    EXPECT_EQ(p.y, r[3] - r[1]);
    EXPECT_EQ(p.z, (r[0] + r[1] + r[2] + r[3]) / 4);
}

TEST(DaqConnection, Version3SingleSensor) {
    auto sim = makeSim(3);
    SensorValues v = sensorValues(0);
    sim->setConstant(v);
    KineDAQ daq;
    EXPECT_EQ(daq.getBytesPerRead(), 1);
    EXPECT_STREQ(daq.getPortName(), "");
    ASSERT_TRUE(daq.open(portFor(*sim)));
    EXPECT_TRUE(daq.isOpen());
    EXPECT_EQ(daq.getVersion(), 3);
    EXPECT_EQ(daq.getSensorSize(), 1);
    EXPECT_EQ(daq.getBytesPerRead(), 29);
    EXPECT_STREQ(daq.getPortName(), sim->devicePath().c_str());
    EXPECT_FALSE(daq.isVirtual());

    KinePackage s;
    ASSERT_GT(readFresh(daq, s), 0);
    expectFrameVector(s, v);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(s.raw[i], v.raw[i]);
        EXPECT_EQ(s.inconsistent[i], v.raw[i]);
    }
    EXPECT_EQ(s.version, kine_version_3);
    EXPECT_EQ(s.config.to_uin8_t(), sim->configByte());
    EXPECT_TRUE(daq.isChksumOK());
    EXPECT_GT(daq.getSize(), 0);

    int values[8];
    ASSERT_TRUE(waitFor([&] { return daq.readArray(values, false) > 0; }, seconds(1)));
    EXPECT_EQ(values[0], v.raw[0]);
    EXPECT_EQ(values[3], v.raw[3]);
    EXPECT_EQ(values[4], v.x);
    EXPECT_EQ(values[6], v.z);
    EXPECT_EQ(values[7], v.aux);

    EXPECT_EQ(daq.read(s, 1, false), KINE_NO_SUCH_SENSOR);
    int six[6];
    EXPECT_EQ(daq.read6Axis(six, false), KINE_NO_SUCH_SENSOR);
    daq.close();
    EXPECT_FALSE(daq.isOpen());
    EXPECT_EQ(daq.read(s, 0, false), KINE_NOT_OPEN);
    EXPECT_EQ(daq.getVersion(), 3);  // kept after close
    EXPECT_EQ(daq.getSensorSize(), 0);
    daq.close();  // twice is harmless
}

class FourSensorRaw : public ::testing::TestWithParam<bool> {};

TEST_P(FourSensorRaw, Version4) {
    const bool compensated = GetParam();
    auto sim = makeSim(4, compensated);
    SensorValues v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = sensorValues(k);
        sim->setConstant(v[k], k);
    }
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    EXPECT_EQ(daq.getVersion(), 4);
    EXPECT_EQ(daq.getSensorSize(), 4);
    EXPECT_TRUE(daq.isVirtual());

    KinePackage all[16];
    int r = 0;
    ASSERT_TRUE(waitFor([&] { return (r = daq.readVirtual(all, false)) > 0; }, seconds(2)));
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(all[k].version, kine_version_4);
        EXPECT_EQ(all[k].aux, v[k].aux);
        if (compensated) {
            EXPECT_EQ(all[k].x, v[k].x);
            EXPECT_EQ(all[k].y, v[k].y);
            EXPECT_EQ(all[k].z, v[k].z);
        } else {
            expectRawVector(all[k], v[k].raw);
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(all[k].raw[i], v[k].raw[i]);
                EXPECT_EQ(all[k].raw[i + 4], v[k].raw[i]);
            }
        }
    }

    KinePackage* array = nullptr;
    ASSERT_TRUE(waitFor([&] { return (r = daq.readAll(array, false)) > 0; }, seconds(2)));
    ASSERT_NE(array, nullptr);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(array[k * r].aux, v[k].aux);  // sensor-major
    delete[] array;

    int six[6];
    ASSERT_TRUE(waitFor([&] { return daq.read6Axis(six, false) > 0; }, seconds(2)));
    KinePackage a = all[0], b = all[1], c = all[2], d = all[3];
    EXPECT_EQ(six[0], static_cast<int>((a.x + b.x + c.x + d.x) * 0.25));
    EXPECT_EQ(six[5], static_cast<int>((-a.x - b.x + c.y + d.x) * 0.25));
    EXPECT_EQ(daq.read(a, 4, false), KINE_NO_SUCH_SENSOR);
}

INSTANTIATE_TEST_SUITE_P(RawAndCompensated, FourSensorRaw, ::testing::Values(false, true));

TEST(DaqConnection, Version5SixAxis) {
    auto sim = makeSim(5);
    Values6D v = values6D();
    sim->setConstant(v);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    EXPECT_EQ(daq.getVersion(), 5);
    EXPECT_EQ(daq.getBytesPerRead(), 57);
    KinePackage6D s;
    ASSERT_GT(readFresh6D(daq, s), 0);
    EXPECT_EQ(s.Fx, v.Fx);
    EXPECT_EQ(s.Fz, v.Fz);
    EXPECT_EQ(s.Tz, v.Tz);
    for (int k = 0; k < 4; ++k) {
        expectRawVector(s.sensors[k], v.sensors[k].raw);
        EXPECT_EQ(s.sensors[k].raw[4], v.sensors[k].raw[0]);
        EXPECT_EQ(s.sensors[k].aux, v.sensors[k].aux);
        EXPECT_EQ(s.sensors[k].version, kine_version_5);
    }
    KinePackage p;
    int r = 0;
    ASSERT_TRUE(waitFor([&] { return (r = daq.read(p, 0, false)) != 0; }, seconds(1)));
    EXPECT_EQ(r, KINE_READ_OVERFLOW);  // a 3-axis read meets a six-axis frame
}

TEST(DaqConnection, Version6And7) {
    for (int version : {6, 7}) {
        for (bool compensated : {false, true}) {
            SCOPED_TRACE(version * 10 + compensated);
            auto sim = makeSim(version, compensated);
            const int n = version == 6 ? 1 : 4;
            SensorValues v[4];
            for (int k = 0; k < n; ++k) {
                v[k] = sensorValues(k);
                if (compensated) v[k].z = -v[k].z;  // z is signed in compensated mode
                sim->setConstant(v[k], k);
            }
            KineDAQ daq;
            KPort port = portFor(*sim);
            ASSERT_TRUE(daq.open(port));
            EXPECT_EQ(daq.getVersion(), version);  // set from the identity code
            EXPECT_EQ(daq.getSensorSize(), n);
            EXPECT_EQ(daq.getConfig().getMode(), compensated ? 1 : 0);
            KinePackage all[16];
            ASSERT_TRUE(waitFor([&] { return daq.readVirtual(all, false) > 0; }, seconds(2)));
            for (int k = 0; k < n; ++k) {
                expectFrameVector(all[k], v[k]);
                for (int i = 0; i < 8; ++i) EXPECT_EQ(all[k].raw[i], v[k].raw[i]);
                EXPECT_EQ(all[k].version, version);
            }
        }
    }
}

TEST(DaqConnection, Version8SixAxis) {
    auto sim = makeSim(8);
    Values6D v = values6D();
    sim->setConstant(v);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    EXPECT_EQ(daq.getVersion(), 8);
    KinePackage6D s;
    ASSERT_GT(readFresh6D(daq, s), 0);
    EXPECT_EQ(daq.getSensorSize(), 4);  // known once the six-axis decoder has run
    EXPECT_EQ(s.Fx, v.Fx);
    EXPECT_EQ(s.Fz, v.Fz);
    EXPECT_EQ(s.Ty, v.Ty);
    for (int k = 0; k < 4; ++k) {
        expectRawVector(s.sensors[k], v.sensors[k].raw);
        const int32_t* r = v.sensors[k].raw + 4;
        EXPECT_EQ(s.sensors[k].x2, r[0] - r[2]);
        EXPECT_EQ(s.sensors[k].z2, (r[0] + r[1] + r[2] + r[3]) / 4);
        EXPECT_EQ(s.sensors[k].aux, v.sensors[k].aux);
    }
    KinePackage6D* array = nullptr;
    int r = 0;
    ASSERT_TRUE(waitFor([&] { return (r = daq.readAll6D(array, false)) > 0; }, seconds(2)));
    EXPECT_EQ(array[r - 1].Tz, v.Tz);
    delete[] array;
}

TEST(DaqConnection, SendConfigOn0x37FamilySendsOneByte) {
    auto sim = makeSim(3);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    sim->clearReceived();
    SensorConfig want;
    want.setFilter(15);
    want.setSpeed(1000);
    want.setMode(1);
    ASSERT_EQ(want.to_uin8_t(), 0xA7);
    EXPECT_TRUE(daq.sendConfig(want));
    EXPECT_EQ(sim->received(), std::vector<uint8_t>{0xA7});
    EXPECT_EQ(sim->framesPerSecond(), 1000);
    SensorConfig got = daq.getConfig();
    EXPECT_EQ(got.getSpeed(), 1000);
    EXPECT_EQ(got.getFilter(), 15);
    EXPECT_EQ(got.getMode(), 1);

    SensorConfig slow;
    slow.setSpeed(30);
    EXPECT_TRUE(daq.sendConfig(slow));
    EXPECT_EQ(sim->framesPerSecond(), 30);
}

TEST(DaqConnection, SendConfigOnAaFamilySendsAWriteFrame) {
    auto sim = makeSim(7);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    sim->clearReceived();
    EXPECT_TRUE(daq.sendConfig(SensorConfig::fromByte(0xA7)));
    std::vector<uint8_t> got = sim->received();
    const std::vector<uint8_t> write{0xAA, 0x00, 0x32, 0x02, 0x01, 0x04, 0x00, 0xE3};
    const std::vector<uint8_t> request{0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3};
    ASSERT_GE(got.size(), write.size() + request.size());
    EXPECT_TRUE(std::equal(write.begin(), write.end(), got.begin()));
    EXPECT_TRUE(std::equal(request.begin(), request.end(), got.begin() + write.size()));
    EXPECT_EQ(sim->framesPerSecond(), 1000);
    EXPECT_EQ(daq.getConfig().getFilter(), 15);
}

TEST(DaqConnection, SendConfigReportsARefusal) {
    for (int version : {3, 7}) {
        SCOPED_TRACE(version);
        auto sim = makeSim(version, false, true);
        KineDAQ daq;
        ASSERT_TRUE(daq.open(portFor(*sim)));
        SensorConfig want;
        want.setSpeed(333);
        want.setFilter(50);
        EXPECT_FALSE(daq.sendConfig(want));
        EXPECT_NE(daq.getConfig().getSpeed(), 333);
    }
}

TEST(DaqConnection, GetConfigSeesChangesMadeBehindItsBack) {
    auto sim = makeSim(6);
    KineDAQ_private daq;
    ASSERT_TRUE(daq.open(portFor(*sim), false, 1000000));
    EXPECT_EQ(daq.getConfig().getSpeed(), 100);  // open leaves the unit at 100 Hz
    unsigned char codes[2] = {33, 3};            // 30 Hz, 50 Hz filter
    daq.send170(0x32, 2, codes);
    ASSERT_TRUE(waitFor([&] { return sim->framesPerSecond() == 30; }, seconds(1)));
    SensorConfig got = daq.getConfig();
    EXPECT_EQ(got.getSpeed(), 30);
    EXPECT_EQ(got.getFilter(), 50);
}

TEST(DaqConnection, OpenFailures) {
    KineDAQ daq;
    KPort empty;
    EXPECT_FALSE(daq.open(empty));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_INVALID_ARGUMENT);  // refused before any wait
    EXPECT_FALSE(daq.isOpen());
}

// Fifty configuration requests a second apart go unanswered: this takes
// about 50 s.
TEST(DaqConnection, OpenFailsWhenTheConfigurationExchangeGetsNoAnswer) {
    KineDAQ daq;
    const int threads = kine_test::threadCount();
    {
        auto sim = makeSim(7);
        sim->setSilent(true);
        EXPECT_FALSE(daq.open(portFor(*sim)));
        EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_NO_CONFIG_ANSWER);
        EXPECT_FALSE(daq.isOpen());
        EXPECT_EQ(daq.getSensorSize(), 0);
    }
    EXPECT_TRUE(kine_test::threadCountBecomes(threads)) << kine_test::threadCount();
}

TEST(DaqConnection, OpenFailsWithoutAGoodFrameWithinASecond) {
    KineDAQ daq;
    auto bad = makeSim(3);
    bad->corruptNextChecksums(1 << 30);
    auto t0 = steady_clock::now();
    EXPECT_FALSE(daq.open(portFor(*bad)));
    EXPECT_EQ(daq.lastOpenError(), KINE_OPEN_BAD_CHECKSUMS);
    EXPECT_GE(msSince(t0), 900);    // it waits its second
    EXPECT_LT(msSince(t0), 10000);  // and then gives up
    EXPECT_FALSE(daq.isOpen());
    EXPECT_EQ(daq.getSensorSize(), 0);
    EXPECT_FALSE(daq.isChksumOK());
}

TEST(DaqConnection, OpenOnARunningConnectionChangesNothing) {
    auto sim = makeSim(3);
    KineDAQ_private daq;
    ASSERT_TRUE(daq.open(portFor(*sim), false, 1000000));
    EXPECT_EQ(daq.offsetCount(), 1u);
    EXPECT_FALSE(daq.open(portFor(*sim), false, 1000000));
    EXPECT_EQ(daq.offsetCount(), 1u);
    EXPECT_TRUE(daq.isOpen());
    KinePackage s;
    EXPECT_TRUE(waitFor([&] { return daq.read(s, 0, false) > 0; }, seconds(1)));
}

TEST(DaqConnection, ZeroingASingleSensor) {
    auto sim = makeSim(3);
    SensorValues v = sensorValues(0);
    sim->setConstant(v);
    KineDAQ daq;
    EXPECT_FALSE(daq.zero(0));  // not open
    ASSERT_TRUE(daq.open(portFor(*sim)));
    EXPECT_FALSE(daq.zero(1));
    EXPECT_FALSE(daq.zero(-1));
    EXPECT_EQ(daq.getOffset(7).version, kine_version_none);

    ASSERT_TRUE(waitFor([&] { return daq.zero(0); }, seconds(5)));  // once a frame has come in
    KinePackage off = daq.getOffset(0);
    EXPECT_EQ(off.x, v.x);  // the uncorrected reading
    EXPECT_EQ(off.raw[2], v.raw[2]);
    KinePackage s;
    ASSERT_GT(readFresh(daq, s), 0);
    EXPECT_EQ(s.x, 0);
    EXPECT_EQ(s.z, 0);
    EXPECT_EQ(s.raw[5], 0);
    EXPECT_EQ(s.inconsistent[5], v.raw[5]);  // uncorrected channels stay available

    ASSERT_TRUE(waitFor([&] { return daq.zero(0); }, seconds(5)));  // not cumulative
    EXPECT_EQ(daq.getOffset(0).x, v.x);

    ASSERT_TRUE(daq.unzero(0));
    ASSERT_GT(readFresh(daq, s), 0);
    EXPECT_EQ(s.x, v.x);
    // zeroAll measures what came in during its own short wait, which on a
    // busy machine may be nothing: repeat until it has taken the reading.
    ASSERT_TRUE(waitFor(
        [&] {
            daq.zeroAll();
            return daq.getOffset(0).y == v.y;
        },
        seconds(5)));
    ASSERT_GT(readFresh(daq, s), 0);
    EXPECT_EQ(s.y, 0);
    daq.unzeroAll();
    ASSERT_GT(readFresh(daq, s), 0);
    EXPECT_EQ(s.y, v.y);
}

TEST(DaqConnection, ZeroingASixAxisUnitUsesThe6DOffset) {
    auto sim = makeSim(8);
    Values6D v = values6D();
    sim->setConstant(v);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    // Frames sent before the constant signal was set may still be buffered:
    // zero only once the constant arrives.
    KinePackage6D s;
    ASSERT_TRUE(waitFor([&] { return daq.read6D(s, false) > 0 && s.Fx == v.Fx && s.Tz == v.Tz; }, seconds(5)));
    // zeroAll measures what came in during its own short wait, which on a
    // busy machine may be nothing: repeat until the offset has been taken.
    ASSERT_TRUE(waitFor(
        [&] {
            daq.zeroAll();
            return readFresh6D(daq, s) > 0 && s.Fx == 0;
        },
        seconds(10)));
    EXPECT_EQ(s.Fx, 0);
    EXPECT_EQ(s.Tz, 0);
    EXPECT_EQ(s.sensors[2].raw[1], 0);
    EXPECT_EQ(s.sensors[2].x, 0);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(daq.getOffset(k).x, 0);  // per-sensor offsets untouched

    daq.unzeroAll();
    ASSERT_GT(readFresh6D(daq, s), 0);
    EXPECT_EQ(s.Fx, v.Fx);
    EXPECT_EQ(s.sensors[2].raw[1], v.sensors[2].raw[1]);
}

TEST(DaqConnection, SilenceAndHangUpBreakTheConnection) {
    auto sim = makeSim(3);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    KinePackage s;
    ASSERT_GT(readFresh(daq, s), 0);
    auto t0 = steady_clock::now();  // the silence starts after this instant
    sim->setSilent(true);
    ASSERT_TRUE(waitFor([&] { return !daq.isOpen(); }, seconds(5)));
    EXPECT_GE(msSince(t0), 450);
    EXPECT_EQ(daq.read(s, 0, false), KINE_NOT_OPEN);
    daq.close();
    sim->setSilent(false);
    ASSERT_TRUE(daq.open(portFor(*sim)));
    ASSERT_GT(readFresh(daq, s), 0);

    sim->hangUp();
    ASSERT_TRUE(waitFor([&] { return !daq.isOpen(); }, seconds(2)));
    EXPECT_EQ(daq.read(s, 0, false), KINE_NOT_OPEN);
    daq.close();
    auto other = makeSim(3);
    EXPECT_TRUE(daq.open(portFor(*other)));
}

TEST(DaqConnection, RepeatedOpenStreamCloseLeaksNothing) {
    auto sim = makeSim(3);
    const int fds = kine_test::openDescriptorCount();
    const int threads = kine_test::threadCount();
    for (int i = 0; i < 200; ++i) {
        KineDAQ daq;
        ASSERT_TRUE(daq.open(portFor(*sim))) << i;
        KinePackage s;
        ASSERT_GT(readFresh(daq, s), 0) << i;
        if (i % 2) daq.close();  // otherwise the destructor closes it
    }
    EXPECT_EQ(kine_test::openDescriptorCount(), fds);
    // A joined thread can stay listed for a moment after the join.
    EXPECT_TRUE(waitFor([&] { return kine_test::threadCount() == threads; }, seconds(10)))
        << kine_test::threadCount() << " threads, " << threads << " at the start";
}

// ------------------------------------------- faults found by using the path

// An 0xAA-family unit whose payload holds 0x37 0x44 (a 0x37-family header)
// in every frame, sent in random pieces, read with keep = false and zeroed
// now and then (zeroing decodes with keep = true): samples keep arriving
// and the version stays.
TEST(DaqConnection, Version7StreamInPiecesKeepsDelivering) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        auto sim = makeSim(7);
        for (int k = 0; k < 4; ++k) {
            sim->setSignal(kine_sim::rawChannel(1), kine_sim::Signal::constant(0x3744), k);
        }
        sim->setRandomChunking(48, seed);
        KineDAQ daq;
        ASSERT_TRUE(daq.open(portFor(*sim)));
        KinePackage s;
        for (int i = 0; i < 40; ++i) {
            ASSERT_GT(readFresh(daq, s), 0) << i;
            ASSERT_EQ(daq.getVersion(), 7) << i;
            if (i % 4 == 3) {  // zero() succeeds once a frame has come in since the last read
                EXPECT_TRUE(waitFor([&] { return daq.zero(0); }, seconds(5)));
            }
        }
    }
}

// A connection left in the middle of a six-axis frame opens a three-axis unit.
TEST(DaqConnection, ReadingASixAxisUnitLeavesTheConnectionUsable) {
    auto six = makeSim(5);
    KineDAQ_private daq;
    ASSERT_TRUE(daq.open(portFor(*six), false, 1000000));
    KinePackage6D s6;
    ASSERT_TRUE(waitFor([&] { return daq.read6D(s6, false) > 0; }, seconds(2)));
    daq.close();
    // Closed within a version 5 frame.
    const auto frameE = kine_sim::encodeFrameE(0xB0, kine_sim::Values6D());
    FrameDecoder::Offsets none;
    std::deque<KinePackage6D> ignored;
    daq.frameDecoder().decode6D({frameE.begin(), frameE.begin() + 30}, none, KineSensor6D(), ignored);
    ASSERT_NE(daq.frameDecoder().state(), 0u);
    auto three = makeSim(3);
    ASSERT_TRUE(daq.open(portFor(*three), false, 1000000));
    EXPECT_EQ(daq.getVersion(), 3);
}

// Commands given while closed are not sent to the next unit.
TEST(DaqConnection, ClosedConnectionQueuesNoCommands) {
    auto seven = makeSim(7);
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*seven)));
    daq.close();
    SensorConfig slow;
    slow.setSpeed(30);
    EXPECT_FALSE(daq.sendConfig(slow));
    EXPECT_FALSE(daq.zero(0));
    daq.getConfig();

    auto three = makeSim(3);
    const uint8_t before = three->configByte();
    ASSERT_TRUE(daq.open(portFor(*three)));
    EXPECT_EQ(daq.getVersion(), 3);
    KinePackage s;
    ASSERT_GT(readFresh(daq, s), 0);
    EXPECT_TRUE(three->received().empty());
    EXPECT_EQ(three->configByte(), before);
    EXPECT_EQ(three->framesPerSecond(), 1000);
}

// A control loop's 1 kHz timer must not shorten open's wait for the first
// frame: this unit starts sending 300 ms after the port opens (interrupted
// sleeps used to end the wait after about 40 ms). Later than 550 ms the
// reader would end the connection for silence.
TEST(DaqConnection, OpenWaitsForALateUnitUnderAOneKilohertzTimer) {
    auto sim = makeSim(3);
    sim->setSilent(true);
    KineDAQ daq;
    bool opened = false;
    {
        kine_test::IntervalTimer timer(milliseconds(1));
        std::thread unit([&] {
            std::this_thread::sleep_for(milliseconds(300));
            sim->setSilent(false);
        });
        opened = daq.open(portFor(*sim));
        unit.join();
    }
    EXPECT_TRUE(opened);
}

// zero() reports success only when it measured an offset: a version 8 unit
// gives no sample to the three-axis read that zero() uses.
TEST(DaqConnection, ZeroWithoutASampleFails) {
    auto sim = makeSim(8);
    sim->setConstant(values6D());
    KineDAQ daq;
    ASSERT_TRUE(daq.open(portFor(*sim)));
    KinePackage6D s;
    ASSERT_GT(readFresh6D(daq, s), 0);
    ASSERT_EQ(daq.getSensorSize(), 4);
    EXPECT_FALSE(daq.zero(0));
    EXPECT_EQ(daq.getOffset(0).x, 0);
}

// The open-time exchange of the 0xAA family leaves the unit at 100 Hz; the
// configuration the connection keeps (and stamps on every sample) says so.
TEST(DaqConnection, OpenStoresTheSpeedTheUnitRunsAt) {
    for (int version : {6, 7, 8}) {
        SCOPED_TRACE(version);
        SimulatedDaq::Options o;
        o.version = version;
        o.speedHz = 1000;
        o.filterHz = 50;
        SimulatedDaq sim(o);
        KineDAQ daq;
        ASSERT_TRUE(daq.open(portFor(sim)));
        EXPECT_EQ(sim.framesPerSecond(), 100);
        SensorConfig stamped;
        if (version == 8) {
            KinePackage6D s;
            ASSERT_GT(readFresh6D(daq, s), 0);
            stamped = s.sensors[0].config;
        } else {
            KinePackage s;
            ASSERT_GT(readFresh(daq, s), 0);
            stamped = s.config;
        }
        EXPECT_EQ(stamped.getSpeed(), 100);
        EXPECT_EQ(stamped.getFilter(), 50);
    }
}

// Filter codes the configuration word cannot hold (500, 5, 1 Hz) leave its
// filter field as it was, at open and in later replies alike.
TEST(DaqConnection, UnrepresentableFilterIsNotReportedAsAnother) {
    for (int hz : {500, 5, 1}) {
        SCOPED_TRACE(hz);
        SimulatedDaq::Options o;
        o.version = 6;
        o.filterHz = hz;
        SimulatedDaq sim(o);
        KineDAQ daq;
        ASSERT_TRUE(daq.open(portFor(sim)));
        EXPECT_EQ(daq.getConfig().getFilter(), 0);
        EXPECT_EQ(daq.getConfig().getFilter(), 0);
    }
}

}  // namespace
