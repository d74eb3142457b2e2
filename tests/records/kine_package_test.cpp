// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "daq/PackArray.h"
#include "kine/KinePackage.h"
#include "kine/KinePackage6D.h"
#include "kine/KineSensor.h"
#include "kine/KineSensor6D.h"

namespace {

KinePackage withRaw(kine_version v, int r0, int r1, int r2, int r3, bool compensated = false) {
    KinePackage p(v);
    p.raw[0] = r0;
    p.raw[1] = r1;
    p.raw[2] = r2;
    p.raw[3] = r3;
    p.config.setMode(compensated ? 1 : 0);
    return p;
}

void expectVector(const KinePackage& p, int x, int y, int z) {
    EXPECT_EQ(p.x, x);
    EXPECT_EQ(p.y, y);
    EXPECT_EQ(p.z, z);
}

TEST(KinePackage, DefaultsAndFlags) {
    KinePackage p;
    EXPECT_FALSE(p.isCorrect());
    EXPECT_TRUE(p.isRaw());
    EXPECT_EQ(p.config.to_uin8_t(), 0xB0);
    for (int v : p.raw) EXPECT_EQ(v, 0);
    EXPECT_TRUE(KinePackage(kine_version_3).isCorrect());
    KineSensor s;
    EXPECT_EQ(s.version, kine_version_none);
    EXPECT_EQ(s.x, 0);
}

TEST(KinePackage, IntegerAssignmentRecomputesVectorExceptForVersion3) {
    KinePackage v6(kine_version_6);
    v6 = 5;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(v6.raw[i], 5);
        EXPECT_EQ(v6.inconsistent[i], 5);
    }
    EXPECT_EQ(v6.aux, 5);
    EXPECT_EQ(v6.x2, 5);
    expectVector(v6, 0, 0, 5);
    EXPECT_EQ(v6.version, kine_version_6);

    KinePackage v3(kine_version_3);
    v3 = 5;
    expectVector(v3, 5, 5, 5);

    KinePackage comp(kine_version_6);
    comp.config.setMode(1);
    comp = 5;
    expectVector(comp, 5, 5, 5);
}

TEST(KinePackage, ForceVectorTruncatesTowardZeroAndWraps) {
    KinePackage p = withRaw(kine_version_4, 10, 20, 30, 41);
    p.setInvariant(KineSensor());
    expectVector(p, -20, 21, 25);
    EXPECT_EQ(p.x2, -20);
    EXPECT_EQ(p.y2, 21);
    EXPECT_EQ(p.z2, 25);

    KinePackage n = withRaw(kine_version_4, -1, -1, -1, -4);
    n.setInvariant(KineSensor());
    EXPECT_EQ(n.z, -1);  // -7 / 4 truncates to -1, not -2

    int32_t x, y, z;
    const int32_t big[4] = {INT_MAX, 1, INT_MIN, 0};
    KinePackage::forceVector(big, x, y, z);
    EXPECT_EQ(x, -1);  // INT_MAX - INT_MIN wraps
    EXPECT_EQ(y, -1);
    EXPECT_EQ(z, 0);  // the sum wraps to 0
}

