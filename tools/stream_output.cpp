// SPDX-License-Identifier: MIT
#include "stream_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

#include "daq/Protocol.h"
#include "daq_session.h"
#include "kine/kine_result.h"
#include "output_thread.h"
#include "recording.h"
#include "sample_loss.h"
#include "sample_rows.h"
#include "text_escape.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string describe(KineDAQ& daq, int sensors) {
    SensorConfig c = daq.getConfig();
    const int version = daq.getVersion();
    std::string s = "version " + std::to_string(version) + ", ";
    if (kine::protocol::isSixAxis(version))
        s += "six-axis unit, ";
    else
        s += std::to_string(sensors) + (sensors == 1 ? " sensor, " : " sensors, ");
    s += std::to_string(c.getSpeed()) + " Hz, filter ";
    s += c.getFilter() ? std::to_string(c.getFilter()) + " Hz" : std::string("none");
    s += c.getMode() ? ", compensated" : ", raw";
    return s;
}

class LiveView : public StreamOutput {
public:
    void start(const StreamLayout& layout) override {
        layout_ = layout;
        std::printf("%s: %s\n", shownText(layout.device).c_str(), layout.description.c_str());
        flushed();
    }

    bool write(const SampleBatch& batch, const StreamStatus&) override {
        const size_t width = layout_.columns.size();
        const auto last = batch.values.begin() + static_cast<long>((batch.count - 1) * width);
        latest_.assign(last, last + static_cast<long>(width));
        return !failed_;
    }

    void show(const StreamStatus& status, bool final) override {
        const auto interval = tty_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
        if (!final && Clock::now() - lastShown_ < interval) return;
        lastShown_ = Clock::now();
        std::vector<std::string> lines;
        auto value = [&](size_t i) { return latest_.empty() ? std::string("-") : std::to_string(latest_[i]); };
        char line[160];
        if (layout_.kind == StreamLayout::Kind::sensors) {
            for (int k = 0; k < layout_.sensors; ++k) {
                std::snprintf(line, sizeof line, "sensor %d   x %9s   y %9s   z %9s   aux %9s", k, value(4 * k).c_str(),
                              value(4 * k + 1).c_str(), value(4 * k + 2).c_str(), value(4 * k + 3).c_str());
                lines.push_back(line);
            }
        } else {
            std::snprintf(line, sizeof line, "force    Fx %9s   Fy %9s   Fz %9s", value(0).c_str(), value(1).c_str(),
                          value(2).c_str());
            lines.push_back(line);
            std::snprintf(line, sizeof line, "torque   Tx %9s   Ty %9s   Tz %9s", value(3).c_str(), value(4).c_str(),
                          value(5).c_str());
            lines.push_back(line);
        }
        lines.push_back(statusLine(status));
        // On a terminal the block is redrawn over the previous one.
        if (tty_ && drawn_ > 0) std::printf("\x1b[%dF", drawn_);
        for (const std::string& l : lines) std::printf(tty_ ? "\x1b[2K%s\n" : "%s\n", l.c_str());
        drawn_ = static_cast<int>(lines.size());
        flushed();
    }

    bool finish(const StreamStatus& status, const std::string& lossSummary) override {
        show(status, true);
        if (!lossSummary.empty()) std::fprintf(stderr, "%s: %s\n", kProgram, lossSummary.c_str() + 2);
        return !failed_;
    }

    bool pipeClosed() const override { return pipeClosed_; }

private:
    StreamLayout layout_;
    std::vector<int32_t> latest_;
    const bool tty_ = ::isatty(STDOUT_FILENO) == 1;
    int drawn_ = 0;
    Clock::time_point lastShown_{};
    bool failed_ = false, pipeClosed_ = false;

    // Standard output taken whole; a reader that went away ends the view.
    void flushed() {
        if (failed_ || (std::fflush(stdout) == 0 && !std::ferror(stdout))) return;
        failed_ = true;
        pipeClosed_ = errno == EPIPE;
        if (!pipeClosed_)
            std::fprintf(stderr, "%s: cannot write standard output: %s\n", kProgram, std::strerror(errno));
    }
};

