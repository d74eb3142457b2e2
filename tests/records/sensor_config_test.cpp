// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "kine/SensorConfig.h"

namespace {

TEST(SensorConfig, DefaultIs0xB0) {
    SensorConfig c;
    EXPECT_EQ(c.to_uin8_t(), 176);
    EXPECT_EQ(c.getState(), 5);
    EXPECT_EQ(c.getSpeed(), 100);
    EXPECT_EQ(c.getFilter(), 0);
    EXPECT_EQ(c.getMode(), 0);
    EXPECT_EQ(SensorConfig::null_sensor().to_uin8_t(), 0xB0);
}

// (A state outside state_0..state_7 cannot be passed: converting such a
// number to sensor_state is undefined, which clang's sanitizer reports.)
TEST(SensorConfig, ConstructorPacksFields) {
    EXPECT_EQ(SensorConfig(state_7, speed_30hz, filter_15hz, mode_compensated).to_uin8_t(), 0xFF);
    EXPECT_EQ(SensorConfig(state_0, speed_1000hz, filter_none, mode_raw).to_uin8_t(), 0x00);
    SensorConfig c;
    c.set(state_2, speed_333hz, filter_50hz, mode_compensated);
    EXPECT_EQ(c.to_uin8_t(), (2 << 5) | (1 << 3) | (2 << 1) | 1);
}

// Every byte decodes into fields that re-encode to the same byte, and the Hz
// getters agree with the setters for that byte's codes.
TEST(SensorConfig, AllBytesRoundTrip) {
    const int speedHz[4] = {1000, 333, 100, 30};
    const int filterHz[4] = {0, 150, 50, 15};
    for (int b = 0; b < 256; ++b) {
        SensorConfig c = SensorConfig::fromByte(static_cast<uint8_t>(b));
        ASSERT_EQ(c.to_uin8_t(), b);
        EXPECT_EQ(c.getState(), b >> 5);
        EXPECT_EQ(c.getSpeed(), speedHz[(b >> 3) & 3]);
        EXPECT_EQ(c.getFilter(), filterHz[(b >> 1) & 3]);
        EXPECT_EQ(c.getMode(), b & 1);
        SensorConfig rebuilt(c.getState(), static_cast<sensor_speed>((b >> 3) & 3),
                             static_cast<sensor_filter>((b >> 1) & 3), static_cast<sensor_mode>(b & 1));
        EXPECT_EQ(rebuilt.to_uin8_t(), b);
        SensorConfig viaSetters = SensorConfig::fromByte(static_cast<uint8_t>(b ^ 0x1F));
        viaSetters.setSpeed(c.getSpeed());
        viaSetters.setFilter(c.getFilter());
        viaSetters.setMode(c.getMode());
        EXPECT_EQ(viaSetters.to_uin8_t(), b);
    }
}

TEST(SensorConfig, SettersIgnoreUnknownValuesAndTouchOnlyTheirField) {
    SensorConfig c;
    c.setSpeed(500);
    c.setFilter(500);
    c.setFilter(5);
    c.setMode(-1);
    EXPECT_EQ(c.to_uin8_t(), 0xB0);
    c.setMode(7);
    EXPECT_EQ(c.to_uin8_t(), 0xB1);
    c.setMode(0);
    EXPECT_EQ(c.to_uin8_t(), 0xB0);

    SensorConfig d;
    d.setFilter(15);
    d.setSpeed(1000);
    d.setMode(1);
    EXPECT_EQ(d.to_uin8_t(), 0xA7);
}

}  // namespace
