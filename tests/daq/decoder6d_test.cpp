// The 6D frame decoder against streams made by the simulator's encoders:
// Frame E (v5) and 0xAA data frames of version 8, with the unit's 6D offset.
#include <gtest/gtest.h>

#include <functional>

#include "kine_sim/frames.h"
#include "support/daq_access.h"

namespace {

using kine_sim::Values6D;
using kine_test::Access;
using kine_test::concat;
using kine_test::corrupted;
using kine_test::feed;
using kine_test::SameSample;

using Out = std::deque<KinePackage6D>;

Values6D unit(int seed) {
    Values6D v;
    v.Fx = -1 - seed;
    v.Fy = 2000 + seed;
    v.Fz = 40000 + seed;  // above 32767: its signedness shows
    v.Tx = -300;
    v.Ty = 5 * seed;
    v.Tz = -32768;
    for (int k = 0; k < 4; ++k) {
        v.sensors[k].aux = 11 * (k + 1) + seed;
        for (int i = 0; i < 8; ++i) v.sensors[k].raw[i] = 1000 * (k + 1) + 100 * i + seed;
    }
    return v;
}

// x, y, z are the force vector of the four raw channels r.
void expectVector(const int32_t* r, int32_t x, int32_t y, int32_t z) {
    EXPECT_EQ(x, r[0] - r[2]);
    EXPECT_EQ(y, r[3] - r[1]);
    EXPECT_EQ(z, (r[0] + r[1] + r[2] + r[3]) / 4);
}

// ---------------------------------------------------------------- Frame E

TEST(Decoder6DFrameE, WorkedExample) {
    std::vector<uint8_t> bytes = {0x37, 0x5F, 0x00, 0xFF, 0xFF};
    bytes.insert(bytes.end(), 18, 0x00);
    for (int k = 0; k < 4; ++k) bytes.insert(bytes.end(), {0x00, 0x64, 0x00, 0xC8, 0x01, 0x2C, 0x01, 0x90});
    bytes.insert(bytes.end(), {0x09, 0xA6});
    Values6D v;
    v.Fx = -1;
    for (auto& s : v.sensors)
        for (int i = 0; i < 4; ++i) s.raw[i] = 100 * (i + 1);
    ASSERT_EQ(kine_sim::encodeFrameE(0x00, v), bytes);

    KineDAQ_private d;
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
    EXPECT_TRUE(Access::virtualSensors(d));
    EXPECT_TRUE(d.isChksumOK());
    EXPECT_EQ(d.getSize(), 57);
    EXPECT_EQ(d.offsetCount(), 0u);  // a version 5 unit is zeroed through the 6D offset
}

TEST(Decoder6DFrameE, UnitOffsetIsRemoved) {
    KineDAQ_private d;
    KineSensor6D& o = Access::offset6D(d);
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
    KineDAQ_private d;
    Access::virtualSensors(d) = true;
    kine_sim::SensorValues s4[4];
    feed(d, concat({kine_sim::encodeFrameA(0x01, s4[0]), kine_sim::encodeFrameB(0xB0, s4)}));
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 0);
    EXPECT_FALSE(Access::virtualSensors(d));
    EXPECT_EQ(d.getVersion(), 0);
}

// ------------------------------------------------------------- version 8

TEST(Decoder6DVersion8, FullPayloadCarriesAxesSensorsAndBothVectors) {
    KineDAQ_private d;  // never opened: no offsets yet
    Access::version(d) = kine_version_8;
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
    EXPECT_TRUE(Access::virtualSensors(d));
    EXPECT_EQ(d.offsetCount(), 4u);
}

TEST(Decoder6DVersion8, OffsetsGrowToFourOnce) {
    KineDAQ_private d;
    Access::version(d) = kine_version_8;
    Access::offsets(d).push_back(KineSensor());  // as after open
    feed(d, concat({kine_sim::encodeV8Data(0, 0, unit(0)), kine_sim::encodeV8Data(0, 0, unit(1))}));
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 2);
    EXPECT_EQ(d.offsetCount(), 4u);
}

TEST(Decoder6DVersion8, CompensatedConfigurationMakesFzSigned) {
    KineDAQ_private d;
    Access::version(d) = kine_version_8;
    Values6D v = unit(0);
    v.Fz = -7;
    feed(d, concat({kine_sim::encodeConfigReply(33, 4, 1), kine_sim::encodeV8Data(0x02, 0x80, v)}));
    Out out;
    ASSERT_EQ(d.smProcess6D(out, false), 1);
    EXPECT_EQ(out[0].Fz, -7);
    const SensorConfig c = Access::configuration(d);
    EXPECT_EQ(c.getState(), 3);  // from S and T
    EXPECT_EQ(c.getSpeed(), 30);
    EXPECT_EQ(c.getFilter(), 15);
    EXPECT_EQ(c.getMode(), 1);
    EXPECT_EQ(out[0].sensors[2].config.to_uin8_t(), c.to_uin8_t());
}

TEST(Decoder6DVersion8, LengthSixteenCarriesOnlyTheAxes) {
    KineDAQ_private d;
    Access::version(d) = kine_version_8;
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
    KineDAQ_private d;
    Access::version(d) = kine_version_8;
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
    KineDAQ_private d;
    Access::version(d) = kine_version_6;
    feed(d, kine_sim::encodeV8Data(0, 0, unit(0)));
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 0);
    EXPECT_TRUE(d.isChksumOK());
}