class CsvWriter : public StreamOutput {
public:
    CsvWriter(FILE* file, std::string path) : file_(file), path_(std::move(path)), toStdout_(file == stdout) {}
    ~CsvWriter() override {
        if (file_ && !toStdout_) std::fclose(file_);
    }

    void start(const StreamLayout& layout) override {
        width_ = layout.columns.size();
        recording_ = layout.recording ? layout.recording : &plain_;
        std::fprintf(file_, "%s\n", recording_->csvHeader(layout).c_str());
        flush();
    }

    bool write(const SampleBatch& batch, const StreamStatus&) override {
        std::string rows;
        // The batch's own first number: after a loss it skips the samples lost.
        recording_->appendCsvRows(batch, width_, batch.firstSample, rows);
        written_ += static_cast<uint64_t>(batch.count);
        if (std::fwrite(rows.data(), 1, rows.size(), file_) != rows.size()) return failed();
        // Flushed a few times a second, so a reader of the file sees rows while
        // the stream runs and at most a fraction of a second is lost on a crash.
        if (Clock::now() - lastFlush_ >= std::chrono::milliseconds(250) && !flush()) return failed();
        return true;
    }

    void show(const StreamStatus& status, bool final) override {
        if (!toStdout_) progress_.show(path_, status, final);
    }

    bool finish(const StreamStatus& status, const std::string& lossSummary) override {
        show(status, true);
        progress_.end();
        std::fprintf(stderr, "%s: wrote %" PRIu64 " samples to %s in %.1f s%s\n", kProgram, written_,
                     toStdout_ ? "standard output" : path_.c_str(), status.elapsed, lossSummary.c_str());
        if (!flush()) return failed();
        if (!toStdout_) {
            const int rc = std::fclose(file_);
            file_ = nullptr;
            if (rc != 0) return failed();
        }
        return true;
    }

    bool pipeClosed() const override { return pipeClosed_; }

private:
    bool flush() {
        lastFlush_ = Clock::now();
        return std::fflush(file_) == 0 && !std::ferror(file_);
    }
    bool failed() {
        // A reader of the pipe that has all it wants is no error.
        if (toStdout_ && errno == EPIPE) pipeClosed_ = true;
        if (!reported_ && !pipeClosed_)
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, toStdout_ ? "standard output" : path_.c_str(),
                         std::strerror(errno ? errno : EIO));
        reported_ = true;
        return false;
    }

    FILE* file_;
    std::string path_;
    bool toStdout_;
    size_t width_ = 0;
    uint64_t written_ = 0;
    Recording plain_;  // for a layout without a recording of its own
    Recording* recording_ = &plain_;
    ProgressLine progress_;
    bool pipeClosed_ = false;
    bool reported_ = false;
    Clock::time_point lastFlush_{};
};

class BothOutputs : public StreamOutput {
public:
    BothOutputs(std::unique_ptr<StreamOutput> first, std::unique_ptr<StreamOutput> second)
        : first_(std::move(first)), second_(std::move(second)) {}
    void start(const StreamLayout& layout) override {
        first_->start(layout);
        second_->start(layout);
    }
    bool write(const SampleBatch& batch, const StreamStatus& status) override {
        const bool firstOk = first_->write(batch, status);
        return second_->write(batch, status) && firstOk;
    }
    void show(const StreamStatus& status, bool final) override { first_->show(status, final); }
    bool finish(const StreamStatus& status, const std::string& lossSummary) override {
        const bool firstOk = first_->finish(status, lossSummary);
        return second_->finish(status, lossSummary) && firstOk;
    }
    bool pipeClosed() const override { return first_->pipeClosed() || second_->pipeClosed(); }

private:
    std::unique_ptr<StreamOutput> first_, second_;
};

// The caller-owned arrays of the reads, released at the end of a stream.
struct ReadArrays {
    KinePackage* samples = nullptr;
    KinePackage6D* samples6D = nullptr;
    int* axes = nullptr;
    ~ReadArrays() {
        delete[] samples;
        delete[] samples6D;
        delete[] axes;
    }
};

}  // namespace

ProgressLine::ProgressLine() : tty_(::isatty(STDERR_FILENO) == 1) {}