// Offset removal for every version: which fields change and how.
TEST(KinePackage, OffsetRemovalPerVersion) {
    KineSensor off;
    for (int i = 0; i < 8; ++i) off.raw[i] = i + 1;
    off.x = 100;
    off.y = 200;
    off.z = 300;
    off.aux = 7;
    off.x2 = off.y2 = off.z2 = 99;
    off.inconsistent[0] = 55;

    auto sample = [](kine_version v, bool compensated) {
        KinePackage p(v);
        for (int i = 0; i < 8; ++i) p.raw[i] = 10 * (i + 1);
        p.x = 1000;
        p.y = 2000;
        p.z = 3000;
        p.x2 = p.y2 = p.z2 = -5;
        p.aux = 70;
        p.inconsistent[3] = 42;
        p.config.setMode(compensated ? 1 : 0);
        return p;
    };

    for (int v = 0; v <= 8; ++v) {
        SCOPED_TRACE(v);
        for (bool comp : {false, true}) {
            KinePackage p = sample(static_cast<kine_version>(v), comp);
            const KinePackage before = p;
            p.setInvariant(off);
            EXPECT_EQ(p.inconsistent[3], 42);  // never touched
            EXPECT_EQ(p.config.to_uin8_t(), before.config.to_uin8_t());
            EXPECT_EQ(p.version, before.version);
            switch (v) {
            case 3:
            case 6:
            case 7:
                for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], 9 * (i + 1));
                expectVector(p, 900, 1800, 2700);
                EXPECT_EQ(p.x2, 900);
                EXPECT_EQ(p.z2, 2700);
                EXPECT_EQ(p.aux, 63);
                break;
            case 4:
                if (!comp) {
                    for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], 9 * (i + 1));
                    expectVector(p, 9 - 27, 36 - 18, (9 + 18 + 27 + 36) / 4);
                    EXPECT_EQ(p.y2, 18);
                } else {
                    for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], before.raw[i]);
                    expectVector(p, 900, 1800, 2700);
                    EXPECT_EQ(p.x2, -5);
                }
                EXPECT_EQ(p.aux, 63);
                break;
            case 5:  // ignores the mode bit
                for (int i = 0; i < 4; ++i) {
                    EXPECT_EQ(p.raw[i], 9 * (i + 1));
                    EXPECT_EQ(p.raw[i + 4], p.raw[i]);
                }
                expectVector(p, -18, 18, 22);
                EXPECT_EQ(p.z2, 22);
                EXPECT_EQ(p.aux, 63);
                break;
            case 8:
                for (int i = 0; i < 8; ++i) EXPECT_EQ(p.raw[i], 9 * (i + 1));
                expectVector(p, -18, 18, 22);
                EXPECT_EQ(p.x2, 45 - 63);
                EXPECT_EQ(p.y2, 72 - 54);
                EXPECT_EQ(p.z2, (45 + 54 + 63 + 72) / 4);
                EXPECT_EQ(p.aux, 63);
                break;
            default:  // 0, 1, 2: nothing changes, not even aux
                EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
            }
        }
    }
}

TEST(KinePackage, SaveInconsistentKeepsUncorrectedRaw) {
    KinePackage p = withRaw(kine_version_6, 100, 200, 300, 400);
    p.x = 50;
    KineSensor off;
    off.raw[0] = 10;
    off.x = 5;
    p.saveInconsistent();
    p.setInvariant(off);
    EXPECT_EQ(p.raw[0], 90);
    p.saveAsInconsistent();
    EXPECT_EQ(p.raw[0], 100);
    EXPECT_EQ(p.x, 45);  // corrected vector stays
}

TEST(KinePackage, BinaryOperatorsDefaultConfigAndVersion) {
    KinePackage a = withRaw(kine_version_3, 1, 2, 3, 4, true);
    KinePackage b = withRaw(kine_version_3, 10, 20, 30, 40, true);
    a.aux = INT_MAX;
    b.aux = 1;
    KinePackage s = a + b;
    EXPECT_FALSE(s.isCorrect());
    EXPECT_EQ(s.config.to_uin8_t(), 0xB0);
    EXPECT_EQ(s.raw[3], 44);
    EXPECT_EQ(s.aux, INT_MIN);  // wraps
    KinePackage d = b - a;
    EXPECT_EQ(d.raw[1], 18);
    EXPECT_EQ(d.aux, 1 - INT_MAX);
    KinePackage m = b - 3;
    EXPECT_EQ(m.raw[0], 7);
    EXPECT_EQ(m.inconsistent[0], -3);
    EXPECT_EQ(m.version, kine_version_none);
}

