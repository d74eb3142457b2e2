// SPDX-License-Identifier: MIT
// One DAQ shown by `kine serve`: its connection, the thread that reads it,
// the samples of the last seconds and the counters the page shows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kine/KineDAQ.h"
#include "stream_output.h"

namespace kine_tools {

// The outcome of an action on a DAQ, as the HTTP reply carries it.
struct ActionResult {
    int status = 200;     // HTTP status
    std::string message;  // said to the user
};

// Owns its KineDAQ: only the reader thread touches it, and actions from
// other threads (zero, configuration) run on that thread between reads.
// Every public member may be called from any thread.
class ServedDaq {
public:
    enum class State { opening, streaming, gone, failed, closed };

    // Rows of samples: times (seconds since the server's epoch) and
    // `width` values per row.
    struct Rows {
        uint64_t first = 0;    // sequence number of the first row
        uint64_t skipped = 0;  // rows asked for that had already left the history
        size_t width = 0;
        std::vector<double> times;
        std::vector<int32_t> values;
    };

    struct Status {
        State state = State::opening;
        std::string message;  // why it failed, or went away
        StreamLayout layout;  // valid once streaming
        SensorConfig config;
        double rate = 0.0;            // samples per second over the last second
        uint64_t samples = 0;         // rows read since the open
        uint64_t checksumErrors = 0;  // reads after which the newest frame had a bad checksum
        uint64_t overflows = 0;       // reads that reported lost bytes: samples lost
        bool zeroed = false;
    };

    // Keeps `windowSeconds` of samples at up to 1,000 per second; times are
    // counted from `epoch`. The open starts at once, on the reader thread.
    ServedDaq(std::string node, std::string deviceVersion, double windowSeconds,
              std::chrono::steady_clock::time_point epoch);
    ~ServedDaq();  // stops reading and closes the connection
    ServedDaq(const ServedDaq&) = delete;
    ServedDaq& operator=(const ServedDaq&) = delete;

    const std::string& node() const { return node_; }
    Status status() const;
    bool running() const;  // opening or streaming

    // Rows from sequence number `from` on, at most `maxRows` (the newest).
    Rows since(uint64_t from, size_t maxRows) const;
    // The rows of the last `seconds`.
    Rows lastSeconds(double seconds) const;
    uint64_t nextSequence() const;

    // Runs `action` on the reader thread between two reads and returns its
    // result; 409 when the DAQ is not streaming, 504 when the reader does
    // not get to it within `limit`.
    ActionResult run(const std::function<ActionResult(KineDAQ&)>& action,
                     std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

    // The configuration or zeroing changed: the layout and counters are read again.
    void refreshLayout(KineDAQ& daq);
    void setZeroed(bool zeroed);

private:
    struct Pending;
    void readLoop();
    void append(const std::vector<int32_t>& rows, int count, double now);
    void runPending(KineDAQ& daq);
    void setState(State s, const std::string& message = std::string());

    const std::string node_;
    const std::string deviceVersion_;
    const std::chrono::steady_clock::time_point epoch_;
    KineDAQ daq_;

    mutable std::mutex mutex_;  // everything below
    Status status_;
    size_t capacity_;  // rows kept
    std::vector<double> times_;
    std::vector<int32_t> values_;
    uint64_t next_ = 0;  // sequence number of the next row
    double lastTime_ = 0.0;
    std::deque<Pending*> pending_;
    bool opening_ = true;

    std::atomic<bool> stop_{false};
    std::thread reader_;
};

const char* stateName(ServedDaq::State s);

}  // namespace kine_tools
