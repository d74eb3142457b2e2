// SPDX-License-Identifier: MIT
#include "output_thread.h"

#include <chrono>
#include <utility>

namespace kine_tools {

OutputThread::OutputThread(StreamOutput& out, size_t capacity)
    : out_(out), capacity_(capacity), thread_([this] { run(); }) {}

OutputThread::~OutputThread() { stop(); }

bool OutputThread::push(SampleBatch&& batch) {
    std::lock_guard<std::mutex> lock(m_);
    const size_t n = static_cast<size_t>(batch.count);
    if (failed_ || queued_ + n > capacity_) return false;
    queued_ += n;
    queue_.push_back(std::move(batch));
    wake_.notify_one();
    return true;
}

void OutputThread::publish(const StreamStatus& status) {
    std::lock_guard<std::mutex> lock(m_);
    status_ = status;
}

bool OutputThread::failed() {
    std::lock_guard<std::mutex> lock(m_);
    return failed_;
}

void OutputThread::stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

bool OutputThread::finish(const StreamStatus& status) {
    publish(status);
    stop();
    std::lock_guard<std::mutex> lock(m_);
    return !failed_;
}

void OutputThread::run() {
    std::deque<SampleBatch> batches;
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        // Woken by a batch; otherwise a few times a second for the status.
        wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !queue_.empty() || stopping_; });
        const bool last = stopping_;
        batches.swap(queue_);
        const StreamStatus status = status_;
        lock.unlock();

        bool ok = true;
        for (SampleBatch& b : batches) {
            if (ok) ok = out_.write(b, status);
            {
                std::lock_guard<std::mutex> g(m_);
                queued_ -= static_cast<size_t>(b.count);
            }
        }
        batches.clear();
        if (ok && !last) out_.show(status, false);  // the last status is the summary's

        lock.lock();
        if (!ok) {
            // Nothing more can be written; what is still queued is let go.
            failed_ = true;
            queued_ = 0;
            queue_.clear();
            return;
        }
        if (last && queue_.empty()) return;
    }
}

}  // namespace kine_tools