void ProgressLine::show(const std::string& path, const StreamStatus& status, bool final) {
    const auto interval = tty_ ? std::chrono::milliseconds(500) : std::chrono::seconds(10);
    if (!final && Clock::now() - lastShown_ < interval) return;
    lastShown_ = Clock::now();
    const std::string text = std::string(kProgram) + ": " + path + ": " + statusLine(status);
    if (tty_)
        std::fprintf(stderr, "\r\x1b[2K%s", text.c_str());
    else if (!final)
        std::fprintf(stderr, "%s\n", text.c_str());
    shown_ = true;
}

void ProgressLine::end() {
    if (tty_ && shown_) std::fputc('\n', stderr);
    shown_ = false;
}

std::string statusLine(const StreamStatus& s) {
    char line[200];
    std::snprintf(line, sizeof line, "%6.0f samples/s  %10" PRIu64 " samples  %7.1f s  checksum %s  [%s]", s.rate,
                  s.samples, s.elapsed,
                  s.checksumErrors ? ("errors in " + std::to_string(s.checksumErrors) + " reads").c_str() : "ok",
                  s.state.c_str());
    std::string text = line;
    if (s.overflows) text += "  overflows " + std::to_string(s.overflows);
    if (s.lost) text += "  lost " + std::to_string(s.lost);
    return text;
}

std::string csvHeader(const StreamLayout& layout) {
    std::string header = "host_monotonic_s,host_time,sample";
    for (const std::string& c : layout.columns) header += "," + c;
    return header + "\n";
}

std::string csvRows(const SampleBatch& batch, size_t width) {
    char prefix[96];
    const std::string wall = isoTime(batch.wallTime);
    std::string rows;
    for (int i = 0; i < batch.count; ++i) {
        std::snprintf(prefix, sizeof prefix, "%.6f,%s,%" PRIu64, batch.monotonicSeconds, wall.c_str(),
                      batch.firstSample + static_cast<uint64_t>(i));
        rows += prefix;
        for (size_t c = 0; c < width; ++c) {
            rows += ',';
            rows += std::to_string(batch.values[static_cast<size_t>(i) * width + c]);
        }
        rows += '\n';
    }
    return rows;
}

bool StreamLayout::of(KineDAQ& daq, const std::string& device, bool sixAxis, StreamLayout& layout, std::string& error) {
    layout = StreamLayout();
    layout.device = device;
    const int version = daq.getVersion();
    const int sensors = daq.getSensorSize() > 0 ? daq.getSensorSize() : 1;
    layout.description = describe(daq, sensors);
    if (kine::protocol::isSixAxis(version)) {
        layout.kind = Kind::sixAxisUnit;
    } else if (sixAxis) {
        if (sensors != 4) {
            error = "--six-axis needs a DAQ with four sensors; " + device + " has " + std::to_string(sensors);
            return false;
        }
        layout.kind = Kind::sixAxisComputed;
    }
    if (layout.kind == Kind::sensors) {
        layout.sensors = sensors;
        for (int k = 0; k < sensors; ++k)
            for (const char* c : {"x", "y", "z", "aux"})
                layout.columns.push_back(sensors == 1 ? std::string(c) : "s" + std::to_string(k) + "_" + c);
    } else {
        layout.columns = {"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};
    }
    return true;
}

std::unique_ptr<StreamOutput> makeLiveView() { return std::make_unique<LiveView>(); }

std::unique_ptr<StreamOutput> makeBothOutputs(std::unique_ptr<StreamOutput> first,
                                              std::unique_ptr<StreamOutput> second) {
    return std::make_unique<BothOutputs>(std::move(first), std::move(second));
}

std::unique_ptr<StreamOutput> makeCsvWriter(const std::string& path) {
    if (path == "-") return std::make_unique<CsvWriter>(stdout, path);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", kProgram, path.c_str(), std::strerror(errno));
        return nullptr;
    }
    return std::make_unique<CsvWriter>(f, path);
}

