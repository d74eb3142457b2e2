// SPDX-License-Identifier: MIT
// Shared by the two decoder fuzz targets: the layout of an input, how it is
// cut into reader appends and decoding passes, the connection set-up, and the
// whole-versus-pieces comparison.
//
// Input: byte 0 picks the version the connection knows before the first
// frame (open sets it for the 0xAA family), byte 1 the zero offsets, bytes
// 2-5 seed the cutting; the rest is the byte stream from the DAQ.
//
// The bytes reach the frame decoder the way a connection hands them over:
// they collect until a pass that does not keep them takes them
// (kine_test::Decoding); a keep = true pass decodes a copy of the decoder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "support/daq_access.h"

namespace kine_fuzz {

using kine_test::Decoding;

constexpr size_t kHeaderSize = 6;

struct Input {
    uint8_t versionPick = 0;
    uint8_t offsetPick = 0;
    uint32_t seed = 0;
    const uint8_t* stream = nullptr;
    size_t size = 0;
};

inline bool parse(const uint8_t* data, size_t size, Input& in) {
    if (size < kHeaderSize) return false;
    in.versionPick = data[0];
    in.offsetPick = data[1];
    in.seed = uint32_t{data[2]} << 24 | uint32_t{data[3]} << 16 | uint32_t{data[4]} << 8 | data[5];
    in.stream = data + kHeaderSize;
    in.size = size - kHeaderSize;
    return true;
}

// One read of the reader thread, then the passes a caller runs before the next one.
struct Step {
    size_t bytes;  // appended to the receive buffer
    bool keep;     // a keep = true pass first
    bool take;     // then a keep = false pass
};

// Chunks of 0 to a seed-chosen maximum; the last step takes what is left.
inline std::vector<Step> cut(uint32_t seed, size_t n, bool withKeepPasses) {
    uint32_t x = seed | 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    const size_t maxChunk = 1 + next() % 80;
    std::vector<Step> steps;
    for (size_t left = n; left > 0;) {
        const uint32_t r = next();
        const size_t c = std::min<size_t>(left, r % (maxChunk + 1));
        steps.push_back({c, withKeepPasses && (r >> 8) % 3 == 0, (r >> 12) % 3 != 0});
        left -= c;
    }
    steps.push_back({0, false, true});
    return steps;
}

inline std::vector<Step> whole(size_t n) { return {{n, false, true}}; }

// What open leaves behind: the version of an 0xAA-family DAQ and one zero
// offset; or a connection never opened, or one zeroed with extreme offsets
// (the sample arithmetic wraps).
inline void setUp(Decoding& d, const Input& in) {
    static const kine_version versions[] = {kine_version_none, kine_version_3, kine_version_4, kine_version_5,
                                            kine_version_6,    kine_version_7, kine_version_8, kine_version_none};
    d.decoder.unit.version = versions[in.versionPick & 7];
    static const int counts[] = {1, 0, 4, 1};
    const int count = counts[in.offsetPick & 3];
    KineSensor o;
    if (in.offsetPick & 4) {
        static const int32_t extremes[] = {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), -1,
                                           0x7FFF};
        int pick = in.offsetPick >> 3;
        for (auto& v : o.raw) v = extremes[pick++ & 3];
        o.x = extremes[pick++ & 3];
        o.y = extremes[pick++ & 3];
        o.z = extremes[pick++ & 3];
        o.aux = extremes[pick & 3];
        KineSensor6D& o6 = d.offset6D;
        o6.Fx = o6.Ty = o.x;
        o6.Fy = o6.Tz = o.y;
        o6.Fz = o6.Tx = o.z;
        for (auto& s : o6.sensors) s = o;
    }
    for (int k = 0; k < count; ++k) d.offsets.push_back(o);
}

// The connection's view of the DAQ after decoding.
struct View {
    int version, config, sensorCount;
    size_t offsets;
    bool checksumOk, frameSeen, dataArrived, virtualSensors;
    bool operator==(const View& b) const {
        return version == b.version && config == b.config && sensorCount == b.sensorCount && offsets == b.offsets &&
               checksumOk == b.checksumOk && frameSeen == b.frameSeen && dataArrived == b.dataArrived &&
               virtualSensors == b.virtualSensors;
    }
};

inline View view(const Decoding& d) {
    const StreamUnit& u = d.decoder.unit;
    return {u.version,     d.decoder.configuration.to_uin8_t(),
            u.sensorCount, d.offsets.size(),
            u.checksumOk,  u.frameSeen,
            u.dataArrived, u.virtualSensors};
}

[[noreturn]] inline void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s\n%s\n", what, detail.c_str());
    std::abort();
}

template <typename Sample>
void expectSame(const std::vector<Sample>& a, const std::vector<Sample>& b, const char* what) {
    if (a.size() != b.size())
        fail(what, "sample counts differ: " + std::to_string(a.size()) + " vs " + std::to_string(b.size()));
    for (size_t i = 0; i < a.size(); ++i) {
        const auto same = kine_test::SameSample(a[i], b[i]);
        if (!same) fail(what, "sample " + std::to_string(i) + ": " + same.message());
    }
}

// What one way of cutting the stream gave.
template <typename Samples>
struct Decoded {
    Samples samples;
    View view{};
    bool endedEarly = false;
};

// Runs the steps on a fresh decoder. Decoder::pass(d, keep, samples) runs
// one decoding pass, adds its samples when keep is false and returns its result.
template <typename Decoder>
void decode(const Input& in, const std::vector<Step>& steps, Decoded<typename Decoder::Samples>& r) {
    Decoding d;
    setUp(d, in);
    size_t at = 0;
    for (const Step& s : steps) {
        d.received.insert(d.received.end(), in.stream + at, in.stream + at + s.bytes);
        at += s.bytes;
        // -1 from a stream this short is a pass that stopped inside its bytes
        // (a version 5 header in the 3D decoder): the rest of them is dropped,
        // so how the stream was cut decides what is decoded.
        if (s.keep && Decoder::pass(d, true, r.samples) == -1) r.endedEarly = true;
        if (s.take && Decoder::pass(d, false, r.samples) == -1) r.endedEarly = true;
    }
    r.view = view(d);
}

template <typename Decoder>
void expectSame(const Decoded<typename Decoder::Samples>& a, const Decoded<typename Decoder::Samples>& b,
                const char* what) {
    Decoder::expectSame(a.samples, b.samples, what);
    if (!(a.view == b.view)) fail(what, "the decoder state after decoding differs");
}

// The stream decoded whole, in pieces, and in pieces with keep = true passes
// between them.
template <typename Decoder>
int fuzzOne(const uint8_t* data, size_t size) {
    Input in;
    if (!parse(data, size, in)) return 0;
    Decoded<typename Decoder::Samples> whole, pieces, mixed;
    decode<Decoder>(in, kine_fuzz::whole(in.size), whole);
    decode<Decoder>(in, cut(in.seed, in.size, false), pieces);
    decode<Decoder>(in, cut(in.seed, in.size, true), mixed);
    if (whole.endedEarly || pieces.endedEarly) return 0;
    expectSame<Decoder>(whole, pieces, "whole and pieces differ");
    if (!mixed.endedEarly) expectSame<Decoder>(whole, mixed, "whole and pieces with keep = true passes differ");
    return 0;
}

}  // namespace kine_fuzz
