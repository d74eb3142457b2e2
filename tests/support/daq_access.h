// SPDX-License-Identifier: MIT
// A frame decoder fed the way a connection feeds it, and comparison of
// decoded samples field by field.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <sstream>
#include <vector>

#include "daq/FrameDecoder.h"

namespace kine_test {

// A frame decoder with the zero offsets a connection gives it and the bytes
// its reader would hold: fed bytes collect until a pass that does not keep
// them takes them. The getters read what the connection's getters read.
struct Decoding {
    FrameDecoder decoder;
    FrameDecoder::Offsets offsets;
    KineSensor6D offset6D;
    std::vector<uint8_t> received;
    size_t lastBytes = 0;

    template <class Out>
    DecodePass pass3D(Out (&out)[16], bool keep = false) {
        return took(decoder.decode3D(received, offsets, out, keep), keep);
    }
    template <class Out>
    DecodePass pass6D(Out& out, bool keep = false) {
        return took(decoder.decode6D(received, offsets, offset6D, out, keep), keep);
    }
    template <class Out>
    int smProcess(Out (&out)[16], bool keep) {
        return pass3D(out, keep).result;
    }
    template <class Out>
    int smProcess6D(Out& out, bool keep) {
        return pass6D(out, keep).result;
    }

    int getVersion() const { return decoder.unit.version; }
    int getSensorSize() const { return decoder.unit.sensorCount; }
    bool isChksumOK() const { return decoder.unit.checksumOk; }
    int getSize() const { return static_cast<int>(lastBytes); }
    size_t offsetCount() const { return offsets.size(); }

private:
    DecodePass took(const DecodePass& p, bool keep) {
        lastBytes = p.bytes;
        if (!keep) received.clear();
        return p;
    }
};

inline void feed(Decoding& d, const std::vector<uint8_t>& bytes) {
    d.received.insert(d.received.end(), bytes.begin(), bytes.end());
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A copy of `frame` with one bit of byte `at` flipped.
inline std::vector<uint8_t> corrupted(std::vector<uint8_t> frame, size_t at) {
    frame[at] = static_cast<uint8_t>(frame[at] ^ 0x01);
    return frame;
}

inline std::string describe(const KinePackage& p) {
    std::ostringstream o;
    o << "raw{";
    for (int v : p.raw) o << v << ' ';
    o << "} xyz{" << p.x << ' ' << p.y << ' ' << p.z << "} xyz2{" << p.x2 << ' ' << p.y2 << ' ' << p.z2 << "} inc{";
    for (int v : p.inconsistent) o << v << ' ';
    o << "} aux " << p.aux << " config " << int(p.config.to_uin8_t()) << " version " << p.version;
    return o.str();
}

inline ::testing::AssertionResult SameSample(const KinePackage& a, const KinePackage& b) {
    bool same = a.x == b.x && a.y == b.y && a.z == b.z && a.x2 == b.x2 && a.y2 == b.y2 && a.z2 == b.z2 &&
                a.aux == b.aux && a.config.to_uin8_t() == b.config.to_uin8_t() && a.version == b.version;
    for (int i = 0; i < 8; ++i) same = same && a.raw[i] == b.raw[i] && a.inconsistent[i] == b.inconsistent[i];
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << describe(a) << "\n   vs " << describe(b);
}

inline ::testing::AssertionResult SameSample(const KinePackage6D& a, const KinePackage6D& b) {
    if (a.Fx != b.Fx || a.Fy != b.Fy || a.Fz != b.Fz || a.Tx != b.Tx || a.Ty != b.Ty || a.Tz != b.Tz)
        return ::testing::AssertionFailure()
               << "axes " << a.Fx << ',' << a.Fy << ',' << a.Fz << ',' << a.Tx << ',' << a.Ty << ',' << a.Tz << " vs "
               << b.Fx << ',' << b.Fy << ',' << b.Fz << ',' << b.Tx << ',' << b.Ty << ',' << b.Tz;
    for (int k = 0; k < 4; ++k) {
        auto r = SameSample(a.sensors[k], b.sensors[k]);
        if (!r) return r << " (sensor " << k << ")";
    }
    return ::testing::AssertionSuccess();
}

// Ways to cut an n-byte stream into successive reads: every split into two,
// then `rounds` random ones with chunks of 0 to maxChunk bytes.
inline std::vector<std::vector<size_t>> chunkings(size_t n, size_t maxChunk, unsigned seed, int rounds = 50) {
    std::vector<std::vector<size_t>> out;
    for (size_t cut = 1; cut < n; ++cut) out.push_back({cut, n - cut});
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> length(0, maxChunk);
    for (int r = 0; r < rounds; ++r) {
        std::vector<size_t> chunks;
        for (size_t left = n; left > 0;) {
            const size_t c = std::min(left, length(rng));
            chunks.push_back(c);
            left -= c;
        }
        out.push_back(chunks);
    }
    return out;
}

inline std::string describe(const std::vector<size_t>& chunks) {
    std::ostringstream o;
    for (size_t c : chunks) o << c << ' ';
    return o.str();
}

}  // namespace kine_test