namespace {

// The longest a read waits for new samples: the loop also checks Ctrl-C,
// the duration and the status this often while the DAQ is silent.
constexpr int kWaitMs = 50;

// Waits for the DAQ's next samples (the reader thread wakes the wait the
// moment they are decodable; a silent DAQ costs no CPU) and reads them into
// `rows`, one row of `width` values per sample. Returns the count, 0 when
// nothing came within the wait, or a negative read code.
int readRows(KineDAQ& daq, const StreamLayout& layout, ReadArrays& arrays, std::vector<int32_t>& rows) {
    const size_t width = layout.columns.size();
    int r = 0;
    switch (layout.kind) {
    case StreamLayout::Kind::sensors: {
        r = daq.waitReadAll(arrays.samples, kWaitMs);
        sensorRows(arrays.samples, r, std::min(layout.sensors, daq.getSensorSize()), width, rows);
        break;
    }
    case StreamLayout::Kind::sixAxisUnit:
        r = daq.waitReadAll6D(arrays.samples6D, kWaitMs);
        sixAxisRows(arrays.samples6D, r, rows);
        break;
    case StreamLayout::Kind::sixAxisComputed:
        r = daq.waitReadAll6Axis(arrays.axes, kWaitMs);
        if (r > 0) rows.assign(arrays.axes, arrays.axes + static_cast<size_t>(r) * width);
        break;
    }
    return r;
}

}  // namespace

StreamEnd streamSamples(KineDAQ& daq, const StreamLayout& layout, double duration, Clock::time_point start,
                        OutputThread& out, SampleLoss& loss, StreamStatus& status) {
    ReadArrays arrays;
    std::vector<int32_t> rows;
    const double samplesPerSecond = daq.getConfig().getSpeed();
    uint64_t samplesAtMark = status.nextSample();
    Clock::time_point mark = Clock::now();
    // The time of the latest read that took the library's buffer whole: an
    // overflow drops what arrived since, about the sample rate times the time.
    Clock::time_point lastTaken = Clock::now();
    status.state = "streaming";
    for (;;) {
        status.elapsed = secondsSince(start);
        if (interrupted()) {
            status.state = "stopped";
            return StreamEnd::interrupted;
        }
        if (duration > 0 && status.elapsed >= duration) {
            status.state = "done";
            return StreamEnd::finished;
        }
        if (out.failed()) return StreamEnd::outputFailed;

        const int r = readRows(daq, layout, arrays, rows);
        const Clock::time_point readAt = Clock::now();
        if (r == KINE_NOT_OPEN || r == KINE_READER_STOPPED || !daq.isOpen()) {
            status.state = "DAQ gone";
            return StreamEnd::daqGone;
        }
        if (r == KINE_READ_OVERFLOW) {
            ++status.overflows;
            const double missed = samplesPerSecond * std::chrono::duration<double>(readAt - lastTaken).count();
            const auto count = static_cast<uint64_t>(std::llround(missed));
            loss.lost(status.nextSample(), count, "the DAQ's data was not read in time (is the computer overloaded?)",
                      true);
            status.lost += count;
        }
        if (r >= 0) lastTaken = readAt;
        if (r > 0) {
            if (!daq.isChksumOK()) ++status.checksumErrors;
            SampleBatch batch;
            batch.monotonicSeconds = secondsSince(start);
            batch.wallTime = std::chrono::system_clock::now();
            batch.firstSample = status.nextSample();
            batch.count = r;
            batch.values.assign(rows.begin(), rows.begin() + static_cast<long>(r * layout.columns.size()));
            if (out.push(std::move(batch))) {
                loss.resumed();
                status.samples += static_cast<uint64_t>(r);
            } else if (out.failed()) {
                return StreamEnd::outputFailed;
            } else {
                loss.lost(status.nextSample(), static_cast<uint64_t>(r),
                          "the output did not take them in time (a slow pipe or disk; --buffer holds more)", false);
                status.lost += static_cast<uint64_t>(r);
            }
        }
        // The rate over the last second or so; a fresh window counts once it
        // spans a quarter second.
        const double sinceMark = secondsSince(mark);
        if (sinceMark >= 0.25) status.rate = static_cast<double>(status.nextSample() - samplesAtMark) / sinceMark;
        if (sinceMark >= 1.0) {
            samplesAtMark = status.nextSample();
            mark = Clock::now();
        }
        out.publish(status);
    }
}

}  // namespace kine_tools
