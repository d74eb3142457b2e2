// SPDX-License-Identifier: MIT
// Line noise that looks like a 0x37 header on a connection of the 0xAA
// family: the connection keeps its version and the frames after the noise
// still give samples.
#include <gtest/gtest.h>

#include "kine_sim/frames.h"
#include "support/daq_access.h"

namespace {

const std::vector<uint8_t> kNoise = {0x37, 0x5E, 0x00, 0x37, 0x44, 0x01, 0x37, 0x5F, 0x02};

class NoiseOnAaFamily : public ::testing::TestWithParam<kine_version> {};
INSTANTIATE_TEST_SUITE_P(Versions, NoiseOnAaFamily, ::testing::Values(kine_version_6, kine_version_7, kine_version_8));

TEST_P(NoiseOnAaFamily, KeepsTheVersionAndTheSamples) {
    const kine_version v = GetParam();
    kine_test::Decoding d;
    d.decoder.unit.version = v;  // as open sets it from the identity code
    d.offsets.push_back(KineSensor());
    kine_sim::Values6D values;
    values.Fx = 123;
    for (auto& s : values.sensors) s.x = 45;
    std::vector<uint8_t> frame;
    if (v == kine_version_6)
        frame = kine_sim::encodeV6Data(0, 0, values.sensors[0]);
    else if (v == kine_version_7)
        frame = kine_sim::encodeV7Data(0, 0, values.sensors);
    else
        frame = kine_sim::encodeV8Data(0, 0, values);
    kine_test::feed(d, kine_test::concat({frame, kNoise, frame, kNoise, frame}));

    int samples;
    if (v == kine_version_8) {
        std::deque<KinePackage6D> out;
        samples = d.smProcess6D(out, false);
        for (const auto& p : out) EXPECT_EQ(p.Fx, 123);
    } else {
        std::deque<KinePackage> out[16];
        samples = d.smProcess(out, false);
        for (const auto& p : out[0]) EXPECT_EQ(p.x, 45);
    }
    EXPECT_EQ(samples, 3);
    EXPECT_EQ(d.getVersion(), v);
}

}  // namespace
