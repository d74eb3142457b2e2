// SPDX-License-Identifier: MIT
// Sample values the decoder suites encode with the simulator's encoders:
// distinct per seed, with fields that show sign and width mistakes.
#pragma once

#include "kine_sim/frames.h"

namespace decoder_values {

inline kine_sim::SensorValues values(int seed) {
    kine_sim::SensorValues s;
    s.x = -2 - seed;
    s.y = 3 + 7 * seed;
    s.z = 65535 - seed;
    s.aux = 7 + seed;
    for (int i = 0; i < 8; ++i) s.raw[i] = 1 + i + 100 * seed;
    return s;
}

inline void fourValues(kine_sim::SensorValues (&s)[4], int seed) {
    for (int k = 0; k < 4; ++k) {
        s[k] = values(seed + 10 * k);
        s[k].x = -100 * (k + 1) - seed;
        s[k].y = 50 * k + seed;
        s[k].z = 60000 + k;
        for (int i = 0; i < 4; ++i) s[k].raw[i] = 1000 * (k + 1) + 10 * i + seed;
    }
}

// A six-axis unit's values.
inline kine_sim::Values6D unit(int seed) {
    kine_sim::Values6D v;
    v.Fx = -1 - seed;
    v.Fy = 2000 + seed;
    v.Fz = 40000 + seed;  // above 32767: its signedness shows
    v.Tx = -300;
    v.Ty = 5 * seed;
    v.Tz = -32768;
    for (int k = 0; k < 4; ++k) {
        v.sensors[k].aux = 11 * (k + 1) + seed;
        for (int i = 0; i < 8; ++i) v.sensors[k].raw[i] = 1000 * (k + 1) + 100 * i + seed;
    }
    return v;
}

}  // namespace decoder_values
