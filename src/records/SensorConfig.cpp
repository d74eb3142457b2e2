// SPDX-License-Identifier: MIT
#include "kine/SensorConfig.h"

namespace {

constexpr uint8_t kDefaultByte = 0xB0;  // state 5, 100 Hz, no filter, raw
constexpr int kSpeedHz[4] = {1000, 333, 100, 30};
constexpr int kFilterHz[3] = {150, 50, 15};  // codes 1..3; code 0 is "off"

constexpr uint8_t kSpeedMask = 0x18;
constexpr uint8_t kFilterMask = 0x06;
constexpr uint8_t kModeMask = 0x01;

uint8_t pack(int state, int speed, int filter, int mode) {
    return static_cast<uint8_t>((state << 5) | ((speed & 3) << 3) | ((filter & 3) << 1) | (mode & 1));
}

}  // namespace

SensorConfig::SensorConfig() : value_(kDefaultByte) {}

SensorConfig::SensorConfig(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode)
    : value_(pack(state, speed, filter, mode)) {}

void SensorConfig::set(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode) {
    value_ = pack(state, speed, filter, mode);
}

SensorConfig SensorConfig::null_sensor() { return SensorConfig(); }

SensorConfig SensorConfig::fromByte(uint8_t byte) {
    SensorConfig c;
    c.value_ = byte;
    return c;
}

uint8_t SensorConfig::to_uin8_t() const { return value_; }

sensor_state SensorConfig::getState() const { return static_cast<sensor_state>(value_ >> 5); }

int SensorConfig::getSpeed() const { return kSpeedHz[(value_ & kSpeedMask) >> 3]; }

int SensorConfig::getFilter() const {
    int code = (value_ & kFilterMask) >> 1;
    return code == 0 ? 0 : kFilterHz[code - 1];
}

int SensorConfig::getMode() const { return value_ & kModeMask; }

void SensorConfig::setSpeed(int hz) {
    for (int code = 0; code < 4; ++code) {
        if (kSpeedHz[code] == hz) {
            value_ = static_cast<uint8_t>((value_ & ~kSpeedMask) | (code << 3));
            return;
        }
    }
}

void SensorConfig::setFilter(int hz) {
    int code = -1;
    if (hz == 0) code = 0;
    for (int i = 0; i < 3; ++i)
        if (kFilterHz[i] == hz) code = i + 1;
    if (code >= 0) value_ = static_cast<uint8_t>((value_ & ~kFilterMask) | (code << 1));
}

void SensorConfig::setMode(int mode) {
    if (mode == 0)
        value_ = static_cast<uint8_t>(value_ & ~kModeMask);
    else if (mode > 0)
        value_ = static_cast<uint8_t>(value_ | kModeMask);
}
