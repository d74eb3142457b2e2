// SPDX-License-Identifier: MIT
// Properties both frame decoders hold for every protocol version (3 to 8):
// a stream decodes the same however it is split into reads, a bad checksum
// drops exactly its frame, and garbage between frames is skipped.
#include <gtest/gtest.h>

#include <functional>

#include "daq/decoder_values.h"
#include "kine_sim/frames.h"
#include "support/daq_access.h"

namespace {

using decoder_values::fourValues;
using decoder_values::unit;
using decoder_values::values;
using kine_sim::SensorValues;
using kine_test::concat;
using kine_test::corrupted;
using kine_test::feed;
using kine_test::SameSample;

// Garbage for each decoder: 0x37 and 0xAA start bytes followed by no frame.
const std::vector<uint8_t> kGarbage3D = {0x00, 0xFF, 0x13, 0x37, 0x01, 0xAA, 0x99, 0x42, 0x37, 0x00};
const std::vector<uint8_t> kGarbage6D = {0x00, 0x5F, 0x37, 0x02, 0xAA, 0x20, 0xFE, 0x37, 0x44};

struct Stream {
    const char* name;
    kine_version version;                            // set before decoding (the 0xAA family is set by open)
    int sensors;                                     // samples per frame of a 3-axis stream
    bool sixAxis;                                    // read through the 6D decoder
    std::function<std::vector<uint8_t>(int)> frame;  // frame number i; frame 1 of v6 and v8 is a configuration reply
    size_t maxChunk;                                 // of the random splits
    unsigned seed;
};

void PrintTo(const Stream& s, std::ostream* os) { *os << s.name; }

std::vector<Stream> streams() {
    auto frameB = [](uint8_t mode) {
        return [mode](int i) {
            SensorValues s[4];
            fourValues(s, i);
            return kine_sim::encodeFrameB(mode, s);
        };
    };
    return {
        {"v3", kine_version_none, 1, false, [](int i) { return kine_sim::encodeFrameA(0x01, values(i)); }, 40, 1234},
        {"v4raw", kine_version_none, 4, false, frameB(0xB0), 40, 1234},
        {"v4compensated", kine_version_none, 4, false, frameB(0xB1), 40, 1234},
        {"v5", kine_version_none, 0, true,
         [](int i) { return kine_sim::encodeFrameE(static_cast<uint8_t>(0xB0 + i), unit(i)); }, 60, 99},
        {"v6", kine_version_6, 1, false,
         [](int i) { return i == 1 ? kine_sim::encodeConfigReply(3, 2, 1) : kine_sim::encodeV6Data(0, 0, values(i)); },
         40, 1234},
        {"v7", kine_version_7, 4, false,
         [](int i) {
             SensorValues s[4];
             fourValues(s, i);
             return kine_sim::encodeV7Data(static_cast<uint8_t>(i), 0, s);
         },
         40, 1234},
        {"v8", kine_version_8, 0, true,
         [](int i) {
             return i == 1 ? kine_sim::encodeConfigReply(1, 2, 1)
                           : kine_sim::encodeV8Data(static_cast<uint8_t>(i), 0, unit(i));
         },
         60, 99},
    };
}

struct Decoded {
    std::vector<KinePackage> samples[4];  // 3-axis streams, per sensor
    std::vector<KinePackage6D> samples6D;
    uint8_t config = 0;
};

void prepare(kine_test::Decoding& d, const Stream& st) {
    d.decoder.unit.version = st.version;
    if (!st.sixAxis) d.offsets.push_back(KineSensor());  // as open leaves it
}

// One pass of the stream's decoder; its samples are appended to `into`.
int decodePass(kine_test::Decoding& d, const Stream& st, Decoded& into) {
    if (st.sixAxis) {
        std::deque<KinePackage6D> out;
        const int r = d.smProcess6D(out, false);
        into.samples6D.insert(into.samples6D.end(), out.begin(), out.end());
        return r;
    }
    std::deque<KinePackage> out[16];
    const int r = d.smProcess(out, false);
    for (int k = 0; k < 4; ++k) into.samples[k].insert(into.samples[k].end(), out[k].begin(), out[k].end());
    return r;
}

Decoded decodeInChunks(const Stream& st, const std::vector<uint8_t>& bytes, const std::vector<size_t>& chunks) {
    kine_test::Decoding d;
    prepare(d, st);
    Decoded r;
    size_t at = 0;
    for (size_t n : chunks) {
        feed(d, std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n)));
        at += n;
        EXPECT_GE(decodePass(d, st, r), 0);
    }
    r.config = d.decoder.configuration.to_uin8_t();
    return r;
}

