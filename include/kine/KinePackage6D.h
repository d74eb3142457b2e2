// SPDX-License-Identifier: MIT
// One sample of a 6-axis unit: the force/torque axes and the four 3-axis
// samples the unit's frame was built from. Layout crosses the C interface.
#ifndef KINE_KINEPACKAGE6D_H
#define KINE_KINEPACKAGE6D_H

#include "KinePackage.h"

class KINE_API KinePackage6D {
public:
    int32_t Fx, Fy, Fz;  // force
    int32_t Tx, Ty, Tz;  // torque
    KinePackage sensors[4];

    KinePackage6D();
    ~KinePackage6D();

    // Subtracts the offset's axes, then removes each sensor's offset.
    void setInvariant(const KinePackage6D& offset);

    KinePackage6D& operator=(int v);
    KinePackage6D& operator=(const KinePackage6D& b);
    KinePackage6D(const KinePackage6D& b) = default;
    KinePackage6D operator+(const KinePackage6D& b) const;
    KinePackage6D operator-(const KinePackage6D& b) const;
    KinePackage6D operator-(int v) const;
    KinePackage6D operator*=(const KinePackage6D& b);
    // Axes divided in integer arithmetic (a zero divisor leaves them as they
    // are); sensors by the floating KinePackage division.
    KinePackage6D operator/=(int v);
    // Axes divided as floats and truncated; the sensors are left alone.
    KinePackage6D operator/=(const KinePackage6D& b);
};

static_assert(std::is_standard_layout<KinePackage6D>::value, "KinePackage6D crosses the C boundary");
static_assert(sizeof(KinePackage6D) == 424, "KinePackage6D is 424 bytes");
static_assert(offsetof(KinePackage6D, Tz) == 20, "layout");
static_assert(offsetof(KinePackage6D, sensors) == 24, "layout");

#endif  // KINE_KINEPACKAGE6D_H
