// SPDX-License-Identifier: MIT
// The fixed-size record that names one DAQ port across the library boundary:
// three adjacent 25-byte text fields. A text shorter than 25 characters is
// NUL-terminated; a text of 25 characters or more fills its field completely
// without a terminator, so every reader reads at most 25 bytes of a field.
#ifndef KINE_KPORT_H
#define KINE_KPORT_H

#include <cstddef>
#include <string>
#include <type_traits>

#include "kine_export.h"

class KINE_API KPort {
public:
    static constexpr size_t kFieldSize = 25;

    char portName[kFieldSize];       // device path, e.g. a name under /dev
    char deviceVersion[kFieldSize];  // device version text, e.g. "34 v0.9"
    char deviceSerial[kFieldSize];   // device serial text, or empty

    // Three empty texts: only the first byte of each field is set to NUL.
    KPort();
    ~KPort();

    // Stores `text` by the field copy rule: at most 25 bytes, the rest of the
    // field padded with NUL. Returns false when the text was longer than
    // the field and had to be cut.
    static bool storeField(char (&field)[kFieldSize], const char* text);
    static bool storeField(char (&field)[kFieldSize], const std::string& text);
    // The text of a field: up to its first NUL, at most 25 bytes.
    static std::string readField(const char (&field)[kFieldSize]);
};

static_assert(std::is_standard_layout<KPort>::value, "KPort crosses the C boundary");
static_assert(sizeof(KPort) == 75, "KPort is three adjacent 25-byte fields");
static_assert(offsetof(KPort, deviceVersion) == 25 && offsetof(KPort, deviceSerial) == 50, "layout");

#endif  // KINE_KPORT_H