template <class Sample>
::testing::AssertionResult SameList(const std::vector<Sample>& a, const std::vector<Sample>& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " vs " << b.size() << " samples";
    for (size_t i = 0; i < a.size(); ++i) {
        auto same = SameSample(a[i], b[i]);
        if (!same) return same << " (sample " << i << ")";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameSamples(const Decoded& a, const Decoded& b) {
    for (int k = 0; k < 4; ++k) {
        auto same = SameList(a.samples[k], b.samples[k]);
        if (!same) return same << " (sensor " << k << ")";
    }
    return SameList(a.samples6D, b.samples6D);
}

::testing::AssertionResult SameDecoded(const Decoded& a, const Decoded& b) {
    if (a.config != b.config) return ::testing::AssertionFailure() << "configuration differs";
    return SameSamples(a, b);
}

class DecoderEveryVersion : public ::testing::TestWithParam<Stream> {};

TEST_P(DecoderEveryVersion, SplitStreamsDecodeLikeTheWholeStream) {
    const Stream& st = GetParam();
    const auto bytes = concat({st.frame(0), st.frame(1), st.frame(2)});
    const Decoded whole = decodeInChunks(st, bytes, {bytes.size()});
    const bool reply = st.version == kine_version_6 || st.version == kine_version_8;  // frame 1 is no sample
    const size_t expected = reply ? 2 : 3;
    for (int k = 0; k < 4; ++k) ASSERT_EQ(whole.samples[k].size(), k < st.sensors ? expected : 0u);
    ASSERT_EQ(whole.samples6D.size(), st.sixAxis ? expected : 0u);

    for (const auto& chunks : kine_test::chunkings(bytes.size(), st.maxChunk, st.seed))
        ASSERT_TRUE(SameDecoded(decodeInChunks(st, bytes, chunks), whole)) << kine_test::describe(chunks);
}

TEST_P(DecoderEveryVersion, BadChecksumDropsExactlyOneFrame) {
    const Stream& st = GetParam();
    kine_test::Decoding d;
    prepare(d, st);
    const auto good = st.frame(0);
    const Decoded reference = decodeInChunks(st, good, {good.size()});
    // Each checksum byte, then a data byte in two places.
    for (size_t at : {good.size() - 1, good.size() - 2, size_t{5}, size_t{7}}) {
        SCOPED_TRACE(at);
        Decoded first, bad, next;
        feed(d, good);
        EXPECT_EQ(decodePass(d, st, first), 1);
        EXPECT_TRUE(d.isChksumOK());
        feed(d, corrupted(good, at));
        EXPECT_EQ(decodePass(d, st, bad), 0);
        EXPECT_FALSE(d.isChksumOK());
        feed(d, good);
        ASSERT_EQ(decodePass(d, st, next), 1);
        EXPECT_TRUE(d.isChksumOK());
        EXPECT_TRUE(SameSamples(next, reference));
    }
}

TEST_P(DecoderEveryVersion, GarbageBetweenFramesIsSkipped) {
    const Stream& st = GetParam();
    const std::vector<uint8_t>& garbage = st.sixAxis ? kGarbage6D : kGarbage3D;
    const auto clean = concat({st.frame(0), st.frame(2)});
    const auto dirty = concat({garbage, st.frame(0), garbage, st.frame(2), garbage});
    EXPECT_TRUE(SameDecoded(decodeInChunks(st, dirty, {dirty.size()}), decodeInChunks(st, clean, {clean.size()})));
}

INSTANTIATE_TEST_SUITE_P(Versions, DecoderEveryVersion, ::testing::ValuesIn(streams()),
                         [](const ::testing::TestParamInfo<Stream>& i) { return std::string(i.param.name); });

}  // namespace
