// SPDX-License-Identifier: MIT
// Worked examples of the wire format, byte by byte: frames a DAQ sends and
// commands a host writes. The library's tests (decoders, command builders)
// and the simulator's tests check against the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "kine_sim/frames.h"

namespace kine_test::worked {

using Bytes = std::vector<uint8_t>;

// Frame A, configuration byte 0x01: x = -2, y = 3, z = 65535, aux = 7, raw 1..8.
inline const Bytes kFrameA = {0x37, 0x44, 0x01, 0xFF, 0xFE, 0x00, 0x03, 0xFF, 0xFF, 0x00, 0x07, 0x00, 0x01, 0x00, 0x02,
                              0x00, 0x03, 0x00, 0x04, 0x00, 0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x08, 0x04, 0x2A};

inline kine_sim::SensorValues frameAValues() {
    kine_sim::SensorValues s;
    s.x = -2;
    s.y = 3;
    s.z = 65535;
    s.aux = 7;
    for (int i = 0; i < 8; ++i) s.raw[i] = i + 1;
    return s;
}

// Frame E, configuration byte 0x00: Fx = -1, the other axes and every aux 0,
// raw channels 100, 200, 300, 400 on each of the four sensors.
inline Bytes frameE() {
    Bytes bytes = {0x37, 0x5F, 0x00, 0xFF, 0xFF};
    bytes.insert(bytes.end(), 18, 0x00);
    for (int k = 0; k < 4; ++k) bytes.insert(bytes.end(), {0x00, 0x64, 0x00, 0xC8, 0x01, 0x2C, 0x01, 0x90});
    bytes.insert(bytes.end(), {0x09, 0xA6});
    return bytes;
}

inline kine_sim::Values6D frameEValues() {
    kine_sim::Values6D v;
    v.Fx = -1;
    for (auto& s : v.sensors)
        for (int i = 0; i < 4; ++i) s.raw[i] = 100 * (i + 1);
    return v;
}

// Configuration reply: speed code 10 (100 Hz), filter code 3 (50 Hz), mode 1.
inline const Bytes kConfigReply = {0xAA, 0x00, 0x32, 0x05, 0x0A, 0x03, 0x00, 0x00, 0x01, 0x00, 0xEF};

// Host commands: read requests and writes of the configuration and debug blocks.
inline const Bytes kRequestIdentity = {0xAB, 0x00, 0x0A, 0x10, 0x00, 0xC5};
inline const Bytes kRequestConfig = {0xAB, 0x00, 0x32, 0x06, 0x00, 0xE3};
inline const Bytes kDebugOn = {0xAA, 0x00, 0x37, 0x01, 0x0A, 0x00, 0xEC};
inline const Bytes kDebugOff = {0xAA, 0x00, 0x37, 0x01, 0x00, 0x00, 0xE2};
inline const Bytes kConfigByte0Zero = {0xAA, 0x00, 0x32, 0x01, 0x00, 0x00, 0xDD};
inline const Bytes kSpeed100Hz = {0xAA, 0x00, 0x32, 0x01, 0x0A, 0x00, 0xE7};
inline const Bytes kSpeed1000HzFilter15Hz = {0xAA, 0x00, 0x32, 0x02, 0x01, 0x04, 0x00, 0xE3};
inline const Bytes kSpeed30HzFilter150Hz = {0xAA, 0x00, 0x32, 0x02, 0x21, 0x02, 0x01, 0x01};

}  // namespace kine_test::worked
