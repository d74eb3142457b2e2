// SPDX-License-Identifier: MIT
// The wire format of `kine publish`: DAQ streams as ZeroMQ messages.
//
// Header-only and free of ZeroMQ: it encodes and decodes message bodies, so
// a program with any ZeroMQ binding (or none, reading a capture) can use it.
// docs/wire-format.md describes the same layout for other languages.
//
// Every message is two ZeroMQ frames: the topic (the DAQ's serial, or its
// port when it has none; no terminator) and a body. Every body starts with
// the same 8 bytes, and all numbers are little-endian:
//
//   0  4  magic "KINE"
//   4  2  format version (kFormatVersion; decoders reject any other)
//   6  1  kind: 1 metadata, 2 data
//   7  1  reserved, 0
//
// Metadata (sent when a DAQ starts, when a subscription arrives, and every
// second):
//   8  4  session: random per publisher run, changes when it restarts
//  12  1  protocol version of the DAQ, 3..8
//  13  1  sensor count, 1..4
//  14  1  flags: bit 0 six-axis unit (versions 5 and 8)
//  15  1  configuration word (state, speed, filter, mode)
//  16  2  sample rate in Hz
//  18  2  values per sample (6 for a six-axis unit, else 4 per sensor)
//  20  8  number of the next sample the publisher will send
//  28  8  overflows of this DAQ so far (see below)
//  36     four texts, each a 1-byte length and that many bytes (at most
//         kMaxText): topic, device version text, serial, port
//
// Data (one batch of samples, read from the DAQ at one host time):
//   8  4  session
//  12  4  sample count, 1..kMaxSamples
//  16  8  number of the first sample: running per DAQ from 0, never reset
//         while the publisher runs; a jump shows samples that were lost
//  24  8  host monotonic time of the read, ns (CLOCK_MONOTONIC)
//  32  8  host wall-clock time of the read, ns since 1970 UTC
//  40  8  overflows of this DAQ so far
//  48  2  values per sample
//  50  2  reserved, 0
//  52     count x values signed 32-bit integers, sample after sample
//
// Loss: a subscriber that does not keep up fills its queue (the publisher's
// high-water mark); ZeroMQ then drops its messages until it has caught up.
// The subscriber sees exactly what it lost as gaps in the sample numbers.
// The publisher cannot see one subscriber's queue: it counts overflows, the
// messages it sent while some subscriber's queue was full, each the start
// of a loss for that subscriber.
//
// Threads: plain functions over caller-owned values; any thread.
#ifndef KINE_KINE_WIRE_H
#define KINE_KINE_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kine_wire {

constexpr uint16_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 8;
constexpr size_t kMetadataFixedSize = 36;
constexpr size_t kDataFixedSize = 52;
constexpr size_t kMaxText = 64;
constexpr uint32_t kMaxSamples = 100000;
constexpr uint16_t kMaxValues = 16;

enum class Kind : uint8_t { metadata = 1, data = 2 };

struct Metadata {
    uint32_t session = 0;
    uint8_t protocolVersion = 0;
    uint8_t sensors = 1;
    bool sixAxis = false;
    uint8_t config = 0;
    uint16_t rateHz = 0;
    uint16_t width = 4;  // values per sample
    uint64_t nextSample = 0;
    uint64_t overflows = 0;
    std::string topic, deviceVersion, serial, port;
};

struct Data {
    uint32_t session = 0;
    uint32_t count = 0;
    uint64_t firstSample = 0;
    int64_t monotonicNs = 0;
    int64_t wallNs = 0;
    uint64_t overflows = 0;
    uint16_t width = 0;
    std::vector<int32_t> values;  // count * width
};

// What decode() found: a metadata or a data message, or why the body is not one.
struct Decoded {
    Kind kind = Kind::metadata;
    Metadata metadata;  // kind metadata
    Data data;          // kind data
    std::string error;  // empty when the body is well formed
    bool ok() const { return error.empty(); }
};