TEST(KinePackage, CompoundOperatorsKeepConfigAndVersionAndReturnCopies) {
    KinePackage a = withRaw(kine_version_6, 7, -7, 9, -9);
    KinePackage b;
    b = 2;
    KinePackage r = (a *= b);
    EXPECT_EQ(a.raw[0], 14);
    EXPECT_EQ(a.raw[1], -14);
    expectVector(a, 14 - 18, -18 + 14, (14 - 14 + 18 - 18) / 4);
    EXPECT_EQ(r.raw[0], 14);
    r.raw[0] = 0;
    EXPECT_EQ(a.raw[0], 14);  // the result is a copy
    EXPECT_EQ(a.version, kine_version_6);

    KinePackage c = withRaw(kine_version_3, 7, -7, 16777217, 5);
    c /= 2;
    EXPECT_EQ(c.raw[0], 3);        // 3.5 truncates toward zero
    EXPECT_EQ(c.raw[1], -3);       // -3.5 truncates toward zero
    EXPECT_EQ(c.raw[2], 8388608);  // 2^24 + 1 loses its low bit as a float
    KinePackage divisor;
    divisor = 4;
    KinePackage e = withRaw(kine_version_3, 10, -10, 0, 0);
    e /= divisor;
    EXPECT_EQ(e.raw[0], 2);
    EXPECT_EQ(e.raw[1], -2);
    KinePackage z = withRaw(kine_version_3, 10, -10, 0, 0);
    z /= 0;  // outside the domain, but well defined here: clamped, no trap
    EXPECT_EQ(z.raw[0], INT_MAX);
    EXPECT_EQ(z.raw[1], INT_MIN);
    EXPECT_EQ(z.raw[2], 0);  // 0/0 is not a number
}

TEST(KinePackage6D, ArithmeticAndOffset) {
    KinePackage6D a;
    a = 6;
    EXPECT_EQ(a.Fx, 6);
    EXPECT_EQ(a.sensors[2].raw[7], 6);
    a.Tz = -3;
    KinePackage6D half = a;
    half /= 2;
    EXPECT_EQ(half.Fx, 3);
    EXPECT_EQ(half.Tz, -1);  // integer truncation toward zero
    EXPECT_EQ(half.sensors[0].raw[0], 3);

    KinePackage6D divisor;
    divisor = 4;
    KinePackage6D b = a;
    b.sensors[1].raw[0] = 11;
    b /= divisor;
    EXPECT_EQ(b.Fx, 1);
    EXPECT_EQ(b.Tz, 0);
    EXPECT_EQ(b.sensors[1].raw[0], 11);  // sensors untouched
    EXPECT_EQ(std::memcmp(&b.sensors[2], &a.sensors[2], sizeof(KinePackage)), 0);

    KinePackage6D sum = a + a;
    EXPECT_EQ(sum.Fy, 12);
    EXPECT_EQ(sum.sensors[3].raw[0], 12);
    EXPECT_FALSE(sum.sensors[3].isCorrect());
    KinePackage6D diff = a - 1;
    EXPECT_EQ(diff.Fz, 5);
    EXPECT_EQ(diff.sensors[0].aux, 5);
    KinePackage6D prod = a;
    prod *= a;
    EXPECT_EQ(prod.Fx, 36);
    EXPECT_EQ(prod.Tz, 9);

    KinePackage6D s;
    s.Fx = 100;
    for (auto& k : s.sensors) {
        k.version = kine_version_5;
        for (int i = 0; i < 4; ++i) k.raw[i] = 100 * (i + 1);
    }
    KineSensor6D off;
    off.Fx = 30;
    off.sensors[0].raw[0] = 50;
    s.setInvariant(off);
    EXPECT_EQ(s.Fx, 70);
    EXPECT_EQ(s.sensors[0].raw[0], 50);
    EXPECT_EQ(s.sensors[0].raw[4], 50);
    EXPECT_EQ(s.sensors[1].x, -200);
    EXPECT_EQ(s.sensors[1].y, 200);
    EXPECT_EQ(s.sensors[1].z, 250);

    KinePackage6D zeroDiv = a;
    zeroDiv /= 0;  // no trap; the axes keep their values
    EXPECT_EQ(zeroDiv.Fx, 6);
}

// Arrays of samples carry their element count in front of the elements,
// which the array resize of the read operations depends on.
TEST(KinePackage, ArrayAllocationCarriesCount) {
    KinePackage* p = new KinePackage[7];
    EXPECT_EQ(kine::alloc::elementCount(p), 7u);
    delete[] p;
    KinePackage6D* q = new KinePackage6D[3];
    EXPECT_EQ(kine::alloc::elementCount(q), 3u);
    delete[] q;
}

}  // namespace
