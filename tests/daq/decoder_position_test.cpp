// SPDX-License-Identifier: MIT
// Where the decoders stand in the stream across passes: passes that keep
// their bytes, states left behind by the other decoder, and 0x37 headers
// met inside the payload of an 0xAA-family stream.
#include <gtest/gtest.h>

#include <functional>

#include "kine_sim/frames.h"
#include "support/daq_access.h"

namespace {

using kine_sim::SensorValues;
using kine_sim::Values6D;
using kine_test::concat;
using kine_test::feed;
using kine_test::SameSample;

SensorValues values(int k) {
    SensorValues s;
    s.x = -300 + k;
    s.y = 0x3744 + k;  // a 0x37 0x44 header inside every frame
    s.z = 0x375F;
    s.aux = 0x37 + k;
    for (int i = 0; i < 8; ++i) s.raw[i] = 0x3744 + 0x100 * i + k;
    return s;
}

Values6D values6D() {
    Values6D v;
    v.Fx = 0x375F;
    v.Fy = -7;
    v.Fz = 0x3744;
    v.Tx = 11;
    v.Ty = 0x375E;
    v.Tz = -13;
    for (int k = 0; k < 4; ++k) v.sensors[k] = values(k);
    return v;
}

// One stream kind: the connection's version before decoding, one frame,
// and a pass of the matching decoder giving the newest sample of sensor 0
// as a 6-axis record (3-axis samples go into sensors[0]).
struct Stream {
    const char* name;
    kine_version version;  // none: the decoder recognises it from the frame
    std::vector<uint8_t> frame;
    bool sixAxis;
};

std::vector<Stream> streams() {
    SensorValues four[4];
    for (int k = 0; k < 4; ++k) four[k] = values(k);
    return {
        {"v3", kine_version_none, kine_sim::encodeFrameA(0xB0, values(0)), false},
        {"v4", kine_version_none, kine_sim::encodeFrameB(0xB1, four), false},
        {"v5", kine_version_none, kine_sim::encodeFrameE(0xB0, values6D()), true},
        {"v6", kine_version_6, kine_sim::encodeV6Data(0, 0, values(0)), false},
        {"v7", kine_version_7, kine_sim::encodeV7Data(0, 0, four), false},
        {"v8", kine_version_8, kine_sim::encodeV8Data(0, 0, values6D()), true},
    };
}

int pass(kine_test::Decoding& d, const Stream& s, bool keep, KinePackage6D& newest) {
    if (s.sixAxis) {
        std::deque<KinePackage6D> out;
        const int r = d.smProcess6D(out, keep);
        if (!out.empty()) newest = out.back();
        return r;
    }
    std::deque<KinePackage> out[16];
    const int r = d.smProcess(out, keep);
    if (!out[0].empty()) newest.sensors[0] = out[0].back();
    return r;
}

void prepare(kine_test::Decoding& d, const Stream& s) {
    d.decoder.unit.version = s.version;
    d.offsets.push_back(KineSensor());  // as open leaves it
}

class DecoderPosition : public ::testing::TestWithParam<Stream> {};

// A pass that keeps its bytes ends mid-frame; the next pass decodes the
// same bytes again and must find the frame as a whole.
TEST_P(DecoderPosition, KeptPassLeavesThePositionAsItFoundIt) {
    const Stream& s = GetParam();
    kine_test::Decoding whole;
    prepare(whole, s);
    feed(whole, s.frame);
    KinePackage6D expected;
    ASSERT_EQ(pass(whole, s, false, expected), 1);

    for (size_t cut = 1; cut < s.frame.size(); ++cut) {
        SCOPED_TRACE(cut);
        kine_test::Decoding d;
        prepare(d, s);
        feed(d, std::vector<uint8_t>(s.frame.begin(), s.frame.begin() + static_cast<long>(cut)));
        KinePackage6D got;
        EXPECT_EQ(pass(d, s, true, got), 0);
        EXPECT_EQ(d.decoder.state(), 0u);
        feed(d, std::vector<uint8_t>(s.frame.begin() + static_cast<long>(cut), s.frame.end()));
        ASSERT_EQ(pass(d, s, true, got), 1);  // kept: decoded again below
        EXPECT_TRUE(d.decoder.unit.dataArrived);
        ASSERT_EQ(pass(d, s, false, got), 1);
        EXPECT_TRUE(SameSample(got, expected));
    }
}

// A state the other decoder left behind (a connection read through one
// decoder, then through the other) is taken as the start of the stream.
TEST_P(DecoderPosition, AStateOfTheOtherDecoderIsTakenAsTheStart) {
    const Stream& s = GetParam();
    const Stream other = streams()[s.sixAxis ? 0 : 2];  // v3 or v5
    kine_test::Decoding d;
    prepare(d, other);
    const size_t half = other.frame.size() / 2;
    feed(d, std::vector<uint8_t>(other.frame.begin(), other.frame.begin() + static_cast<long>(half)));
    KinePackage6D ignored;
    pass(d, other, false, ignored);
    ASSERT_NE(d.decoder.state(), 0u);
    d.decoder.unit.version = s.version;

    feed(d, s.frame);
    KinePackage6D got;
    EXPECT_EQ(pass(d, s, false, got), 1);
}

void PrintTo(const Stream& s, std::ostream* os) { *os << s.name; }

INSTANTIATE_TEST_SUITE_P(EveryVersion, DecoderPosition, ::testing::ValuesIn(streams()),
                         [](const auto& info) { return std::string(info.param.name); });

// 0x37 headers of every 0x37-family frame, inside and between 0xAA frames,
// never turn an 0xAA-family connection into a 0x37-family one.
TEST(DecoderResync, AaFamilyConnectionKeepsItsVersion) {
    SensorValues four[4];
    for (int k = 0; k < 4; ++k) four[k] = values(k);
    const std::vector<uint8_t> headers =
        concat({kine_sim::encodeFrameA(0xB0, values(1)), kine_sim::encodeFrameB(0xB0, four),
                kine_sim::encodeFrameE(0xB0, values6D())});
    for (const Stream& s : streams()) {
        if (s.version == kine_version_none) continue;
        SCOPED_TRACE(s.name);
        kine_test::Decoding d;
        prepare(d, s);
        // Lost sync: the decoder meets the stream in the middle of a frame.
        feed(d, concat({std::vector<uint8_t>(s.frame.begin() + 5, s.frame.end()), headers, s.frame, headers, s.frame}));
        KinePackage6D got;
        EXPECT_EQ(pass(d, s, false, got), 2);
        EXPECT_EQ(d.getVersion(), s.version);
    }
}

}  // namespace
