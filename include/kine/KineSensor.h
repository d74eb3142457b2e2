// SPDX-License-Identifier: MIT
// A per-sensor zero offset: a KinePackage under another name. A default one
// is a zero offset.
#ifndef KINE_KINESENSOR_H
#define KINE_KINESENSOR_H

#include "KinePackage.h"

class KINE_API KineSensor : public KinePackage {
public:
    KineSensor() = default;
    KineSensor(const KinePackage& p) : KinePackage(p) {}
    using KinePackage::operator=;  // assigning an integer resets the offset
};

static_assert(sizeof(KineSensor) == sizeof(KinePackage), "KineSensor adds nothing");

#endif  // KINE_KINESENSOR_H
