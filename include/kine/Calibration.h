// SPDX-License-Identifier: MIT
// kine::Calibration: one sensor's linear map from counts to SI units, read
// from a calibration file (JSON, described in docs/calibration.md).
//
//     values = matrix * (counts - offset)
//
// `counts` are the inputs the file names: the force channels x, y, z of a
// three-axis sensor, its raw channels raw[0..N-1], or the six axes Fx..Tz of
// a six-axis unit (or of a four-sensor DAQ's force/torque vector). The
// matrix has 3 rows (Fx, Fy, Fz in N) or, for the six axes, 6 rows (Fx, Fy,
// Fz in N, Tx, Ty, Tz in N·m); the offset is in counts.
//
// Errors are results, as everywhere in the library: load and fits return
// false and set a one-line text that names the file and the field.
// A Calibration is a value: copy it freely; const members may be called from
// several threads at once.
#ifndef KINE_CALIBRATION_H
#define KINE_CALIBRATION_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KinePackage.h"
#include "KinePackage6D.h"
#include "kine_export.h"

namespace kine {

class KINE_API Calibration {
public:
    // Which values of a sample the matrix reads.
    enum class Inputs { force, raw, axes };

    Calibration();  // empty: no outputs; load or parse fills it
    Calibration(const Calibration& other);
    Calibration& operator=(const Calibration& other);
    Calibration(Calibration&& other) noexcept;
    Calibration& operator=(Calibration&& other) noexcept;
    ~Calibration();

    // Reads and checks a calibration file. `source` names the text in messages.
    static bool load(const std::string& path, Calibration& out, std::string& error);
    static bool parse(const std::string& text, const std::string& source, Calibration& out, std::string& error);
    // The file's JSON text, and writing it (atomically: a new file renamed over the old).
    std::string toJson() const;
    bool save(const std::string& path, std::string& error) const;

    // Whether this calibration belongs to a DAQ with serial `daqSerial`
    // (empty: unknown, not checked) and `sensorCount` sensors; `sixAxis` is
    // true when the samples read are six axes (a six-axis unit, or four
    // sensors combined).
    bool fits(const std::string& daqSerial, int sensorCount, bool sixAxis, std::string& error) const;

    const std::string& daqSerial() const;
    int sensor() const;  // sensor index on the DAQ; 0 for six axes
    const std::string& sensorSerial() const;
    const std::string& date() const;
    Inputs inputs() const;
    int inputCount() const;                         // matrix columns: 3, 1..8 raw channels, or 6
    int outputCount() const;                        // matrix rows: 3 or 6; 0 when empty
    const std::vector<double>& matrix() const;      // row-major, outputCount() x inputCount()
    const std::vector<double>& offset() const;      // inputCount() counts
    const std::vector<std::string>& units() const;  // per output: "N" or "N·m"
    static const char* outputName(int output);      // "Fx", "Fy", "Fz", "Tx", "Ty", "Tz"

    // Replaces the offset (counts; e.g. a tare). False when the length is not
    // inputCount() or a value is not finite.
    bool setOffset(const std::vector<double>& offset, std::string& error);
    // The inputs of this calibration taken from a sample, as counts.
    std::vector<double> inputsOf(const KinePackage& sample) const;
    std::vector<double> inputsOf(const KinePackage6D& sample) const;

    // Writes outputCount() values per sample to `out`. A sample of the wrong
    // kind (a KinePackage for an "axes" calibration, or the reverse) gives
    // false and writes nothing.
    bool apply(const KinePackage& sample, double* out) const;
    bool apply(const KinePackage6D& sample, double* out) const;
    bool apply(const KinePackage* samples, int count, double* out) const;
    bool apply(const KinePackage6D* samples, int count, double* out) const;
    // From inputCount() counts per sample, in input order (e.g. the six
    // integers per sample of readAll6Axis).
    void applyCounts(const int32_t* counts, int count, double* out) const;

private:
    struct Data;
    std::unique_ptr<Data> d_;
};

}  // namespace kine

#endif  // KINE_CALIBRATION_H
