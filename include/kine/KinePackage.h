// SPDX-License-Identifier: MIT
// One sample of one 3-axis sensor, as the frame decoders produce it and the
// read operations hand it out. A plain value: fixed size, no heap storage.
//
// Arithmetic on the integer fields is signed 32-bit and wraps; divisions go
// through single-precision floats and truncate toward zero. The record's
// memory layout crosses the C interface and is pinned below.
#ifndef KINE_KINEPACKAGE_H
#define KINE_KINEPACKAGE_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "SensorConfig.h"
#include "kine_export.h"
#include "kine_version.h"

class KINE_API KinePackage {
public:
    int32_t raw[8];           // raw channels; raw[0..3] give the force vector
    int32_t x, y, z;          // force vector
    int32_t x2, y2, z2;       // second vector: a copy of x, y, z, or (v8) from raw[4..7]
    int32_t inconsistent[8];  // raw channels as they were before offset removal
    int32_t aux;              // auxiliary value of the sensor block
    SensorConfig config;      // configuration that came with the frame
    kine_version version;     // frame family; 0 when never decoded

    KinePackage();
    explicit KinePackage(kine_version v);
    // User-provided, so arrays of samples carry their element count with
    // their allocation (the array resize of the read operations relies on it).
    ~KinePackage();

    bool isCorrect() const;  // produced by a decoder (version != 0)
    bool isRaw() const;      // mode bit 0: the vector is computed from raw channels

    // Recomputes x, y, z from raw[0..3] for raw-mode samples (not version 3).
    void setInvariant();
    // Removes `offset` from this sample by the rules of this sample's version.
    void setInvariant(const KinePackage& offset);

    void saveInconsistent();    // inconsistent = raw
    void saveAsInconsistent();  // raw = inconsistent

    // The operators below act on the 23 integer fields; config and version
    // are kept (compound forms) or defaulted (binary forms).
    KinePackage& operator=(int v);
    KinePackage operator+(const KinePackage& b) const;
    KinePackage operator-(const KinePackage& b) const;
    KinePackage operator-(int v) const;
    KinePackage operator*=(const KinePackage& b);
    KinePackage operator/=(int v);
    KinePackage operator/=(const KinePackage& b);

    // Force vector from four raw channels: x = r0 - r2, y = r3 - r1,
    // z = (r0 + r1 + r2 + r3) / 4, all wrapping 32-bit arithmetic.
    static void forceVector(const int32_t* r, int32_t& x, int32_t& y, int32_t& z);
};

static_assert(std::is_standard_layout<KinePackage>::value, "KinePackage crosses the C boundary");
static_assert(sizeof(KinePackage) == 100, "KinePackage is 100 bytes");
static_assert(offsetof(KinePackage, raw) == 0, "layout");
static_assert(offsetof(KinePackage, x) == 32, "layout");
static_assert(offsetof(KinePackage, x2) == 44, "layout");
static_assert(offsetof(KinePackage, inconsistent) == 56, "layout");
static_assert(offsetof(KinePackage, aux) == 88, "layout");
static_assert(offsetof(KinePackage, config) == 92, "layout");
static_assert(offsetof(KinePackage, version) == 96, "layout");

#endif  // KINE_KINEPACKAGE_H
