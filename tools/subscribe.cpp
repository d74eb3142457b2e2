// SPDX-License-Identifier: MIT
#include "subscribe.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "daq_session.h"
#include "kine/SensorConfig.h"
#include "kine/kine_subscriber.h"
#include "option_checks.h"
#include "recording.h"
#include "text_escape.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;
using kine_zmq::Event;

std::string describe(const kine_wire::Metadata& m) {
    const SensorConfig c = SensorConfig::fromByte(m.config);
    std::string s = "version " + std::to_string(m.protocolVersion) + ", ";
    s += m.sixAxis ? std::string("six-axis unit")
                   : std::to_string(m.sensors) + (m.sensors == 1 ? " sensor" : " sensors");
    s += ", " + std::to_string(m.rateHz) + " Hz, filter ";
    s += c.getFilter() ? std::to_string(c.getFilter()) + " Hz" : std::string("none");
    s += c.getMode() ? ", compensated" : ", raw";
    s += " (" + (m.serial.empty() ? std::string("no serial") : "serial " + shownText(m.serial)) + ", port " +
         shownText(m.port) + ")";
    return s;
}

// Counters of one remote DAQ.
struct Remote {
    kine_wire::Metadata metadata;
    uint64_t samples = 0, lost = 0;
    uint64_t samplesAtMark = 0;
    double rate = 0;
    std::vector<int32_t> latest;
};

class Output {
public:
    virtual ~Output() = default;
    // False when the output cannot be written (message printed).
    virtual bool take(const Event& e, std::map<std::string, Remote>& remotes) = 0;
    virtual void show(const std::map<std::string, Remote>& remotes, bool final) = 0;
    virtual bool finish() = 0;
};

// One block of lines, one per DAQ, redrawn in place on a terminal.
class LiveView : public Output {
public:
    bool take(const Event& e, std::map<std::string, Remote>&) override {
        if (e.kind == Event::Kind::metadata && e.restarted)
            note(shownText(e.topic) + ": the publisher restarted; sample numbers start again");
        return true;
    }
    void show(const std::map<std::string, Remote>& remotes, bool final) override {
        const auto interval = tty_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(1000);
        if (!final && Clock::now() - lastShown_ < interval) return;
        lastShown_ = Clock::now();
        std::vector<std::string> lines;
        if (remotes.empty()) lines.push_back("waiting for the publisher's DAQs");
        for (const auto& [topic, r] : remotes) {
            lines.push_back(shownText(topic) + ": " + describe(r.metadata));
            const std::vector<std::string> names = kine_wire::columnNames(r.metadata);
            std::string values = "   ";
            for (size_t i = 0; i < names.size() && i < 8; ++i)
                values += " " + names[i] + " " + (r.latest.empty() ? "-" : std::to_string(r.latest[i]));
            lines.push_back(values);
            char line[200];
            std::snprintf(line, sizeof line,
                          "    %6.0f samples/s  %10" PRIu64 " samples  lost %" PRIu64
                          " (the publisher's queue for a slow subscriber overflowed %" PRIu64 " times)",
                          r.rate, r.samples, r.lost, r.metadata.overflows);
            lines.push_back(line);
        }
        if (tty_ && drawn_ > 0) std::printf("\x1b[%dF", drawn_);
        for (const std::string& l : lines) std::printf(tty_ ? "\x1b[2K%s\n" : "%s\n", l.c_str());
        drawn_ = tty_ ? static_cast<int>(lines.size()) : 0;
        std::fflush(stdout);
    }
    bool finish() override { return true; }

private:
    void note(const std::string& text) {
        std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
        drawn_ = 0;  // the note scrolled the block; draw it anew below
    }
    const bool tty_ = ::isatty(STDOUT_FILENO) == 1;
    int drawn_ = 0;
    Clock::time_point lastShown_{};
};

// CSV rows as kine stream writes them, with the DAQ's topic in the first
// column. The value columns are those of the DAQs announced in the first
// half second (a publisher announces all of its DAQs to a new subscriber at
// once); a DAQ appearing later with other columns is left out, with a message.
class CsvWriter : public Output {
public:
    CsvWriter(FILE* file, std::string path) : file_(file), path_(std::move(path)), toStdout_(file == stdout) {}
    ~CsvWriter() override {
        if (file_ && !toStdout_) std::fclose(file_);
    }

