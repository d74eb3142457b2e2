// SPDX-License-Identifier: MIT
// Protocol version of a DAQ connection and of every sample it produces.
#ifndef KINE_VERSION_H
#define KINE_VERSION_H

#include <cstdint>

// Which DAQ frame family produced a sample. Values 1, 2 and above 8 are
// never produced. Stored as a 32-bit value in every record.
enum kine_version {
    kine_version_none = 0,  // never decoded
    kine_version_3 = 3,     // 0x37 0x44 frames, one sensor (identity code 68)
    kine_version_4 = 4,     // 0x37 0x5E frames, four sensors (identity code 94)
    kine_version_5 = 5,     // 0x37 0x5F frames, six-axis unit (identity code 95)
    kine_version_6 = 6,     // 0xAA frames, one sensor (identity code 31)
    kine_version_7 = 7,     // 0xAA frames, four sensors (identity code 34)
    kine_version_8 = 8      // 0xAA frames, six-axis unit (identity code 64)
};

static_assert(sizeof(kine_version) == 4, "kine_version is stored as 32 bits");

#endif  // KINE_VERSION_H
