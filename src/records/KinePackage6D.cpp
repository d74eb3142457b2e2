// SPDX-License-Identifier: MIT
#include "kine/KinePackage6D.h"

#include "records/IntegerFields.h"

using namespace kine::records;

namespace {

template <typename F>
void forEachAxis(KinePackage6D& out, const KinePackage6D& a, const KinePackage6D& b, F op) {
    out.Fx = op(a.Fx, b.Fx);
    out.Fy = op(a.Fy, b.Fy);
    out.Fz = op(a.Fz, b.Fz);
    out.Tx = op(a.Tx, b.Tx);
    out.Ty = op(a.Ty, b.Ty);
    out.Tz = op(a.Tz, b.Tz);
}

KinePackage6D filled(int v) {
    KinePackage6D k;
    k.Fx = k.Fy = k.Fz = k.Tx = k.Ty = k.Tz = v;
    return k;
}

}  // namespace

KinePackage6D::KinePackage6D() : Fx(0), Fy(0), Fz(0), Tx(0), Ty(0), Tz(0), sensors() {}

KinePackage6D::~KinePackage6D() {}

void KinePackage6D::setInvariant(const KinePackage6D& offset) {
    forEachAxis(*this, *this, offset, sub);
    for (int k = 0; k < 4; ++k) sensors[k].setInvariant(offset.sensors[k]);
}

KinePackage6D& KinePackage6D::operator=(int v) {
    Fx = Fy = Fz = Tx = Ty = Tz = v;
    for (auto& s : sensors) s = v;
    return *this;
}

KinePackage6D& KinePackage6D::operator=(const KinePackage6D& b) = default;

KinePackage6D KinePackage6D::operator+(const KinePackage6D& b) const {
    KinePackage6D r;
    forEachAxis(r, *this, b, add);
    for (int k = 0; k < 4; ++k) r.sensors[k] = sensors[k] + b.sensors[k];
    return r;
}

KinePackage6D KinePackage6D::operator-(const KinePackage6D& b) const {
    KinePackage6D r;
    forEachAxis(r, *this, b, sub);
    for (int k = 0; k < 4; ++k) r.sensors[k] = sensors[k] - b.sensors[k];
    return r;
}

KinePackage6D KinePackage6D::operator-(int v) const {
    KinePackage6D r;
    forEachAxis(r, *this, filled(v), sub);
    for (int k = 0; k < 4; ++k) r.sensors[k] = sensors[k] - v;
    return r;
}

KinePackage6D KinePackage6D::operator*=(const KinePackage6D& b) {
    forEachAxis(*this, *this, b, mul);
    for (int k = 0; k < 4; ++k) sensors[k] *= b.sensors[k];
    return *this;
}

KinePackage6D KinePackage6D::operator/=(int v) {
    forEachAxis(*this, *this, filled(v), intDivide);
    for (auto& s : sensors) s /= v;
    return *this;
}

KinePackage6D KinePackage6D::operator/=(const KinePackage6D& b) {
    forEachAxis(*this, *this, b, floatDivide);
    return *this;
}
