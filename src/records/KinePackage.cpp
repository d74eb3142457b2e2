// SPDX-License-Identifier: MIT
#include "kine/KinePackage.h"

#include <cstring>

#include "records/IntegerFields.h"

using kine::records::add;
using kine::records::floatDivide;
using kine::records::mul;
using kine::records::sub;

namespace {

// Applies f to each of the 23 integer fields, in declaration order.
template <typename P, typename F>
void forEachField(P& p, F f) {
    for (auto& v : p.raw) f(v);
    f(p.x);
    f(p.y);
    f(p.z);
    f(p.x2);
    f(p.y2);
    f(p.z2);
    for (auto& v : p.inconsistent) f(v);
    f(p.aux);
}

template <typename Op>
void combine(KinePackage& out, const KinePackage& a, const KinePackage& b, Op op) {
    int32_t av[23], bv[23];
    int i = 0;
    forEachField(a, [&](const int32_t& v) { av[i++] = v; });
    i = 0;
    forEachField(b, [&](const int32_t& v) { bv[i++] = v; });
    i = 0;
    forEachField(out, [&](int32_t& v) {
        v = op(av[i], bv[i]);
        ++i;
    });
}

}  // namespace

KinePackage::KinePackage() : KinePackage(kine_version_none) {}

KinePackage::KinePackage(kine_version v)
    : raw{}, x(0), y(0), z(0), x2(0), y2(0), z2(0), inconsistent{}, aux(0), config(), version(v) {}

KinePackage::~KinePackage() {}

bool KinePackage::isCorrect() const { return version != kine_version_none; }

bool KinePackage::isRaw() const { return config.getMode() == 0; }

void KinePackage::forceVector(const int32_t* r, int32_t& fx, int32_t& fy, int32_t& fz) {
    fx = sub(r[0], r[2]);
    fy = sub(r[3], r[1]);
    fz = add(add(r[0], r[1]), add(r[2], r[3])) / 4;  // C++ division truncates toward zero
}

void KinePackage::setInvariant() {
    if (version != kine_version_3 && isRaw()) forceVector(raw, x, y, z);
}

void KinePackage::setInvariant(const KinePackage& o) {
    auto subtractRaw = [&](int n) {
        for (int i = 0; i < n; ++i) raw[i] = sub(raw[i], o.raw[i]);
    };
    auto copyVector = [&] {
        x2 = x;
        y2 = y;
        z2 = z;
    };
    switch (version) {
    case kine_version_3:
    case kine_version_6:
    case kine_version_7:
        subtractRaw(8);
        x = sub(x, o.x);
        y = sub(y, o.y);
        z = sub(z, o.z);
        copyVector();
        break;
    case kine_version_4:
        if (isRaw()) {
            subtractRaw(8);
            forceVector(raw, x, y, z);
            copyVector();
        } else {
            x = sub(x, o.x);
            y = sub(y, o.y);
            z = sub(z, o.z);
        }
        break;
    case kine_version_5:
        subtractRaw(4);
        std::memcpy(raw + 4, raw, 4 * sizeof(int32_t));
        forceVector(raw, x, y, z);
        copyVector();
        break;
    case kine_version_8:
        subtractRaw(8);
        forceVector(raw, x, y, z);
        forceVector(raw + 4, x2, y2, z2);
        break;
    default: return;  // not a decoded sample: nothing changes, aux included
    }
    aux = sub(aux, o.aux);
}

void KinePackage::saveInconsistent() { std::memcpy(inconsistent, raw, sizeof raw); }

void KinePackage::saveAsInconsistent() { std::memcpy(raw, inconsistent, sizeof raw); }

KinePackage& KinePackage::operator=(int v) {
    forEachField(*this, [v](int32_t& f) { f = v; });
    setInvariant();
    return *this;
}

KinePackage KinePackage::operator+(const KinePackage& b) const {
    KinePackage r;
    combine(r, *this, b, add);
    return r;
}

KinePackage KinePackage::operator-(const KinePackage& b) const {
    KinePackage r;
    combine(r, *this, b, sub);
    return r;
}

KinePackage KinePackage::operator-(int v) const {
    KinePackage r;
    KinePackage k;
    forEachField(k, [v](int32_t& f) { f = v; });
    combine(r, *this, k, sub);
    return r;
}

KinePackage KinePackage::operator*=(const KinePackage& b) {
    combine(*this, *this, b, mul);
    setInvariant();
    return *this;
}

KinePackage KinePackage::operator/=(int v) {
    forEachField(*this, [v](int32_t& f) { f = floatDivide(f, v); });
    setInvariant();
    return *this;
}

KinePackage KinePackage::operator/=(const KinePackage& b) {
    combine(*this, *this, b, floatDivide);
    setInvariant();
    return *this;
}
