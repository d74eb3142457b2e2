// SPDX-License-Identifier: MIT
// The zero offset of a 6-axis unit: a KinePackage6D under another name.
#ifndef KINE_KINESENSOR6D_H
#define KINE_KINESENSOR6D_H

#include "KinePackage6D.h"

class KINE_API KineSensor6D : public KinePackage6D {
public:
    KineSensor6D() = default;
    KineSensor6D(const KinePackage6D& p) : KinePackage6D(p) {}
    using KinePackage6D::operator=;  // assigning an integer resets the offset
};

static_assert(sizeof(KineSensor6D) == sizeof(KinePackage6D), "KineSensor6D adds nothing");

#endif  // KINE_KINESENSOR6D_H
