// SPDX-License-Identifier: MIT
// Wrapping 32-bit arithmetic and float division shared by the sample records.
#pragma once

#include <cmath>
#include <cstdint>

namespace kine::records {

// Signed 32-bit arithmetic that wraps modulo 2^32 instead of overflowing.
inline int32_t add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// (float a) / (float b), truncated toward zero. A quotient that is not a
// number or lies outside the 32-bit range has no meaningful value; it is
// clamped (NaN gives 0) so that the conversion is always well defined.
inline int32_t floatDivide(int32_t a, int32_t b) {
    float q = static_cast<float>(a) / static_cast<float>(b);
    if (std::isnan(q)) return 0;
    if (q >= 2147483648.0f) return INT32_MAX;
    if (q <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(q);  // truncates toward zero
}

// Integer division truncating toward zero; a zero divisor, which is outside
// the records' domain, leaves the value unchanged instead of trapping, and
// INT32_MIN / -1 wraps.
inline int32_t intDivide(int32_t a, int32_t b) {
    if (b == 0) return a;
    if (b == -1) return sub(0, a);
    return a / b;
}

}  // namespace kine::records
