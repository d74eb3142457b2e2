// SPDX-License-Identifier: MIT
#include "serve_daq.h"

#include <algorithm>
#include <cmath>

#include "daq_session.h"
#include "kine/KPort.h"
#include "kine/kine_result.h"
#include "sample_rows.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMaxRate = 1000.0;  // the fastest speed setting, samples per second

// The caller-owned arrays of the reads.
struct ReadArrays {
    KinePackage* samples = nullptr;
    KinePackage6D* samples6D = nullptr;
    ~ReadArrays() {
        delete[] samples;
        delete[] samples6D;
    }
};

// Waits in the library (at most 20 ms, so that zero and configuration
// requests between reads are not held up) for the samples decoded since the
// last read, as rows of `layout.columns.size()` values.
int readRows(KineDAQ& daq, const StreamLayout& layout, ReadArrays& a, std::vector<int32_t>& rows) {
    constexpr int kWaitMs = 20;
    const size_t width = layout.columns.size();
    if (layout.kind == StreamLayout::Kind::sixAxisUnit) {
        const int r = daq.waitReadAll6D(a.samples6D, kWaitMs);
        sixAxisRows(a.samples6D, r, rows);
        return r;
    }
    const int r = daq.waitReadAll(a.samples, kWaitMs);
    sensorRows(a.samples, r, std::min(layout.sensors, daq.getSensorSize()), width, rows);
    return r;
}

}  // namespace

const char* stateName(ServedDaq::State s) {
    switch (s) {
    case ServedDaq::State::opening: return "opening";
    case ServedDaq::State::streaming: return "streaming";
    case ServedDaq::State::gone: return "gone";
    case ServedDaq::State::failed: return "failed";
    case ServedDaq::State::closed: return "closed";
    }
    return "unknown";
}

// An action waiting for the reader thread.
struct ServedDaq::Pending {
    std::function<ActionResult(KineDAQ&)> action;
    ActionResult result;
    bool done = false;
    std::condition_variable finished;
};

ServedDaq::ServedDaq(std::string node, std::string deviceVersion, double windowSeconds, Clock::time_point epoch)
    : node_(std::move(node)),
      deviceVersion_(std::move(deviceVersion)),
      epoch_(epoch),
      capacity_(static_cast<size_t>(std::max(1.0, windowSeconds) * kMaxRate * 1.1)) {
    times_.resize(capacity_);
    reader_ = std::thread([this] { readLoop(); });
}

ServedDaq::~ServedDaq() {
    stop_ = true;
    {
        // An open under way is cancelled by a close from here; once it has
        // returned, only the reader thread touches the connection.
        std::lock_guard<std::mutex> lock(mutex_);
        if (opening_) daq_.close();
    }
    reader_.join();
}

ServedDaq::Status ServedDaq::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool ServedDaq::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_.state == State::opening || status_.state == State::streaming;
}

uint64_t ServedDaq::nextSequence() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
}

ServedDaq::Rows ServedDaq::since(uint64_t from, size_t maxRows) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Rows rows;
    rows.width = status_.layout.columns.size();
    const uint64_t oldest = next_ > capacity_ ? next_ - capacity_ : 0;
    uint64_t start = std::max(from, oldest);
    if (next_ - std::min(start, next_) > maxRows) start = next_ - maxRows;
    rows.skipped = start > from ? start - from : 0;
    rows.first = start;
    for (uint64_t s = start; s < next_; ++s) {
        const size_t slot = static_cast<size_t>(s % capacity_);
        rows.times.push_back(times_[slot]);
        rows.values.insert(rows.values.end(), values_.begin() + static_cast<std::ptrdiff_t>(slot * rows.width),
                           values_.begin() + static_cast<std::ptrdiff_t>((slot + 1) * rows.width));
    }
    return rows;
}

ServedDaq::Rows ServedDaq::lastSeconds(double seconds) const {
    uint64_t from = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t oldest = next_ > capacity_ ? next_ - capacity_ : 0;
        from = next_;
        while (from > oldest && times_[static_cast<size_t>((from - 1) % capacity_)] > lastTime_ - seconds) --from;
    }
    Rows rows = since(from, capacity_);
    rows.skipped = 0;
    return rows;
}

ActionResult ServedDaq::run(const std::function<ActionResult(KineDAQ&)>& action, std::chrono::milliseconds limit) {
    Pending p;
    p.action = action;
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_.state != State::streaming) return {409, "the DAQ on " + node_ + " is not streaming"};
    pending_.push_back(&p);
    if (!p.finished.wait_for(lock, limit, [&] { return p.done; })) {
        // Taken back unless the reader has it already, in which case it is waited for.
        const auto it = std::find(pending_.begin(), pending_.end(), &p);
        if (it != pending_.end()) {
            pending_.erase(it);
            return {504, "the DAQ on " + node_ + " did not get to the request in time"};
        }
        p.finished.wait(lock, [&] { return p.done; });
    }
    return p.result;
}

