// SPDX-License-Identifier: MIT
// What `kine stream` records beyond the raw counts: the settings applied at
// the start, a tare, calibrations to SI units, a host time per sample, and
// the metadata that makes a file describe itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "kine/Calibration.h"
#include "kine/KineDAQ.h"
#include "sample_clock.h"
#include "stream_output.h"

namespace kine_tools {

// Speed, filter and mode to set; zero, -1 and empty leave a field unchanged.
struct Settings {
    int speed = 0;
    int filter = -1;
    std::string mode;
    bool any() const { return speed != 0 || filter >= 0 || !mode.empty(); }
};

std::string configText(const SensorConfig& c);

// Sends `wanted` and reads the configuration back from the DAQ: true when
// every field asked for reads back; `got` is what the DAQ reports.
bool applySettings(KineDAQ& daq, const Settings& wanted, SensorConfig& got);

struct RecordingOptions {
    Settings settings;
    bool zero = false;                          // tare on the first samples
    std::vector<std::string> calibrationFiles;  // one per sensor, or one for six axes
    bool force = false;                         // overwrite an existing output file
};

// The metadata of one recording, written as a sidecar FILE.json.
struct RecordingInfo {
    std::string port, deviceVersion, daqSerial;
    int protocolVersion = 0, sensors = 0;
    std::string layout;  // "sensors", "six-axis unit", "six-axis from four sensors"
    SensorConfig config;
    std::vector<std::string> columns, units;
    struct CalibrationFile {
        std::string path, sha256, sensorSerial, date;
        int sensor = 0;
    };
    std::vector<CalibrationFile> calibrations;
    std::vector<std::vector<double>> zeroOffsets;  // counts per sensor (or the six axes); empty: no tare
    std::string startTime;                         // ISO 8601 UTC
};

class Recording {
public:
    // Refuses an output file that exists (and, with `sidecar`, its FILE.json)
    // unless `force`. Returns kExitOk, or kExitFailed after a line on
    // standard error.
    static int checkOutput(const std::string& path, bool force, bool sidecar = true);

    // Right after open: applies the settings and confirms them from the DAQ,
    // loads and checks the calibrations, and tares. `daqSerial` is what
    // discovery knows (empty when unknown). Returns kExitOk, or kExitFailed
    // after a line on standard error: nothing is recorded then.
    int prepare(KineDAQ& daq, const RecordingOptions& o, const std::string& path, const std::string& deviceVersion,
                const std::string& daqSerial, bool sixAxis);

    // Column names with units for calibrated values, e.g. "s1_Fx (N)".
    void relabel(StreamLayout& layout);
    // After a reconnect: the settings again (an 0xAA-family DAQ is back at
    // 100 Hz after every open) and, with a tare, a new tare, since offsets
    // belong to a connection. Returns kExitOk or kExitFailed after a message.
    int resume(KineDAQ& daq, const std::string& path);
    const RecordingInfo& info() const { return info_; }

    // CSV rows of a batch, numbered from `firstSample`; values of a
    // calibrated sensor go out in SI units.
    std::string csvHeader(const StreamLayout& layout) const;
    void appendCsvRows(const SampleBatch& batch, size_t width, uint64_t firstSample, std::string& rows);

    // Each sample's host time (monotonic seconds since the start) from the
    // clock model. Several outputs of one stream ask for the same batch in
    // turn: the model advances once per batch.
    const std::vector<double>& sampleTimes(const SampleBatch& batch);
    // One row's values as recorded: SI units for calibrated columns, counts
    // for the others.
    void rowValues(const int32_t* row, size_t width, double* values) const;
    bool calibrated() const { return !calibrations_.empty(); }

    // The metadata as a JSON document, naming `dataFile` as its data.
    std::string metadata(const std::string& dataFile) const;
    // Writes FILE.json beside the output. False with a line on standard error.
    bool writeSidecar(const std::string& csv);

private:
    const kine::Calibration* calibrationOfColumn(size_t column, int& output) const;
    int applyAtStart(KineDAQ& daq, const std::string& path);
    void tare(KineDAQ& daq);

    RecordingOptions options_;
    StreamLayout::Kind kind_ = StreamLayout::Kind::sensors;
    std::vector<kine::Calibration> calibrations_;
    SampleClock clock_;
    std::vector<double> times_;
    bool timed_ = false;
    uint64_t timedFirst_ = 0;  // first sample of the batch times_ belongs to
    RecordingInfo info_;
};

// ISO 8601 UTC time with microseconds, e.g. 2024-05-01T12:00:00.123456Z.
std::string isoTime(std::chrono::system_clock::time_point t);

// SHA-256 of a file in hex; empty when it cannot be read.
std::string fileSha256(const std::string& path);

}  // namespace kine_tools