// Values per sample for a DAQ of this kind.
inline uint16_t widthFor(bool sixAxis, int sensors) { return static_cast<uint16_t>(sixAxis ? 6 : 4 * sensors); }

// Column names of the values, as `kine stream` names them.
inline std::vector<std::string> columnNames(const Metadata& m) {
    if (m.sixAxis) return {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
    std::vector<std::string> names;
    for (int k = 0; k < m.sensors; ++k)
        for (const char* c : {"x", "y", "z", "aux"})
            names.push_back(m.sensors == 1 ? std::string(c) : "s" + std::to_string(k) + "_" + c);
    return names;
}

namespace detail {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void text(const std::string& s) {
        const size_t n = s.size() < kMaxText ? s.size() : kMaxText;
        u8(static_cast<uint8_t>(n));
        out_.insert(out_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void header(Kind kind) {
        out_.insert(out_.end(), {'K', 'I', 'N', 'E'});
        u16(kFormatVersion);
        u8(static_cast<uint8_t>(kind));
        u8(0);
    }

private:
    void le(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>& out_;
};

// Reads fields in order; a read past the end leaves `short_` set and yields 0.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint8_t u8() { return static_cast<uint8_t>(le(1)); }
    uint16_t u16() { return static_cast<uint16_t>(le(2)); }
    uint32_t u32() { return static_cast<uint32_t>(le(4)); }
    uint64_t u64() { return le(8); }
    bool text(std::string& s) {
        const size_t n = u8();
        if (short_ || n > kMaxText || n > n_ - at_) return false;
        s.assign(reinterpret_cast<const char*>(p_ + at_), n);
        at_ += n;
        return true;
    }
    size_t left() const { return n_ - at_; }
    const uint8_t* here() const { return p_ + at_; }
    bool isShort() const { return short_; }

private:
    uint64_t le(size_t bytes) {
        if (bytes > n_ - at_) {
            short_ = true;
            at_ = n_;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= uint64_t{p_[at_ + i]} << (8 * i);
        at_ += bytes;
        return v;
    }
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
    bool short_ = false;
};

inline std::string decodeMetadata(Reader& r, Metadata& m) {
    if (r.left() < kMetadataFixedSize - kHeaderSize) return "metadata message shorter than its fixed part";
    m.session = r.u32();
    m.protocolVersion = r.u8();
    m.sensors = r.u8();
    const uint8_t flags = r.u8();
    m.config = r.u8();
    m.rateHz = r.u16();
    m.width = r.u16();
    m.nextSample = r.u64();
    m.overflows = r.u64();
    if (m.protocolVersion < 3 || m.protocolVersion > 8)
        return "metadata names protocol version " + std::to_string(m.protocolVersion) + " (3..8 exist)";
    if (m.sensors < 1 || m.sensors > 4) return "metadata names " + std::to_string(m.sensors) + " sensors (1..4)";
    if (flags > 1) return "metadata has unknown flags";
    m.sixAxis = flags & 1;
    if (m.width != widthFor(m.sixAxis, m.sensors))
        return "metadata gives " + std::to_string(m.width) + " values per sample for its kind of DAQ";
    for (std::string* s : {&m.topic, &m.deviceVersion, &m.serial, &m.port})
        if (!r.text(*s)) return "metadata text runs past the end or exceeds 64 bytes";
    if (r.left() != 0) return "metadata message has " + std::to_string(r.left()) + " bytes after its end";
    return {};
}

inline std::string decodeData(Reader& r, Data& d) {
    if (r.left() < kDataFixedSize - kHeaderSize) return "data message shorter than its fixed part";
    d.session = r.u32();
    d.count = r.u32();
    d.firstSample = r.u64();
    d.monotonicNs = static_cast<int64_t>(r.u64());
    d.wallNs = static_cast<int64_t>(r.u64());
    d.overflows = r.u64();
    d.width = r.u16();
    if (r.u16() != 0) return "data message has a nonzero reserved field";
    if (d.count < 1 || d.count > kMaxSamples)
        return "data message holds " + std::to_string(d.count) + " samples (1.." + std::to_string(kMaxSamples) + ")";
    if (d.width < 1 || d.width > kMaxValues)
        return "data message has " + std::to_string(d.width) + " values per sample (1..16)";
    const size_t values = size_t{d.count} * d.width;
    if (r.left() != values * 4)
        return "data message carries " + std::to_string(r.left()) + " bytes of values; " + std::to_string(d.count) +
               " samples of " + std::to_string(d.width) + " values need " + std::to_string(values * 4);
    d.values.resize(values);
    const uint8_t* p = r.here();
    for (size_t i = 0; i < values; ++i, p += 4)
        d.values[i] =
            static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    return {};
}

}  // namespace detail

inline std::vector<uint8_t> encodeMetadata(const Metadata& m) {
    std::vector<uint8_t> out;
    detail::Writer w(out);
    w.header(Kind::metadata);
    w.u32(m.session);
    w.u8(m.protocolVersion);
    w.u8(m.sensors);
    w.u8(m.sixAxis ? 1 : 0);
    w.u8(m.config);
    w.u16(m.rateHz);
    w.u16(m.width);
    w.u64(m.nextSample);
    w.u64(m.overflows);
    for (const std::string* s : {&m.topic, &m.deviceVersion, &m.serial, &m.port}) w.text(*s);
    return out;
}

// `values` holds `count` samples of `width` values.
inline std::vector<uint8_t> encodeData(const Data& d, const int32_t* values) {
    std::vector<uint8_t> out;
    out.reserve(kDataFixedSize + size_t{d.count} * d.width * 4);
    detail::Writer w(out);
    w.header(Kind::data);
    w.u32(d.session);
    w.u32(d.count);
    w.u64(d.firstSample);
    w.u64(static_cast<uint64_t>(d.monotonicNs));
    w.u64(static_cast<uint64_t>(d.wallNs));
    w.u64(d.overflows);
    w.u16(d.width);
    w.u16(0);
    for (size_t i = 0; i < size_t{d.count} * d.width; ++i) w.u32(static_cast<uint32_t>(values[i]));
    return out;
}
inline std::vector<uint8_t> encodeData(const Data& d) { return encodeData(d, d.values.data()); }

// Decodes one message body. Never throws for any input; a malformed body
// comes back with `error` saying what is wrong with it.
inline Decoded decode(const void* body, size_t size) {
    Decoded out;
    const uint8_t* p = static_cast<const uint8_t*>(body);
    if (size < kHeaderSize || !p) {
        out.error = "message of " + std::to_string(size) + " bytes is shorter than the 8-byte header";
        return out;
    }
    if (std::memcmp(p, "KINE", 4) != 0) {
        out.error = "message does not start with \"KINE\"";
        return out;
    }
    detail::Reader r(p + 4, size - 4);
    const uint16_t format = r.u16();
    const uint8_t kind = r.u8();
    const uint8_t reserved = r.u8();
    if (format != kFormatVersion) {
        out.error = "message has wire format version " + std::to_string(format) + "; this decoder reads version " +
                    std::to_string(kFormatVersion);
    } else if (reserved != 0) {
        out.error = "message has a nonzero reserved header byte";
    } else if (kind == static_cast<uint8_t>(Kind::metadata)) {
        out.kind = Kind::metadata;
        out.error = detail::decodeMetadata(r, out.metadata);
    } else if (kind == static_cast<uint8_t>(Kind::data)) {
        out.kind = Kind::data;
        out.error = detail::decodeData(r, out.data);
    } else {
        out.error = "message of unknown kind " + std::to_string(kind);
    }
    return out;
}

}  // namespace kine_wire

#endif  // KINE_KINE_WIRE_H
