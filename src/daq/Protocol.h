// SPDX-License-Identifier: MIT
// The DAQ's wire format in one place: start and identity bytes, block
// addresses, frame types, the identity codes of the versions, and the codes
// of the configuration block for speed and filter, in both directions.
// Used by the decoders, the command builders, the connection and the probe.
#pragma once

#include <cstdint>

#include "kine/SensorConfig.h"
#include "kine/kine_version.h"

namespace kine::protocol {

// Start bytes. 0x37 frames: versions 3 to 5, always streaming. 0xAA frames:
// versions 6 to 8 and the host's write frames; 0xAB: the host's read requests.
constexpr uint8_t kStart37 = 0x37;
constexpr uint8_t kStartAA = 0xAA;
constexpr uint8_t kStartReadRequest = 0xAB;

// Identity byte after 0x37, which is also the unit's identity code.
constexpr uint8_t kIdentityA = 0x44;   // 68: Frame A, one sensor (version 3)
constexpr uint8_t kIdentityB = 0x5E;   // 94: Frame B, four sensors (version 4)
constexpr uint8_t kIdentity6D = 0x5F;  // 95: Frame E, a six-axis unit (version 5)

// Blocks of an 0xAA-family DAQ, read with 0xAB and written with 0xAA frames.
constexpr int kBlockIdentity = 0x000A;  // 16 bytes: identity code at 0, serial number at 8..15
constexpr int kBlockConfig = 0x0032;    // 6 bytes: speed, filter, -, -, mode, -
constexpr int kBlockDebug = 0x0037;     // 1 byte: 10 on, 0 off

// Types of the 0xAA frames a DAQ sends.
constexpr uint16_t kDataType = 0x0708;
constexpr uint16_t kConfigReplyType = kBlockConfig;  // the configuration block's contents

inline bool aaFamily(int version) {
    return version == kine_version_6 || version == kine_version_7 || version == kine_version_8;
}

// Six-axis units (Frame E, version 8 data frames) are read with the 6D reads.
inline bool isSixAxis(int version) { return version == kine_version_5 || version == kine_version_8; }

// Whole 0x37 frames in bytes, start byte to checksum.
constexpr int kFrameALength = 29;             // version 3
constexpr int kFrameBLength = 45;             // version 4, raw mode
constexpr int kFrameBCompensatedLength = 37;  // version 4, compensated mode
constexpr int kFrameELength = 57;             // version 5

// Payload of a full 0xAA data frame; the frame adds start byte, type, length and checksum.
constexpr int kDataLengthV6 = 28;
constexpr int kDataLengthV7 = 108;
constexpr int kDataLengthV8 = 96;
constexpr int kAaFrameOverhead = 6;

// A version's 0x37 data frame length (Frame B in raw mode); 0 for the 0xAA family.
inline int frame37Length(int version) {
    switch (version) {
    case kine_version_3: return kFrameALength;
    case kine_version_4: return kFrameBLength;
    case kine_version_5: return kFrameELength;
    default: return 0;
    }
}

// Payload length of a version's full 0xAA data frame; -1 outside the 0xAA family.
inline int fullDataLength(int version) {
    switch (version) {
    case kine_version_6: return kDataLengthV6;
    case kine_version_7: return kDataLengthV7;
    case kine_version_8: return kDataLengthV8;
    default: return -1;
    }
}

// Identity code of a unit (the first two digits of its device version text,
// or the identity byte of its frames) -> protocol version and the device
// version text discovery reports for it.
struct Identity {
    int code;
    kine_version version;
    const char* text;
};
constexpr Identity kIdentities[] = {
    {68, kine_version_3, "68 v1.1"}, {94, kine_version_4, "94 v0.9"}, {95, kine_version_5, "95 v1.0"},
    {31, kine_version_6, "31 v0.9"}, {34, kine_version_7, "34 v0.9"}, {64, kine_version_8, "64 v0.9"},
};

inline const Identity* identityOf(int code) {
    for (const Identity& i : kIdentities)
        if (i.code == code) return &i;
    return nullptr;
}

inline kine_version versionOfIdentity(int code) {
    const Identity* i = identityOf(code);
    return i != nullptr ? i->version : kine_version_none;
}

// Speed codes of the configuration block: the sampling period in ms.
struct SpeedCode {
    uint8_t code;
    sensor_speed field;  // SensorConfig speed field
    int hz;
};
constexpr SpeedCode kSpeedCodes[] = {
    {1, speed_1000hz, 1000}, {3, speed_333hz, 333}, {10, speed_100hz, 100}, {33, speed_30hz, 30}};

// Filter codes. 500, 5 and 1 Hz have no SensorConfig field (kNoField).
constexpr int kNoField = -1;
struct FilterCode {
    uint8_t code;
    int field;  // SensorConfig filter field, or kNoField
    int hz;
};
constexpr FilterCode kFilterCodes[] = {{0, filter_none, 0},  {1, kNoField, 500},   {2, filter_150hz, 150},
                                       {3, filter_50hz, 50}, {4, filter_15hz, 15}, {5, kNoField, 5},
                                       {6, kNoField, 1}};

inline const SpeedCode* speedOfCode(uint8_t code) {
    for (const SpeedCode& s : kSpeedCodes)
        if (s.code == code) return &s;
    return nullptr;
}

inline const FilterCode* filterOfCode(uint8_t code) {
    for (const FilterCode& f : kFilterCodes)
        if (f.code == code) return &f;
    return nullptr;
}

// DAQ codes for a SensorConfig speed or filter field (0..3).
inline uint8_t speedCodeOfField(int field) {
    for (const SpeedCode& s : kSpeedCodes)
        if (s.field == (field & 3)) return s.code;
    return 0;  // not reached: every field value has a code
}

inline uint8_t filterCodeOfField(int field) {
    for (const FilterCode& f : kFilterCodes)
        if (f.field == (field & 3)) return f.code;
    return 0;  // not reached: every field value has a code
}

}  // namespace kine::protocol
