// SPDX-License-Identifier: MIT
// The read operations: each runs one decoder pass over what the reader has
// collected since the previous pass and hands the result out in one shape.
// Samples of a pass that the operation does not hand out are discarded.
//
// Results: the decoder's count (samples of sensor 0 in the pass, or 6-axis
// samples) or one of the read codes of kine/kine_result.h.
#include <algorithm>

#include "daq/KineDAQ_private.h"
#include "daq/PackArray.h"
#include "records/IntegerFields.h"

using kine::alloc::reallocPackArray;
using kine::records::add;
using kine::records::sub;

namespace {

constexpr int kMaxSensors = 16;

int32_t scaled(int32_t sum, double factor) { return static_cast<int32_t>(static_cast<double>(sum) * factor); }

}  // namespace

int KineDAQ_private::pass3D(bool keep) { return readPass3D(keep).result; }

int KineDAQ_private::pass6D(bool keep) { return readPass6D(keep).result; }

int KineDAQ_private::sensorsPerPass() const { return std::clamp(decoder.unit.sensorCount, 1, kMaxSensors); }

int KineDAQ_private::read(KinePackage& sample, int sensor, bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    if (sensor < 0 || sensor >= kMaxSensors) return KINE_NO_SUCH_SENSOR;
    if (decoder.unit.sensorCount != 0 && sensor >= decoder.unit.sensorCount) return KINE_NO_SUCH_SENSOR;
    const int r = pass3D(keep);
    const auto& out = passSamples3D_;
    if (!out[sensor].empty()) sample = out[sensor].back();
    return r;
}

int KineDAQ_private::readVirtual(KinePackage (&samples)[16], bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    const int r = pass3D(keep);
    const auto& out = passSamples3D_;
    if (!out[0].empty()) {
        const int n = std::min(decoder.unit.sensorCount, kMaxSensors);
        for (int s = 0; s < n; ++s)
            if (!out[s].empty()) samples[s] = out[s].back();
    }
    return r;
}

int KineDAQ_private::readArray(int (&values)[8], bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    const int r = pass3D(keep);
    const auto& out = passSamples3D_;
    const KinePackage p = out[0].empty() ? KinePackage() : out[0].back();
    const int32_t v[8] = {p.raw[0], p.raw[1], p.raw[2], p.raw[3], p.x, p.y, p.z, p.aux};
    std::copy(v, v + 8, values);
    return r;
}

int KineDAQ_private::readVirtualArray(int (&values)[128], bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    const int r = pass3D(keep);
    const auto& out = passSamples3D_;
    const bool decoded = !out[0].empty();
    const int n = std::min(decoder.unit.sensorCount, kMaxSensors);
    for (int s = 0; s < n; ++s) {
        const KinePackage p = decoded && !out[s].empty() ? out[s].back() : KinePackage();
        const int32_t v[8] = {p.x, p.y, p.z, p.raw[0], p.raw[1], p.raw[2], p.raw[3], p.aux};
        std::copy(v, v + 8, values + 8 * s);
    }
    return r;
}

int KineDAQ_private::readAll(KinePackage*& samples, bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    const int r = pass3D(keep);
    const auto& out = passSamples3D_;
    if (r == KINE_READ_OVERFLOW) return KINE_READ_OVERFLOW;
    if (out[0].empty()) {
        delete[] samples;
        samples = nullptr;
        return 0;
    }
    // Sensor-major: sensor s's samples, oldest first, at s*count .. s*count + count - 1.
    // A sensor with fewer samples than sensor 0 (the sensor count changed
    // within the pass) is padded with default samples.
    const int count = static_cast<int>(out[0].size());
    const int n = sensorsPerPass();
    reallocPackArray(samples, n * count);
    for (int s = 0; s < n; ++s) {
        const SampleRun& q = out[s];
        for (int i = 0; i < count; ++i)
            samples[s * count + i] = static_cast<size_t>(i) < q.size() ? q[static_cast<size_t>(i)] : KinePackage();
    }
    return count;
}

int KineDAQ_private::read6D(KinePackage6D& sample, bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    const int r = pass6D(keep);
    const auto& out = passSamples6D_;
    if (!out.empty()) sample = out.back();
    return r;
}

int KineDAQ_private::readAll6D(KinePackage6D*& samples, bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    const int r = pass6D(keep);
    const auto& out = passSamples6D_;
    if (r == KINE_READ_OVERFLOW) return KINE_READ_OVERFLOW;
    if (out.empty()) {
        delete[] samples;
        samples = nullptr;
        return 0;
    }
    const int count = static_cast<int>(out.size());
    reallocPackArray(samples, count);
    std::copy(out.begin(), out.end(), samples);
    return count;
}

namespace {

// Force vector then torque of four sensors, in the six-value layout.
void sixAxes(KineDAQ_private& d, KinePackage& a, KinePackage& b, KinePackage& c, KinePackage& e, int* values) {
    const KinePackage f = d.calc6axisVector(a, b, c, e);
    const KinePackage t = d.calc6axisTorque(a, b, c, e);
    const int32_t v[6] = {f.x, f.y, f.z, t.x, t.y, t.z};
    std::copy(v, v + 6, values);
}

}  // namespace

int KineDAQ_private::read6Axis(int (&values)[6], bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    if (decoder.unit.sensorCount != 4) return KINE_NO_SUCH_SENSOR;
    KinePackage samples[16];
    const int r = readVirtual(samples, keep);
    if (r > 0) sixAxes(*this, samples[0], samples[1], samples[2], samples[3], values);
    return r;
}

int KineDAQ_private::readAll6Axis(int*& values, bool keep) {
    if (!reader.isOpened()) return KINE_NOT_OPEN;
    if (decoder.unit.sensorCount != 4) return KINE_NO_SUCH_SENSOR;
    delete[] values;
    values = nullptr;
    KinePackage* all = nullptr;
    const int r = readAll(all, keep);
    if (r != KINE_READ_OVERFLOW) {
        const int count = std::max(r, 0);
        values = new int[static_cast<size_t>(6 * count)];
        // readAll laid out sensorsPerPass() sensors; a sensor it did not
        // lay out (the count changed within the pass) reads as a default sample.
        const int n = sensorsPerPass();
        for (int i = 0; i < count; ++i) {
            KinePackage s[4];
            for (int k = 0; k < 4 && k < n; ++k) s[k] = all[k * count + i];
            sixAxes(*this, s[0], s[1], s[2], s[3], values + 6 * i);
        }
    }
    delete[] all;
    return r;
}

KinePackage KineDAQ_private::calc6axisVector(KinePackage& a, KinePackage& b, KinePackage& c, KinePackage& d) {
    KinePackage v;
    v.x = scaled(add(add(a.x, b.x), add(c.x, d.x)), 0.25);
    v.y = scaled(add(add(a.y, b.y), add(c.y, d.y)), 0.25);
    v.z = scaled(add(add(a.z, b.z), add(c.z, d.z)), 0.0625);
    return v;
}

KinePackage KineDAQ_private::calc6axisTorque(KinePackage& a, KinePackage& b, KinePackage& c, KinePackage& d) {
    KinePackage t;
    t.x = scaled(sub(a.z, c.z), 0.5);
    t.y = scaled(sub(d.z, b.z), 0.5);
    t.z = scaled(add(sub(sub(0, a.x), b.x), add(c.y, d.x)), 0.25);
    return t;
}
