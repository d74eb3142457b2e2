// SPDX-License-Identifier: MIT
// The one-byte sensor configuration word: state, sampling speed, filter and
// output mode packed into bit fields. The same byte travels between the DAQ,
// every decoded sample and foreign callers, so its layout is binding:
//
//   bit 7..5  state   (sensor_state, 0..7; 5 = undisturbed)
//   bit 4..3  speed   (sensor_speed code: 1000, 333, 100, 30 Hz)
//   bit 2..1  filter  (sensor_filter code: none, 150, 50, 15 Hz)
//   bit 0     mode    (0 = raw channels, 1 = compensated forces)
//
// The constructor and set() take field codes; the getters and setters speak
// in Hz. Setters given a value they do not know leave the byte unchanged.
#ifndef KINE_SENSORCONFIG_H
#define KINE_SENSORCONFIG_H

#include <cstdint>
#include <type_traits>

#include "kine_export.h"

enum sensor_state {
    state_0 = 0,
    state_1 = 1,
    state_2 = 2,
    state_3 = 3,
    state_4 = 4,
    state_ok = 5,
    state_6 = 6,
    state_7 = 7
};

enum sensor_speed { speed_1000hz = 0, speed_333hz = 1, speed_100hz = 2, speed_30hz = 3 };

enum sensor_filter { filter_none = 0, filter_150hz = 1, filter_50hz = 2, filter_15hz = 3 };

enum sensor_mode { mode_raw = 0, mode_compensated = 1 };

class KINE_API SensorConfig {
public:
    SensorConfig();
    SensorConfig(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode);

    void set(sensor_state state, sensor_speed speed, sensor_filter filter, sensor_mode mode);
    static SensorConfig null_sensor();

    uint8_t to_uin8_t() const;
    sensor_state getState() const;
    int getSpeed() const;   // Hz: 1000, 333, 100 or 30
    int getFilter() const;  // Hz: 0 (off), 150, 50 or 15
    int getMode() const;    // 0 raw, 1 compensated

    void setSpeed(int hz);
    void setFilter(int hz);
    void setMode(int mode);

    // Not part of the word's interface to the DAQ, but needed wherever a
    // byte arrives from the wire or from a foreign caller.
    static SensorConfig fromByte(uint8_t byte);

private:
    uint8_t value_;
};

static_assert(sizeof(SensorConfig) == 1, "SensorConfig is exactly one byte");
static_assert(std::is_standard_layout<SensorConfig>::value, "SensorConfig crosses the C boundary");

#endif  // KINE_SENSORCONFIG_H
