// Streaming samples from an open DAQ into an output: the live terminal view
// or a CSV file.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kine/KineDAQ.h"

namespace kine_tools {

class Recording;

// What one row of samples holds, fixed once the DAQ is open.
struct StreamLayout {
    enum class Kind { sensors, sixAxisUnit, sixAxisComputed };
    Kind kind = Kind::sensors;
    int sensors = 1;                   // sensors per row (Kind::sensors)
    std::vector<std::string> columns;  // value columns, in row order
    std::string device;                // device path
    std::string description;           // version, sensors, speed, filter, mode
    Recording* recording = nullptr;    // CSV rows: calibration, per-sample times (recording.h)

    // The layout of an open DAQ; `sixAxis` asks for the force/torque vector
    // of a four-sensor DAQ. False (with `error` set) when that cannot be had.
    static bool of(KineDAQ& daq, const std::string& device, bool sixAxis, StreamLayout& layout, std::string& error);
};

// Counters of a stream, kept across the connections of one run.
struct StreamStatus {
    uint64_t samples = 0;         // rows so far
    double rate = 0.0;            // rows per second, over the last display interval
    uint64_t checksumErrors = 0;  // reads after which the newest frame had a bad checksum
    uint64_t overflows = 0;       // reads that reported dropped bytes
    double elapsed = 0.0;         // seconds since the stream started
    std::string state = "streaming";
};

// Rows of one read: `count` rows of `layout.columns.size()` values each,
// all read at the same host time.
struct SampleBatch {
    double monotonicSeconds = 0.0;  // since the stream started
    std::chrono::system_clock::time_point wallTime;
    int count = 0;
    const int32_t* values = nullptr;
};

class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void start(const StreamLayout& layout) = 0;
    // False when the output can no longer be written (message already printed).
    virtual bool write(const SampleBatch& batch, const StreamStatus& status) = 0;
    // Called every few milliseconds; shows the status when its interval is due.
    virtual void show(const StreamStatus& status, bool final) = 0;
    virtual bool finish(const StreamStatus& status) = 0;
};

// The live view on standard output: refreshed in place on a terminal,
// otherwise a block of lines every second.
std::unique_ptr<StreamOutput> makeLiveView();
// CSV rows to `path` ("-" for standard output), with a progress line on
// standard error when writing to a file. Null (message printed) when the
// file cannot be created.
std::unique_ptr<StreamOutput> makeCsvWriter(const std::string& path);

enum class StreamEnd { finished, interrupted, daqGone, outputFailed };

// Reads every sample of `daq` into `out` until `duration` seconds have passed
// since `start` (0: no limit), Ctrl-C, the DAQ going away or a write failure.
StreamEnd streamSamples(KineDAQ& daq, const StreamLayout& layout, double duration,
                        std::chrono::steady_clock::time_point start, StreamOutput& out, StreamStatus& status);

}  // namespace kine_tools