    bool take(const Event& e, std::map<std::string, Remote>& remotes) override {
        if (e.kind == Event::Kind::metadata) {
            if (e.restarted)
                std::fprintf(stderr, "%s: %s: the publisher restarted; sample numbers start again\n", kProgram,
                             shownText(e.topic).c_str());
            else
                std::fprintf(stderr, "%s: %s: %s\n", kProgram, shownText(e.topic).c_str(),
                             describe(e.metadata).c_str());
            if (!headerWritten_ && firstMetadata_ == Clock::time_point{}) firstMetadata_ = Clock::now();
        }
        if (!headerWritten_) {
            pending_.push_back(e);
            if (Clock::now() - firstMetadata_ < std::chrono::milliseconds(500)) return true;
            return writeHeader(remotes);
        }
        return write(e);
    }

    void show(const std::map<std::string, Remote>& remotes, bool) override {
        if (!headerWritten_ && firstMetadata_ != Clock::time_point{} &&
            Clock::now() - firstMetadata_ >= std::chrono::milliseconds(500))
            writeHeader(remotes);
    }

    bool finish() override {
        if (!headerWritten_ && !pending_.empty()) {
            std::map<std::string, Remote> none;
            if (!writeHeader(none)) return false;
        }
        if (!toStdout_) std::fprintf(stderr, "%s: wrote %" PRIu64 " samples to %s\n", kProgram, rows_, path_.c_str());
        if (std::fflush(file_) != 0 || std::ferror(file_)) return failed();
        if (!toStdout_) {
            const int rc = std::fclose(file_);
            file_ = nullptr;
            if (rc != 0) return failed();
        }
        return true;
    }

private:
    bool writeHeader(const std::map<std::string, Remote>& remotes) {
        for (const auto& [topic, r] : remotes)
            for (const std::string& c : kine_wire::columnNames(r.metadata))
                if (std::find(columns_.begin(), columns_.end(), c) == columns_.end()) columns_.push_back(c);
        std::string header = "daq,host_monotonic_s,host_time,sample";
        for (const std::string& c : columns_) header += "," + c;
        std::fprintf(file_, "%s\n", header.c_str());
        headerWritten_ = true;
        std::deque<Event> pending;
        pending.swap(pending_);
        for (const Event& e : pending)
            if (!write(e)) return false;
        return flush() || failed();
    }

    bool write(const Event& e) {
        if (e.kind != Event::Kind::samples) return true;
        const std::vector<std::string> names = kine_wire::columnNames(e.metadata);
        std::vector<int> at(columns_.size(), -1);  // value index of each CSV column
        size_t found = 0;
        for (size_t c = 0; c < columns_.size(); ++c)
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i] == columns_[c]) at[c] = static_cast<int>(i), ++found;
        if (found < names.size()) {
            if (leftOut_.insert(e.topic).second)
                std::fprintf(stderr, "%s: %s has columns this CSV lacks; its samples are left out\n", kProgram,
                             shownText(e.topic).c_str());
            return true;
        }
        if (start_ < 0) start_ = e.data.monotonicNs;
        const std::string daq = csvField(e.topic);
        const std::string wall = isoTime(std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(e.data.wallNs))));
        const double seconds = static_cast<double>(e.data.monotonicNs - start_) / 1e9;
        std::string rows;
        char prefix[96];
        for (uint32_t i = 0; i < e.data.count; ++i) {
            std::snprintf(prefix, sizeof prefix, ",%.6f,%s,%" PRIu64, seconds, wall.c_str(), e.data.firstSample + i);
            rows += daq;
            rows += prefix;
            for (int a : at) {
                rows += ',';
                if (a >= 0) rows += std::to_string(e.data.values[size_t{i} * e.data.width + static_cast<size_t>(a)]);
            }
            rows += '\n';
        }
        rows_ += e.data.count;
        if (std::fwrite(rows.data(), 1, rows.size(), file_) != rows.size()) return failed();
        if (Clock::now() - lastFlush_ >= std::chrono::milliseconds(250) && !flush()) return failed();
        return true;
    }

    // A topic is device-supplied text: quoted when it holds a comma or a quote.
    static std::string csvField(const std::string& topic) {
        const std::string shown = shownText(topic);
        if (shown.find_first_of(",\"") == std::string::npos) return shown;
        std::string q = "\"";
        for (char c : shown) q += c == '"' ? std::string("\"\"") : std::string(1, c);
        return q + "\"";
    }
    bool flush() {
        lastFlush_ = Clock::now();
        return std::fflush(file_) == 0 && !std::ferror(file_);
    }
    bool failed() {
        if (!reported_)
            std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, toStdout_ ? "standard output" : path_.c_str(),
                         std::strerror(errno ? errno : EIO));
        reported_ = true;
        return false;
    }

    FILE* file_;
    std::string path_;
    bool toStdout_;
    bool headerWritten_ = false, reported_ = false;
    Clock::time_point firstMetadata_{}, lastFlush_{};
    std::deque<Event> pending_;
    std::vector<std::string> columns_;
    std::set<std::string> leftOut_;
    int64_t start_ = -1;
    uint64_t rows_ = 0;
};

}  // namespace

