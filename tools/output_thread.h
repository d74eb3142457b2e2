// SPDX-License-Identifier: MIT
// The output of a stream on a thread of its own, fed through a bounded queue,
// so that a slow pipe or disk never holds up the reading of the DAQ.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "stream_output.h"

namespace kine_tools {

class OutputThread {
public:
    // Writes into `out` (already started) on a new thread; the queue holds at
    // most `capacity` samples that are read but not yet written.
    OutputThread(StreamOutput& out, size_t capacity);
    ~OutputThread();  // writes what is queued, then ends the thread
    OutputThread(const OutputThread&) = delete;
    OutputThread& operator=(const OutputThread&) = delete;

    // Queues a batch without waiting. False when it does not fit (the batch
    // is then the caller's to count as lost) or the output has failed.
    bool push(SampleBatch&& batch);
    // The counters the output shows next.
    void publish(const StreamStatus& status);
    // The output could no longer be written: the stream should end.
    bool failed();
    // Writes everything queued with `status` and ends the thread; the output
    // is then the caller's to finish. False when the output failed.
    bool finish(const StreamStatus& status);

private:
    void run();
    void stop();

    StreamOutput& out_;
    const size_t capacity_;
    std::mutex m_;
    std::condition_variable wake_;
    std::deque<SampleBatch> queue_;
    size_t queued_ = 0;  // samples in queue_
    StreamStatus status_;
    bool stopping_ = false, failed_ = false;
    std::thread thread_;
};

}  // namespace kine_tools
