// SPDX-License-Identifier: MIT
// The wire format of kine publish: round trips, the byte layout the
// documentation promises, and malformed bodies rejected with a reason.
#include <gtest/gtest.h>

#include <vector>

#include "kine/kine_wire.h"

namespace {

using namespace kine_wire;

Metadata sampleMetadata() {
    Metadata m;
    m.session = 0x11223344;
    m.protocolVersion = 8;
    m.sensors = 4;
    m.sixAxis = true;
    m.config = 0xB1;
    m.rateHz = 1000;
    m.width = 6;
    m.nextSample = 0x0102030405060708;
    m.overflows = 7;
    m.topic = "C3D4";
    m.deviceVersion = "64 v1.0";
    m.serial = "C3D4";
    m.port = "/dev/ttyACM0";
    return m;
}

Data sampleData() {
    Data d;
    d.session = 0x11223344;
    d.count = 2;
    d.firstSample = 42;
    d.monotonicNs = 123456789;
    d.wallNs = -5;
    d.overflows = 3;
    d.width = 6;
    d.values = {1, -2, 3, -4, 5, -6, 0x7fffffff, -0x7fffffff - 1, 0, 0, 0, 9};
    return d;
}

TEST(Wire, RoundTripsAndKeepsTheDocumentedLayout) {
    const std::vector<uint8_t> meta = encodeMetadata(sampleMetadata());
    ASSERT_EQ(meta.size(), kMetadataFixedSize + 4 * 1 + 4 + 7 + 4 + 12);
    EXPECT_EQ(std::vector<uint8_t>(meta.begin(), meta.begin() + 8),
              (std::vector<uint8_t>{'K', 'I', 'N', 'E', 1, 0, 1, 0}));
    EXPECT_EQ(meta[8], 0x44);   // session, little-endian
    EXPECT_EQ(meta[16], 0xE8);  // 1000 Hz
    EXPECT_EQ(meta[20], 0x08);  // next sample, low byte first
    const Decoded m = decode(meta.data(), meta.size());
    ASSERT_TRUE(m.ok()) << m.error;
    EXPECT_EQ(m.kind, Kind::metadata);
    EXPECT_EQ(m.metadata.nextSample, 0x0102030405060708u);
    EXPECT_EQ(m.metadata.port, "/dev/ttyACM0");
    EXPECT_EQ(encodeMetadata(m.metadata), meta);

    const std::vector<uint8_t> data = encodeData(sampleData());
    ASSERT_EQ(data.size(), kDataFixedSize + 12 * 4);
    EXPECT_EQ(data[6], 2);
    EXPECT_EQ(data[52 + 4], 0xFE);  // -2, two's complement, low byte first
    const Decoded d = decode(data.data(), data.size());
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(d.data.values, sampleData().values);
    EXPECT_EQ(d.data.wallNs, -5);
    EXPECT_EQ(encodeData(d.data), data);
}

// Every truncation and a set of single-field corruptions of both kinds are
// rejected with a reason; none is accepted as a different message.
TEST(Wire, RejectsMalformedBodiesWithAReason) {
    for (const std::vector<uint8_t>& good : {encodeMetadata(sampleMetadata()), encodeData(sampleData())}) {
        for (size_t n = 0; n < good.size(); ++n) {
            const Decoded r = decode(good.data(), n);
            EXPECT_FALSE(r.ok()) << "accepted the first " << n << " bytes";
        }
        std::vector<uint8_t> longer = good;
        longer.push_back(0);
        EXPECT_FALSE(decode(longer.data(), longer.size()).ok());
    }
    struct Corruption {
        bool data;
        size_t at;
        uint8_t value;
        const char* reason;
    };
    const Corruption cases[] = {
        {false, 0, 'X', "does not start with \"KINE\""},
        {false, 4, 2, "wire format version 2"},
        {false, 6, 9, "unknown kind 9"},
        {false, 12, 9, "protocol version 9"},
        {false, 13, 5, "5 sensors"},
        {false, 18, 4, "values per sample"},
        {false, 36, 65, "exceeds 64 bytes"},
        {true, 12, 3, "carries 48 bytes of values"},
        {true, 12, 0, "holds 0 samples"},
        {true, 48, 17, "17 values per sample"},
        {true, 50, 1, "reserved"},
    };
    for (const Corruption& c : cases) {
        std::vector<uint8_t> bytes = c.data ? encodeData(sampleData()) : encodeMetadata(sampleMetadata());
        bytes[c.at] = c.value;
        const Decoded r = decode(bytes.data(), bytes.size());
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << "byte " << c.at << ": " << r.error;
    }
    EXPECT_FALSE(decode(nullptr, 0).ok());
}

}  // namespace