CLI::App* addSubscribeCommand(CLI::App& app, SubscribeArgs& a) {
    CLI::App* cmd = app.add_subcommand("subscribe", "the live view or CSV rows of DAQs published by kine publish");
    cmd->add_option("URL", a.url, "the publisher's address, e.g. tcp://lab-pc:5556")->required();
    cmd->add_option("--topic", a.topic, "only this DAQ: its serial, or its port when it has none");
    cmd->add_option("--csv", a.csv,
                    "write CSV rows to FILE ('-': standard output): daq (the topic), host_monotonic_s (publisher's "
                    "clock, seconds since the first row), host_time (UTC), sample (numbered by the publisher: a "
                    "jump is a loss), then the values")
        ->type_name("FILE|-");
    cmd->add_option("--duration", a.duration, "seconds to receive (default: until Ctrl-C)")->check(realNumber(true));
    return cmd;
}

int runSubscribe(const SubscribeArgs& a) {
    std::unique_ptr<kine_zmq::Subscriber> sub;
    try {
        sub = std::make_unique<kine_zmq::Subscriber>(a.url, a.topic);
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return kExitFailed;
    }
    std::unique_ptr<Output> out;
    if (a.csv.empty()) {
        out = std::make_unique<LiveView>();
    } else {
        FILE* f = a.csv == "-" ? stdout : std::fopen(a.csv.c_str(), "w");
        if (!f) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", kProgram, a.csv.c_str(), std::strerror(errno));
            return kExitFailed;
        }
        out = std::make_unique<CsvWriter>(f, a.csv);
    }

    std::map<std::string, Remote> remotes;
    const Clock::time_point start = Clock::now();
    Clock::time_point mark = start;
    uint64_t rejected = 0;
    bool failed = false;
    Event e;
    while (!interrupted() && (a.duration <= 0 || Clock::now() - start < std::chrono::duration<double>(a.duration))) {
        if (sub->next(e, std::chrono::milliseconds(50))) {
            if (e.kind == Event::Kind::rejected) {
                if (++rejected <= 10)
                    std::fprintf(stderr, "%s: rejected a message on topic %s: %s\n", kProgram,
                                 shownText(e.topic).c_str(), e.error.c_str());
                continue;
            }
            Remote& r = remotes[e.topic];
            r.metadata = e.metadata;
            if (e.kind == Event::Kind::samples) {
                if (e.missed && !a.csv.empty())
                    std::fprintf(stderr, "%s: %s: %" PRIu64 " samples lost before sample %" PRIu64 "\n", kProgram,
                                 shownText(e.topic).c_str(), e.missed, e.data.firstSample);
                r.lost += e.missed;
                r.samples += e.data.count;
                r.latest.assign(e.data.values.end() - e.data.width, e.data.values.end());
            }
            if (!out->take(e, remotes)) {
                failed = true;
                break;
            }
        }
        const double sinceMark = std::chrono::duration<double>(Clock::now() - mark).count();
        if (sinceMark >= 1.0) {
            for (auto& [topic, r] : remotes) {
                r.rate = static_cast<double>(r.samples - r.samplesAtMark) / sinceMark;
                r.samplesAtMark = r.samples;
            }
            mark = Clock::now();
        }
        out->show(remotes, false);
    }
    out->show(remotes, true);
    if (!out->finish()) failed = true;
    uint64_t lost = 0;
    for (const auto& [topic, r] : remotes) lost += r.lost;
    if (lost) std::fprintf(stderr, "%s: %" PRIu64 " samples lost in gaps\n", kProgram, lost);
    if (rejected) std::fprintf(stderr, "%s: %" PRIu64 " malformed messages rejected\n", kProgram, rejected);
    return failed ? kExitFailed : kExitOk;
}

}  // namespace kine_tools
