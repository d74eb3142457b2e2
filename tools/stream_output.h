// SPDX-License-Identifier: MIT
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
    uint64_t samples = 0;         // samples delivered to the output so far
    uint64_t lost = 0;            // samples read or sent by the DAQ but not delivered
    double rate = 0.0;            // samples per second, over the last display interval
    uint64_t checksumErrors = 0;  // reads after which the newest frame had a bad checksum
    uint64_t overflows = 0;       // reads that reported dropped bytes
    double elapsed = 0.0;         // seconds since the stream started
    std::string state = "streaming";

    // The number of the next sample: lost samples keep their numbers.
    uint64_t nextSample() const { return samples + lost; }
};

// Samples of one read, numbered from `firstSample`: `count` rows of
// `layout.columns.size()` values each, all read at the same host time.
struct SampleBatch {
    double monotonicSeconds = 0.0;  // since the stream started
    std::chrono::system_clock::time_point wallTime;
    uint64_t firstSample = 0;
    int count = 0;
    std::vector<int32_t> values;
};

// The CSV header of a layout, and the CSV rows of a batch (each ends in a newline).
std::string csvHeader(const StreamLayout& layout);
std::string csvRows(const SampleBatch& batch, size_t width);

// One status line: rate, samples, time, checksum, state, overflows and losses.
std::string statusLine(const StreamStatus& s);

// Where the samples of a stream go. Called from one thread at a time.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void start(const StreamLayout& layout) = 0;
    // False when the output can no longer be written (message already printed).
    virtual bool write(const SampleBatch& batch, const StreamStatus& status) = 0;
    // Called every few milliseconds; shows the status when its interval is due.
    virtual void show(const StreamStatus& status, bool final) = 0;
    // The summary: `lossSummary` is added to it. False when the output failed.
    virtual bool finish(const StreamStatus& status, const std::string& lossSummary) = 0;
    // The reader of a pipe went away (the failure is not an error to report).
    virtual bool pipeClosed() const { return false; }
};

// The progress of a stream into a file, on standard error: redrawn in
// place on a terminal, otherwise a line every ten seconds.
class ProgressLine {
public:
    ProgressLine();
    void show(const std::string& path, const StreamStatus& status, bool final);
    // Ends a line redrawn in place, before the summary.
    void end();

private:
    const bool tty_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point lastShown_ = std::chrono::steady_clock::now();
};

// The live view on standard output: refreshed in place on a terminal,
// otherwise a block of lines every second.
std::unique_ptr<StreamOutput> makeLiveView();
// CSV rows to `path` ("-" for standard output), with a progress line on
// standard error when writing to a file. Null (message printed) when the
// file cannot be created.
std::unique_ptr<StreamOutput> makeCsvWriter(const std::string& path);
// Both outputs get every batch; the first one shows the progress.
std::unique_ptr<StreamOutput> makeBothOutputs(std::unique_ptr<StreamOutput> first,
                                              std::unique_ptr<StreamOutput> second);

class OutputThread;
class SampleLoss;

enum class StreamEnd { finished, interrupted, daqGone, outputFailed };

// Reads every sample of `daq` into `out` until `duration` seconds have passed
// since `start` (0: no limit), Ctrl-C, the DAQ going away or a write failure.
// Never waits for the output: samples the output has no room for are
// counted in `loss`, as are samples the library dropped because they were
// not read in time.
StreamEnd streamSamples(KineDAQ& daq, const StreamLayout& layout, double duration,
                        std::chrono::steady_clock::time_point start, OutputThread& out, SampleLoss& loss,
                        StreamStatus& status);

}  // namespace kine_tools
