// SPDX-License-Identifier: MIT
#include <cmath>
#include <stdexcept>

#include "kine_sim/simulated_daq.h"

namespace kine_sim {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
}

Channel rawChannel(int i) {
    if (i < 0 || i > 7) throw std::out_of_range("raw channel index out of range");
    return static_cast<Channel>(static_cast<int>(Channel::raw0) + i);
}

Signal Signal::constant(int32_t value) {
    Signal s;
    s.a_ = value;
    return s;
}

Signal Signal::sine(double amplitude, double frequencyHz, double offset, double phaseRad) {
    Signal s;
    s.kind_ = Kind::sine;
    s.a_ = amplitude;
    s.b_ = frequencyHz;
    s.c_ = offset;
    s.d_ = phaseRad;
    return s;
}

Signal Signal::ramp(int32_t from, int32_t to, double periodSeconds) {
    Signal s;
    s.kind_ = Kind::ramp;
    s.a_ = from;
    s.b_ = to;
    s.c_ = periodSeconds;
    return s;
}

Signal Signal::frameCounter() {
    Signal s;
    s.kind_ = Kind::frameCounter;
    return s;
}

int32_t Signal::valueAt(double seconds, uint64_t frame) const {
    double v = a_;
    switch (kind_) {
    case Kind::constant: return static_cast<int32_t>(a_);
    case Kind::frameCounter: return static_cast<int32_t>(frame & 0xFFFFu);
    case Kind::sine: v = c_ + a_ * std::sin(kTwoPi * b_ * seconds + d_); break;
    case Kind::ramp:
        if (c_ > 0.0) {
            const double phase = seconds / c_ - std::floor(seconds / c_);
            return static_cast<int32_t>(std::floor(a_ + (b_ - a_) * phase));
        }
        break;
    }
    return static_cast<int32_t>(std::lround(v));
}

}  // namespace kine_sim