TEST(Decoder6DStatus, NothingReadYetAndOverflow) {
    KineDAQ_private d;
    Out out;
    EXPECT_EQ(d.smProcess6D(out, false), 0);  // the reader has read nothing yet

    const auto frame = kine_sim::encodeFrameE(0xB0, unit(0));
    std::vector<uint8_t> block;
    while (block.size() + frame.size() <= ReaderThread::kMaxBuffer) block.insert(block.end(), frame.begin(), frame.end());
    feed(d, block);
    feed(d, frame);
    EXPECT_EQ(d.smProcess6D(out, false), -1);
    EXPECT_TRUE(out.empty());
    feed(d, frame);
    EXPECT_EQ(d.smProcess6D(out, false), 1);
}

// ----------------------------------- both versions: splits, checksums, garbage

struct Stream6D {
    const char* name;
    kine_version version;
    std::function<std::vector<uint8_t>(int)> frame;
};

void PrintTo(const Stream6D& s, std::ostream* os) { *os << s.name; }

std::vector<Stream6D> streams6D() {
    return {
        {"v5", kine_version_none, [](int i) { return kine_sim::encodeFrameE(static_cast<uint8_t>(0xB0 + i), unit(i)); }},
        {"v8", kine_version_8,
         [](int i) {
             return i == 1 ? kine_sim::encodeConfigReply(1, 2, 1)
                           : kine_sim::encodeV8Data(static_cast<uint8_t>(i), 0, unit(i));
         }},
    };
}

struct Decoded {
    std::vector<KinePackage6D> samples;
    uint8_t config = 0;
};

Decoded decodeInChunks(const Stream6D& st, const std::vector<uint8_t>& bytes, const std::vector<size_t>& chunks) {
    KineDAQ_private d;
    Access::version(d) = st.version;
    Decoded r;
    size_t at = 0;
    for (size_t n : chunks) {
        feed(d, std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n)));
        at += n;
        Out out;
        EXPECT_GE(d.smProcess6D(out, false), 0);
        r.samples.insert(r.samples.end(), out.begin(), out.end());
    }
    r.config = Access::configuration(d).to_uin8_t();
    return r;
}

::testing::AssertionResult SameDecoded(const Decoded& a, const Decoded& b) {
    if (a.config != b.config) return ::testing::AssertionFailure() << "configuration differs";
    if (a.samples.size() != b.samples.size())
        return ::testing::AssertionFailure() << a.samples.size() << " vs " << b.samples.size() << " samples";
    for (size_t i = 0; i < a.samples.size(); ++i) {
        auto same = SameSample(a.samples[i], b.samples[i]);
        if (!same) return same << " (sample " << i << ")";
    }
    return ::testing::AssertionSuccess();
}

class Decoder6DEveryVersion : public ::testing::TestWithParam<Stream6D> {};

TEST_P(Decoder6DEveryVersion, SplitStreamsDecodeLikeTheWholeStream) {
    const Stream6D& st = GetParam();
    const auto bytes = concat({st.frame(0), st.frame(1), st.frame(2)});
    const Decoded whole = decodeInChunks(st, bytes, {bytes.size()});
    ASSERT_EQ(whole.samples.size(), st.version == kine_version_8 ? 2u : 3u);

    for (const auto& chunks : kine_test::chunkings(bytes.size(), 60, 99))
        ASSERT_TRUE(SameDecoded(decodeInChunks(st, bytes, chunks), whole)) << kine_test::describe(chunks);
}

TEST_P(Decoder6DEveryVersion, BadChecksumDropsExactlyOneFrame) {
    const Stream6D& st = GetParam();
    KineDAQ_private d;
    Access::version(d) = st.version;
    const auto good = st.frame(0);
    const Decoded reference = decodeInChunks(st, good, {good.size()});
    for (size_t at : {good.size() - 2, size_t{7}}) {
        const auto bad = corrupted(good, at);
        Out first, none, next;
        feed(d, good);
        EXPECT_EQ(d.smProcess6D(first, false), 1);
        EXPECT_TRUE(d.isChksumOK());
        feed(d, bad);
        EXPECT_EQ(d.smProcess6D(none, false), 0);
        EXPECT_FALSE(d.isChksumOK());
        feed(d, good);
        ASSERT_EQ(d.smProcess6D(next, false), 1);
        EXPECT_TRUE(d.isChksumOK());
        EXPECT_TRUE(SameSample(next[0], reference.samples[0]));
    }
}

TEST_P(Decoder6DEveryVersion, GarbageBetweenFramesIsSkipped) {
    const Stream6D& st = GetParam();
    const std::vector<uint8_t> garbage = {0x00, 0x5F, 0x37, 0x02, 0xAA, 0x20, 0xFE, 0x37, 0x44};
    const auto clean = concat({st.frame(0), st.frame(2)});
    const auto dirty = concat({garbage, st.frame(0), garbage, st.frame(2), garbage});
    EXPECT_TRUE(SameDecoded(decodeInChunks(st, dirty, {dirty.size()}), decodeInChunks(st, clean, {clean.size()})));
}

INSTANTIATE_TEST_SUITE_P(Versions, Decoder6DEveryVersion, ::testing::ValuesIn(streams6D()),
                         [](const ::testing::TestParamInfo<Stream6D>& i) { return std::string(i.param.name); });

}  // namespace
