// SPDX-License-Identifier: MIT
// The exported C functions of calibration: each forwards to kine::Calibration.
#include <algorithm>
#include <cstring>
#include <string>

#include "kine/Calibration.h"
#include "kine/KinePackage.h"
#include "kine/KinePackage6D.h"
#include "kine/kine_c.h"

namespace {

const kine::Calibration* calibrationOf(const KineCalibration* c) {
    return reinterpret_cast<const kine::Calibration*>(c);
}

void copyText(const std::string& text, char* out, int size) {
    if (!out || size <= 0) return;
    const size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

extern "C" {

KineCalibration* callCalibration_Load(const char* path, char* error, int error_size) {
    try {
        if (!path) {
            copyText("no calibration file given", error, error_size);
            return nullptr;
        }
        auto* c = new kine::Calibration();
        std::string why;
        if (!kine::Calibration::load(path, *c, why)) {
            delete c;
            copyText(why, error, error_size);
            return nullptr;
        }
        return reinterpret_cast<KineCalibration*>(c);
    } catch (...) {
        copyText("out of memory while reading the calibration file", error, error_size);
        return nullptr;
    }
}

void callCalibration_Dispose(KineCalibration* calibration) { delete reinterpret_cast<kine::Calibration*>(calibration); }

int callCalibration_Outputs(const KineCalibration* calibration) {
    return calibration ? calibrationOf(calibration)->outputCount() : 0;
}

int callCalibration_Inputs(const KineCalibration* calibration) {
    return calibration ? static_cast<int>(calibrationOf(calibration)->inputs()) : -1;
}

int callCalibration_InputCount(const KineCalibration* calibration) {
    return calibration ? calibrationOf(calibration)->inputCount() : 0;
}

int callCalibration_Sensor(const KineCalibration* calibration) {
    return calibration ? calibrationOf(calibration)->sensor() : -1;
}

const char* callCalibration_Text(const KineCalibration* calibration, const char* name) {
    if (!calibration || !name) return nullptr;
    const kine::Calibration& c = *calibrationOf(calibration);
    const std::string n = name;
    if (n == "daq_serial") return c.daqSerial().c_str();
    if (n == "sensor_serial") return c.sensorSerial().c_str();
    if (n == "date") return c.date().c_str();
    if (n.size() == 5 && n.compare(0, 4, "unit") == 0 && n[4] >= '0' && n[4] < '0' + c.outputCount())
        return c.units()[static_cast<size_t>(n[4] - '0')].c_str();
    return nullptr;
}

int callCalibration_Apply(const KineCalibration* calibration, const kine_package* samples, int count, double* values) {
    if (!calibration || !samples || !values || count < 0) return -1;
    const auto* s = reinterpret_cast<const KinePackage*>(samples);
    return calibrationOf(calibration)->apply(s, count, values) ? count : -1;
}

int callCalibration_Apply6D(const KineCalibration* calibration, const kine_package6d* samples, int count,
                            double* values) {
    if (!calibration || !samples || !values || count < 0) return -1;
    const auto* s = reinterpret_cast<const KinePackage6D*>(samples);
    return calibrationOf(calibration)->apply(s, count, values) ? count : -1;
}

int callCalibration_ApplyCounts(const KineCalibration* calibration, const int32_t* counts, int count, double* values) {
    if (!calibration || !counts || !values || count < 0) return -1;
    calibrationOf(calibration)->applyCounts(counts, count, values);
    return count;
}

}  // extern "C"