void ServedDaq::runPending(KineDAQ& daq) {
    for (;;) {
        Pending* p = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.empty()) return;
            p = pending_.front();
        }
        ActionResult r = p->action(daq);
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.pop_front();
        p->result = std::move(r);
        p->done = true;
        p->finished.notify_all();
    }
}

void ServedDaq::refreshLayout(KineDAQ& daq) {
    StreamLayout layout;
    std::string error;
    StreamLayout::of(daq, node_, false, layout, error);
    const SensorConfig config = daq.getConfig();
    std::lock_guard<std::mutex> lock(mutex_);
    if (layout.columns.size() == status_.layout.columns.size()) status_.layout = layout;
    status_.config = config;
}

void ServedDaq::setZeroed(bool zeroed) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.zeroed = zeroed;
}

void ServedDaq::setState(State s, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_.state = s;
    status_.message = message;
    if (s != State::streaming) {
        // Actions that wait now have nobody to run them.
        for (Pending* p : pending_) {
            p->result = {409, "the DAQ on " + node_ + " is not streaming"};
            p->done = true;
            p->finished.notify_all();
        }
        pending_.clear();
    }
}

void ServedDaq::append(const std::vector<int32_t>& rows, int count, double now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t width = status_.layout.columns.size();
    // Rows of one read arrive together, a few milliseconds apart at best, so
    // read times would make a ragged trace. Rows are placed at the measured
    // rate (the nominal one at first) instead, steered gently towards the
    // read times; after a pause they are placed anew, ending at the read time.
    const double nominal = status_.rate > 1 ? 1.0 / status_.rate : 1.0 / std::max(1, status_.config.getSpeed());
    const double error = now - (lastTime_ + count * nominal);
    double step = nominal + 0.05 * error / count;
    double end = lastTime_ + count * step;
    if (next_ == 0 || std::fabs(error) > 0.25 || step <= 0) {
        step = nominal;
        end = std::max(now, lastTime_ + count * nominal);
    }
    for (int i = 0; i < count; ++i) {
        const size_t slot = static_cast<size_t>(next_ % capacity_);
        times_[slot] = end - (count - 1 - i) * step;
        std::copy(rows.begin() + static_cast<std::ptrdiff_t>(i * width),
                  rows.begin() + static_cast<std::ptrdiff_t>((i + 1) * width),
                  values_.begin() + static_cast<std::ptrdiff_t>(slot * width));
        ++next_;
    }
    lastTime_ = end;
    status_.samples += static_cast<uint64_t>(count);
}

void ServedDaq::readLoop() {
    KPort port;
    KPort::storeField(port.portName, node_);
    KPort::storeField(port.deviceVersion, deviceVersion_);
    const bool opened = !stop_ && daq_.open(port);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        opening_ = false;
    }
    if (!opened || stop_) {
        const kine_open_error reason = stop_ ? KINE_OPEN_CANCELLED : daq_.lastOpenError();
        const int err = daq_.lastOpenErrno();
        daq_.close();
        setState(stop_ ? State::closed : State::failed, openFailureMessage(reason, node_, err, deviceVersion_));
        return;
    }
    StreamLayout layout;
    std::string error;
    if (!StreamLayout::of(daq_, node_, false, layout, error)) {
        daq_.close();
        setState(State::failed, error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.layout = layout;
        status_.config = daq_.getConfig();
        values_.assign(capacity_ * layout.columns.size(), 0);
    }
    setState(State::streaming);

    ReadArrays arrays;
    std::vector<int32_t> rows;
    uint64_t atMark = 0;
    Clock::time_point mark = Clock::now();
    while (!stop_) {
        runPending(daq_);
        const int r = readRows(daq_, layout, arrays, rows);
        if (r == KINE_NOT_OPEN || r == KINE_READER_STOPPED || !daq_.isOpen()) {
            daq_.close();
            setState(State::gone, "the DAQ went away (unplugged, or it stopped sending)");
            return;
        }
        const double now = std::chrono::duration<double>(Clock::now() - epoch_).count();
        const bool badChecksum = r > 0 && !daq_.isChksumOK();
        if (r > 0) append(rows, r, now);
        std::lock_guard<std::mutex> lock(mutex_);
        if (r == KINE_READ_OVERFLOW) ++status_.overflows;
        if (badChecksum) ++status_.checksumErrors;
        const double span = std::chrono::duration<double>(Clock::now() - mark).count();
        if (span >= 0.25) status_.rate = static_cast<double>(status_.samples - atMark) / span;
        if (span >= 1.0) {
            atMark = status_.samples;
            mark = Clock::now();
        }
    }
    daq_.close();
    setState(State::closed);
}

}  // namespace kine_tools
