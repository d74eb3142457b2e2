// SPDX-License-Identifier: MIT
// Whole-stream measurements of DAQ connections on pseudo-terminals, each
// against a baseline measured in the same run where one exists:
//
//   latency  version-3 frames at 1000 frames/s; from the writer's last byte
//            to the sample being visible to a thread that polls read() every
//            0.2 ms, beside a plain blocking loop (ppoll, read, a small
//            decoder) on the same kind of pseudo-terminal. Also the CPU time
//            of the library's reader thread and of the loop's thread.
//   idle     reader-thread CPU while the DAQ sends nothing, until the
//            reader ends the connection after its 550 ms of silence, and
//            how long after the last frame it ends.
//   wait     the waiting read: latency and CPU of waitReadAll() in a thread
//            of its own against the blocking loop, CPU while the DAQ is
//            silent, and 1 and 16 DAQs with one waiting thread each (every
//            frame written must be delivered).
//   scale    1, 4 and 16 DAQs at 1000 frames/s each in one process: reader
//            CPU per DAQ, latency with readAll() every 0.2 ms, and loss with
//            readAll() every 10 ms.
//   noloss   a simulated version-8 unit at 1000 frames/s (102,000 bytes/s,
//            more than the line's 100,000) with sequence-numbered values,
//            read every 10 ms; then a 2 s stall of the application.
//   open     open time per protocol version, median of 10, and its parts.
//   all      every measurement above.
//
// Options: --frames N (latency, per side; default 10000), --seconds S
// (scale phases, default 10), --noloss-seconds S (default 60).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "daq/KineDAQ_private.h"
#include "kine/KineDAQ.h"
#include "kine_sim/frames.h"
#include "kine_sim/simulated_daq.h"

namespace {

// ---------------------------------------------------------------- clocks

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleepNs(int64_t ns) {
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
}

void sleepUntilNs(int64_t t) {
    timespec ts{static_cast<time_t>(t / 1000000000), static_cast<long>(t % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// CPU time of any thread of this process, by its kernel thread id (the
// per-thread CPU clock the kernel derives from the id).
int64_t threadCpuNs(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec ts;
    if (clock_gettime(clock, &ts) != 0) return -1;
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

pid_t ownTid() { return static_cast<pid_t>(gettid()); }

std::set<pid_t> taskIds() {
    std::set<pid_t> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(static_cast<pid_t>(atoi(e->d_name)));
        closedir(d);
    }
    return ids;
}

// The threads that exist now and did not exist in `before`.
std::vector<pid_t> newThreads(const std::set<pid_t>& before) {
    std::vector<pid_t> fresh;
    for (pid_t t : taskIds())
        if (!before.count(t)) fresh.push_back(t);
    return fresh;
}

double loadAverage() {
    double l = -1;
    if (FILE* f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &l) != 1) l = -1;
        fclose(f);
    }
    return l;
}

// ---------------------------------------------------------------- statistics

struct Summary {
    size_t n = 0;
    double p50 = 0, p99 = 0, max = 0;  // microseconds
};

Summary summarize(std::vector<int64_t> ns) {
    Summary s;
    s.n = ns.size();
    if (ns.empty()) return s;
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        return static_cast<double>(ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]) / 1000.0;
    };
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = static_cast<double>(ns.back()) / 1000.0;
    return s;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---------------------------------------------------------------- pseudo-terminal DAQs

// A pseudo-terminal whose master side the benchmark writes frames into.
struct Pty {
    int master = -1;
    int keeper = -1;  // keeps the slave side alive while nobody else has it open
    std::string path;

    Pty() {
        char name[128];
        if (openpty(&master, &keeper, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        termios t;
        tcgetattr(keeper, &t);
        cfmakeraw(&t);
        tcsetattr(keeper, TCSANOW, &t);
        path = name;
    }
    ~Pty() {
        ::close(master);
        ::close(keeper);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// Sequence numbers ride in aux (low 16 bits) and raw[7] (high 16 bits) of a
// version-3 frame; both pass through the decoder unchanged.
std::vector<uint8_t> frameA(uint32_t seq) {
    kine_sim::SensorValues v;
    v.x = 100;
    v.y = -200;
    v.z = 3000;
    v.aux = static_cast<int32_t>(seq & 0xFFFF);
    v.raw[7] = static_cast<int32_t>(seq >> 16);
    return kine_sim::encodeFrameA(0xB0, v);
}

uint32_t seqOf(const KinePackage& p) {
    return (static_cast<uint32_t>(p.raw[7]) << 16) | (static_cast<uint32_t>(p.aux) & 0xFFFF);
}

// Writes one version-3 frame into every pty each period and records, per
// frame, when write() returned (the last byte is in the pty).
class FrameWriter {
public:
    static constexpr uint32_t kMaxFrames = 400000;

    FrameWriter(const std::vector<int>& masters, int64_t periodNs)
        : masters_(masters), period_(periodNs), sent_(masters.size() * kMaxFrames) {
        for (auto& t : sent_) t.store(0, std::memory_order_relaxed);
        thread_ = std::thread([this] { loop(); });
    }
    ~FrameWriter() { stop(); }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Frames written so far (the next sequence number).
    uint32_t next() const { return next_.load(); }
    // When frame `seq` of stream `i` was written; waits the few microseconds
    // between a reader seeing the frame and the writer recording the time.
    int64_t sentNs(size_t i, uint32_t seq) const {
        if (seq >= kMaxFrames) return 0;
        const auto& slot = sent_[i * kMaxFrames + seq];
        int64_t t;
        while ((t = slot.load(std::memory_order_acquire)) == 0) std::this_thread::yield();
        return t;
    }

private:
    void loop() {
        int64_t due = nowNs();
        for (uint32_t seq = 0; !stop_ && seq < kMaxFrames; ++seq) {
            sleepUntilNs(due);
            const std::vector<uint8_t> f = frameA(seq);
            for (size_t i = 0; i < masters_.size(); ++i) {
                size_t done = 0;
                while (done < f.size()) {
                    const ssize_t n = ::write(masters_[i], f.data() + done, f.size() - done);
                    if (n <= 0) break;
                    done += static_cast<size_t>(n);
                }
                sent_[i * kMaxFrames + seq].store(nowNs(), std::memory_order_release);
            }
            next_ = seq + 1;
            due += period_;
            const int64_t now = nowNs();
            if (due < now - 50 * period_) due = now;  // far behind (machine stalled): do not burst
        }
    }

    std::vector<int> masters_;
    int64_t period_;
    std::vector<std::atomic<int64_t>> sent_;
    std::atomic<uint32_t> next_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

KPort portFor(const std::string& path, const char* versionText) {
    KPort p;
    KPort::storeField(p.portName, path.c_str());
    KPort::storeField(p.deviceVersion, versionText);
    return p;
}

// Opens a connection and tells which thread is its reader.
bool openWithReader(KineDAQ& daq, const KPort& port, pid_t& reader) {
    const auto before = taskIds();
    if (!daq.open(port, false, 1000000)) return false;
    const auto fresh = newThreads(before);
    reader = fresh.empty() ? 0 : fresh.front();
    return reader != 0;
}

constexpr int64_t kMs = 1000000;
constexpr int64_t kPollNs = 200000;  // the application's 0.2 ms polling interval

// ---------------------------------------------------------------- baseline loop

// A plain blocking loop on a pseudo-terminal: ppoll, read, a small decoder
// of version-3 frames. It "delivers" a sample the moment it decodes it.
class BlockingLoop {
public:
    BlockingLoop(const std::string& path, const FrameWriter& writer, uint32_t first, uint32_t count, size_t stream = 0)
        : writer_(writer), first_(first), count_(count), stream_(stream) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        thread_ = std::thread([this] { loop(); });
    }
    ~BlockingLoop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(fd_);
    }
    bool done() const { return done_.load(); }
    // The newest decoded sequence number plus one (0: none yet), for a
    // thread that polls the loop's result the way an application polls read().
    uint32_t published() const { return published_.load(std::memory_order_acquire); }
    std::vector<int64_t> latencies;  // read after done()
    double cpuPercent = 0;

private:
    void loop() {
        const int64_t cpu0 = threadCpuNs(ownTid());
        const int64_t wall0 = nowNs();
        uint8_t buf[4096];
        uint8_t frame[29];
        size_t have = 0;
        uint32_t seen = 0;
        pollfd p{fd_, POLLIN, 0};
        const timespec tick{0, 100 * kMs};
        while (!stop_ && seen < count_) {
            if (ppoll(&p, 1, &tick, nullptr) <= 0) continue;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                const uint8_t b = buf[i];
                if (have == 0 && b != 0x37) continue;
                if (have == 1 && b != 0x44) {
                    have = b == 0x37 ? 1 : 0;
                    continue;
                }
                frame[have++] = b;
                if (have < sizeof frame) continue;
                have = 0;
                uint16_t sum = 0;
                for (int k = 2; k < 27; ++k) sum = static_cast<uint16_t>(sum + frame[k]);
                if (sum != ((frame[27] << 8) | frame[28])) continue;
                const uint32_t seq = static_cast<uint32_t>((frame[9] << 8) | frame[10]) |
                                     (static_cast<uint32_t>((frame[25] << 8) | frame[26]) << 16);
                const int64_t t = nowNs();
                published_.store(seq + 1, std::memory_order_release);
                if (seq >= first_ && seq < first_ + count_) {
                    latencies.push_back(t - writer_.sentNs(stream_, seq));
                    ++seen;
                }
            }
        }
        cpuPercent = 100.0 * static_cast<double>(threadCpuNs(ownTid()) - cpu0) / static_cast<double>(nowNs() - wall0);
        done_ = true;
    }

    const FrameWriter& writer_;
    uint32_t first_, count_;
    size_t stream_;
    int fd_ = -1;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint32_t> published_{0};
    std::thread thread_;
};

// ---------------------------------------------------------------- latency and CPU

struct SideResult {
    std::vector<int64_t> latencies;
    std::vector<int64_t> polled;  // baseline only: as seen by a thread polling every 0.2 ms
    double cpuPercent = 0;
};

// The library: a thread polls read() every 0.2 ms.
bool measureLibrary(uint32_t frames, SideResult& out) {
    Pty pty;
    FrameWriter writer({pty.master}, kMs);
    KineDAQ daq;
    pid_t reader = 0;
    if (!openWithReader(daq, portFor(pty.path, "68 v1.1"), reader)) {
        std::printf("  library: open failed\n");
        return false;
    }
    const uint32_t first = writer.next() + 20;
    const int64_t cpu0 = threadCpuNs(reader);
    const int64_t wall0 = nowNs();
    std::vector<bool> seen(frames, false);
    const int64_t giveUp = nowNs() + (static_cast<int64_t>(frames) + 5000) * kMs;
    KinePackage s;
    uint32_t last = 0;
    while (last + 1 < first + frames && nowNs() < giveUp) {
        const int r = daq.read(s, 0, false);
        const int64_t t = nowNs();
        if (r > 0) {
            const uint32_t seq = seqOf(s);
            last = seq;
            if (seq >= first && seq < first + frames && !seen[seq - first]) {
                seen[seq - first] = true;
                out.latencies.push_back(t - writer.sentNs(0, seq));
            }
        }
        sleepNs(kPollNs);
    }
    out.cpuPercent = 100.0 * static_cast<double>(threadCpuNs(reader) - cpu0) / static_cast<double>(nowNs() - wall0);
    if (last + 1 < first + frames) std::printf("  library: stream ended at frame %u of %u\n", last, first + frames);
    return last + 1 >= first + frames;
}

bool measureBaseline(uint32_t frames, SideResult& out) {
    Pty pty;
    FrameWriter writer({pty.master}, kMs);
    sleepNs(50 * kMs);
    const uint32_t first = writer.next() + 20;
    BlockingLoop loop(pty.path, writer, first, frames);
    const int64_t giveUp = nowNs() + (static_cast<int64_t>(frames) + 5000) * kMs;
    // Poll the loop's newest sample every 0.2 ms, as the library is polled.
    uint32_t last = 0;
    while (!loop.done() && nowNs() < giveUp) {
        const uint32_t p = loop.published();
        const int64_t t = nowNs();
        if (p != 0 && p - 1 != last) {
            last = p - 1;
            if (last >= first && last < first + frames) out.polled.push_back(t - writer.sentNs(0, last));
        }
        sleepNs(kPollNs);
    }
    if (!loop.done()) {
        std::printf("  baseline: %zu of %u frames seen\n", loop.latencies.size(), frames);
        return false;
    }
    out.latencies = loop.latencies;
    out.cpuPercent = loop.cpuPercent;
    return true;
}

void printSummary(const char* what, const Summary& s) {
    std::printf("  %-26s n=%-6zu p50=%8.1f us  p99=%8.1f us  max=%9.1f us\n", what, s.n, s.p50, s.p99, s.max);
}

int runLatency(uint32_t frames) {
    std::printf("== latency and busy CPU: version 3, 1000 frames/s, %u frames per side\n", frames);
    std::printf("   (two alternating blocks per side; load average %.2f)\n", loadAverage());
    SideResult lib, base;
    std::vector<double> libCpu, baseCpu;
    for (int block = 0; block < 2; ++block) {
        SideResult l, b;
        if (!measureLibrary(frames / 2, l) || !measureBaseline(frames / 2, b)) {
            std::printf("  FAILED: a side did not complete\n");
            return 1;
        }
        lib.latencies.insert(lib.latencies.end(), l.latencies.begin(), l.latencies.end());
        base.latencies.insert(base.latencies.end(), b.latencies.begin(), b.latencies.end());
        base.polled.insert(base.polled.end(), b.polled.begin(), b.polled.end());
        libCpu.push_back(l.cpuPercent);
        baseCpu.push_back(b.cpuPercent);
    }
    const Summary sl = summarize(lib.latencies), sb = summarize(base.latencies);
    printSummary("library, read() / 0.2 ms", sl);
    printSummary("baseline blocking loop", sb);
    const Summary sp = summarize(base.polled);
    printSummary("baseline, polled / 0.2 ms", sp);
    std::printf("  library vs loop:        p50 %.2fx (target <= 4)  p99 %.2fx (target <= 2)\n", sl.p50 / sb.p50,
                sl.p99 / sb.p99);
    std::printf("  library vs polled loop: p50 %.2fx  p99 %.2fx (both polled the same way)\n", sl.p50 / sp.p50,
                sl.p99 / sp.p99);
    const double lc = (libCpu[0] + libCpu[1]) / 2, bc = (baseCpu[0] + baseCpu[1]) / 2;
    std::printf(
        "  CPU: reader thread %.2f%% of a core, baseline loop %.2f%%: difference %+.2f points (target <= +0.5)\n", lc,
        bc, lc - bc);
    std::printf("  load average after: %.2f\n", loadAverage());
    return 0;
}

int runIdle() {
    std::printf("== idle CPU: reader thread while the DAQ sends nothing (10 silent windows)\n");
    double cpuNs = 0, wallNs = 0;
    std::vector<double> endsMs;  // from the last frame written to the connection's end
    for (int i = 0; i < 10; ++i) {
        Pty pty;
        auto writer = std::make_unique<FrameWriter>(std::vector<int>{pty.master}, kMs);
        KineDAQ daq;
        pid_t reader = 0;
        if (!openWithReader(daq, portFor(pty.path, "68 v1.1"), reader)) {
            std::printf("  FAILED: open\n");
            return 1;
        }
        writer->stop();
        const int64_t lastFrame = nowNs();
        sleepNs(5 * kMs);  // let the last frame be read
        const int64_t cpu0 = threadCpuNs(reader), wall0 = nowNs();
        int64_t cpu1 = cpu0;
        while (daq.isOpen()) {  // the reader ends itself after 550 ms of silence
            const int64_t c = threadCpuNs(reader);
            if (c >= 0) cpu1 = c;
            sleepNs(2 * kMs);
        }
        cpuNs += static_cast<double>(cpu1 - cpu0);
        wallNs += static_cast<double>(nowNs() - wall0);
        endsMs.push_back(static_cast<double>(nowNs() - lastFrame) / 1e6);
    }
    std::printf("  reader CPU %.4f%% of a core over %.1f s of silence (target <= 0.5%%)\n", 100.0 * cpuNs / wallNs,
                wallNs / 1e9);
    std::sort(endsMs.begin(), endsMs.end());
    std::printf("  connection ended %.1f ms (median; max %.1f ms) after the last frame: %.3fx the 550 ms window\n",
                endsMs[endsMs.size() / 2], endsMs.back(), endsMs[endsMs.size() / 2] / 550.0);
    return 0;
}

// ---------------------------------------------------------------- many DAQs

// `n` pseudo-terminals and their master descriptors.
struct PtySet {
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<int> masters;
    explicit PtySet(int n) {
        for (int i = 0; i < n; ++i) {
            ptys.push_back(std::make_unique<Pty>());
            masters.push_back(ptys.back()->master);
        }
    }
    const std::string& path(int i) const { return ptys[static_cast<size_t>(i)]->path; }
};

// Opens a version-3 connection on every pty; their reader threads' ids are
// appended to `readers`.
bool openAll(const PtySet& ptys, std::vector<std::unique_ptr<KineDAQ>>& daqs, std::vector<pid_t>& readers) {
    for (size_t i = 0; i < ptys.ptys.size(); ++i) {
        daqs.push_back(std::make_unique<KineDAQ>());
        pid_t r = 0;
        if (!openWithReader(*daqs.back(), portFor(ptys.path(static_cast<int>(i)), "68 v1.1"), r)) {
            std::printf("  FAILED: open of DAQ %zu\n", i);
            return false;
        }
        readers.push_back(r);
    }
    return true;
}

struct ScaleResult {
    double cpuPerDaq = 0;  // % of a core
    Summary latency;
    uint64_t samples = 0, gaps = 0, repeats = 0, negative = 0;
};

// Reads every connection with readAll() every `periodNs`; checks that each
// connection's sequence numbers follow on without a gap or a repeat.
ScaleResult runConnections(int n, int64_t periodNs, double seconds, bool wantLatency) {
    ScaleResult res;
    const PtySet ptys(n);
    FrameWriter writer(ptys.masters, kMs);
    std::vector<std::unique_ptr<KineDAQ>> daqs;
    std::vector<pid_t> readers;
    if (!openAll(ptys, daqs, readers)) return res;
    KinePackage* samples = nullptr;
    for (auto& d : daqs) d->readAll(samples, false);  // start from now
    std::vector<int64_t> lastSeq(static_cast<size_t>(n), -1);
    std::vector<int64_t> latencies;
    int64_t cpu0 = 0;
    for (pid_t r : readers) cpu0 += threadCpuNs(r);
    const int64_t wall0 = nowNs(), end = wall0 + static_cast<int64_t>(seconds * 1e9);
    int64_t due = wall0;
    while (nowNs() < end) {
        for (int i = 0; i < n; ++i) {
            const int r = daqs[static_cast<size_t>(i)]->readAll(samples, false);
            const int64_t t = nowNs();
            if (r < 0) {
                ++res.negative;
                continue;
            }
            for (int k = 0; k < r; ++k) {
                const int64_t seq = seqOf(samples[k]);
                int64_t& last = lastSeq[static_cast<size_t>(i)];
                if (last >= 0 && seq != last + 1) (seq <= last ? res.repeats : res.gaps) += 1;
                last = seq;
                ++res.samples;
                if (wantLatency)
                    latencies.push_back(t - writer.sentNs(static_cast<size_t>(i), static_cast<uint32_t>(seq)));
            }
        }
        due += periodNs;
        sleepUntilNs(due);
    }
    int64_t cpu1 = 0;
    for (pid_t r : readers) cpu1 += threadCpuNs(r);
    res.cpuPerDaq = 100.0 * static_cast<double>(cpu1 - cpu0) / static_cast<double>(nowNs() - wall0) / n;
    res.latency = summarize(latencies);
    delete[] samples;
    return res;
}

// The same streams read by N blocking loops, one thread each.
ScaleResult runLoops(int n, double seconds) {
    ScaleResult res;
    const PtySet ptys(n);
    FrameWriter writer(ptys.masters, kMs);
    sleepNs(50 * kMs);
    const uint32_t first = writer.next() + 20, count = static_cast<uint32_t>(seconds * 1000);
    std::vector<std::unique_ptr<BlockingLoop>> loops;
    for (int i = 0; i < n; ++i)
        loops.push_back(std::make_unique<BlockingLoop>(ptys.path(i), writer, first, count, static_cast<size_t>(i)));
    const int64_t giveUp = nowNs() + static_cast<int64_t>((seconds + 10) * 1e9);
    std::vector<int64_t> latencies;
    double cpu = 0;
    for (auto& l : loops) {
        while (!l->done() && nowNs() < giveUp) sleepNs(20 * kMs);
        if (!l->done()) return res;
        latencies.insert(latencies.end(), l->latencies.begin(), l->latencies.end());
        cpu += l->cpuPercent;
    }
    res.cpuPerDaq = cpu / n;
    res.latency = summarize(latencies);
    res.samples = latencies.size();
    return res;
}

int runScale(double seconds) {
    std::printf("== many DAQs: 1000 frames/s each, %.0f s per phase (load average %.2f)\n", seconds, loadAverage());
    double cpu1 = 0, p99one = 0, loopCpu1 = 0, loopP99one = 0;
    int failures = 0;
    for (int n : {1, 4, 16}) {
        const ScaleResult fast = runConnections(n, kPollNs, seconds, true);
        const ScaleResult slow = runConnections(n, 10 * kMs, seconds, false);
        const ScaleResult loops = runLoops(n, seconds);
        if (n == 1) {
            cpu1 = (fast.cpuPerDaq + slow.cpuPerDaq) / 2;
            p99one = fast.latency.p99;
            loopCpu1 = loops.cpuPerDaq;
            loopP99one = loops.latency.p99;
        }
        const double cpu = (fast.cpuPerDaq + slow.cpuPerDaq) / 2;
        std::printf(
            "  %2d DAQs: reader CPU per DAQ %.2f%% (%.2fx the 1-DAQ cost)  latency p50 %.1f us p99 %.1f us "
            "(%.2fx the 1-DAQ p99)\n",
            n, cpu, cpu / cpu1, fast.latency.p50, fast.latency.p99, fast.latency.p99 / p99one);
        std::printf("           readAll every 10 ms: %" PRIu64 " samples, %" PRIu64 " gaps, %" PRIu64
                    " repeats, %" PRIu64 " negative results; every 0.2 ms: %" PRIu64 " gaps, %" PRIu64 " repeats\n",
                    slow.samples, slow.gaps, slow.repeats, slow.negative, fast.gaps, fast.repeats);
        std::printf(
            "           baseline, %d blocking loops: CPU per loop %.2f%% (%.2fx)  latency p50 %.1f us p99 "
            "%.1f us (%.2fx)\n",
            n, loops.cpuPerDaq, loops.cpuPerDaq / loopCpu1, loops.latency.p50, loops.latency.p99,
            loops.latency.p99 / loopP99one);
        failures += slow.samples == 0 || slow.gaps || slow.repeats || slow.negative;
    }
    std::printf("  load average after: %.2f\n", loadAverage());
    return failures ? 1 : 0;
}

// ---------------------------------------------------------------- waiting reads

// A caller thread that streams one connection with waitReadAll(): records
// each sample's latency from the writer's last byte, checks that sequence
// numbers follow on, and ends when the connection closes.
class Waiter {
public:
    Waiter(KineDAQ& daq, const FrameWriter& writer, size_t stream) : daq_(daq), writer_(writer), stream_(stream) {
        thread_ = std::thread([this] { loop(); });
        while (tid_.load() == 0) std::this_thread::yield();
    }
    ~Waiter() { join(); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    pid_t tid() const { return tid_.load(); }
    void record(bool on) { record_ = on; }
    int64_t last() const { return last_.load(); }
    std::vector<int64_t> latencies;  // read after join()
    uint64_t samples = 0, gaps = 0, repeats = 0, negative = 0;

private:
    void loop() {
        tid_ = ownTid();
        KinePackage* all = nullptr;
        for (;;) {
            const int r = daq_.waitReadAll(all, -1);
            const int64_t t = nowNs();
            if (r == KINE_NOT_OPEN) break;
            if (r < 0) {
                ++negative;
                continue;
            }
            for (int k = 0; k < r; ++k) {
                const int64_t seq = seqOf(all[k]);
                const int64_t prev = last_.load();
                if (prev >= 0 && seq != prev + 1) (seq <= prev ? repeats : gaps) += 1;
                last_ = seq;
                ++samples;
                if (record_) latencies.push_back(t - writer_.sentNs(stream_, static_cast<uint32_t>(seq)));
            }
        }
        delete[] all;
    }

    KineDAQ& daq_;
    const FrameWriter& writer_;
    size_t stream_;
    std::atomic<pid_t> tid_{0};
    std::atomic<bool> record_{false};
    std::atomic<int64_t> last_{-1};
    std::thread thread_;
};

struct WaitRun {
    bool ok = false;
    double cpuPerDaq = 0;  // reader + waiter, % of a core
    double readerCpu = 0, waiterCpu = 0;
    std::vector<int64_t> latencies;
    uint64_t samples = 0, gaps = 0, repeats = 0, negative = 0, undelivered = 0;
};

// `n` DAQs at 1000 frames/s, one waiting thread each, for `seconds`; then
// the writer stops and every frame written must reach its waiter.
WaitRun runWaiters(int n, double seconds) {
    WaitRun res;
    const PtySet ptys(n);
    FrameWriter writer(ptys.masters, kMs);
    std::vector<std::unique_ptr<KineDAQ>> daqs;
    std::vector<pid_t> threads;  // readers, then waiters
    if (!openAll(ptys, daqs, threads)) return res;
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < n; ++i) {
        waiters.push_back(std::make_unique<Waiter>(*daqs[static_cast<size_t>(i)], writer, static_cast<size_t>(i)));
        threads.push_back(waiters.back()->tid());
    }
    sleepNs(100 * kMs);  // past the start
    auto cpu = [&](size_t from, size_t to) {
        int64_t c = 0;
        for (size_t i = from; i < to; ++i) c += threadCpuNs(threads[i]);
        return c;
    };
    const size_t nn = static_cast<size_t>(n);
    for (auto& w : waiters) w->record(true);
    const int64_t reader0 = cpu(0, nn), waiter0 = cpu(nn, 2 * nn), wall0 = nowNs();
    sleepNs(static_cast<int64_t>(seconds * 1e9));
    const int64_t reader1 = cpu(0, nn), waiter1 = cpu(nn, 2 * nn), wall1 = nowNs();
    for (auto& w : waiters) w->record(false);
    writer.stop();
    const int64_t lastWritten = static_cast<int64_t>(writer.next()) - 1;
    const int64_t giveUp = nowNs() + 5000 * kMs;
    for (auto& w : waiters)
        while (w->last() < lastWritten && nowNs() < giveUp) sleepNs(kMs);
    for (auto& d : daqs) d->close();
    for (size_t i = 0; i < waiters.size(); ++i) {
        Waiter& w = *waiters[i];
        w.join();
        res.latencies.insert(res.latencies.end(), w.latencies.begin(), w.latencies.end());
        res.samples += w.samples;
        res.gaps += w.gaps;
        res.repeats += w.repeats;
        res.negative += w.negative;
        res.undelivered += static_cast<uint64_t>(std::max<int64_t>(0, lastWritten - w.last()));
    }
    const double wall = static_cast<double>(wall1 - wall0) * n / 100.0;
    res.readerCpu = static_cast<double>(reader1 - reader0) / wall;
    res.waiterCpu = static_cast<double>(waiter1 - waiter0) / wall;
    res.cpuPerDaq = res.readerCpu + res.waiterCpu;
    res.ok = true;
    return res;
}

// Reader plus waiter CPU while the DAQ is silent, until the reader ends the
// connection after 550 ms; the waiter waits without limit meanwhile.
double silentWaitCpu(int windows, double& wallSeconds) {
    double cpuNs = 0, wallNs = 0;
    for (int i = 0; i < windows; ++i) {
        Pty pty;
        FrameWriter writer({pty.master}, kMs);
        KineDAQ daq;
        pid_t reader = 0;
        if (!openWithReader(daq, portFor(pty.path, "68 v1.1"), reader)) return -1;
        Waiter waiter(daq, writer, 0);
        writer.stop();
        const int64_t lastWritten = static_cast<int64_t>(writer.next()) - 1;
        const int64_t giveUp = nowNs() + 5000 * kMs;
        while (waiter.last() < lastWritten && nowNs() < giveUp)
            sleepNs(kMs);  // the last frame is in the waiter's hands
        const pid_t ids[2] = {reader, waiter.tid()};
        auto cpu = [&] { return threadCpuNs(ids[0]) + threadCpuNs(ids[1]); };
        const int64_t cpu0 = cpu(), wall0 = nowNs();
        int64_t cpu1 = cpu0;
        while (daq.isOpen()) {
            const int64_t a = threadCpuNs(ids[0]), b = threadCpuNs(ids[1]);
            if (a >= 0 && b >= 0) cpu1 = a + b;
            sleepNs(2 * kMs);
        }
        cpuNs += static_cast<double>(cpu1 - cpu0);
        wallNs += static_cast<double>(nowNs() - wall0);
        daq.close();
    }
    wallSeconds = wallNs / 1e9;
    return 100.0 * cpuNs / wallNs;
}

int runWait(uint32_t frames, double seconds) {
    std::printf(
        "== waiting reads: version 3, 1000 frames/s, waitReadAll() in a thread of its own, against a "
        "blocking ppoll() loop (load average %.2f)\n",
        loadAverage());
    // Latency and busy CPU: alternating blocks, library then loop.
    const double blockSeconds = frames / 2 / 1000.0;
    std::vector<int64_t> lib, base;
    double libCpu = 0, baseCpu = 0, readerCpu = 0, waiterCpu = 0;
    for (int block = 0; block < 2; ++block) {
        const WaitRun one = runWaiters(1, blockSeconds);
        SideResult b;
        if (!one.ok || !measureBaseline(frames / 2, b)) {
            std::printf("  FAILED: a side did not complete\n");
            return 1;
        }
        lib.insert(lib.end(), one.latencies.begin(), one.latencies.end());
        base.insert(base.end(), b.latencies.begin(), b.latencies.end());
        libCpu += one.cpuPerDaq / 2;
        readerCpu += one.readerCpu / 2;
        waiterCpu += one.waiterCpu / 2;
        baseCpu += b.cpuPercent / 2;
    }
    const Summary sl = summarize(lib), sb = summarize(base);
    printSummary("library, waitReadAll()", sl);
    printSummary("baseline blocking loop", sb);
    std::printf("  library vs loop: p50 %.2fx  p99 %.2fx (targets <= 2)\n", sl.p50 / sb.p50, sl.p99 / sb.p99);
    std::printf(
        "  CPU: reader + waiter %.2f%% (%.2f + %.2f) of a core, loop %.2f%%: difference %+.2f points "
        "(target <= +0.5)\n",
        libCpu, readerCpu, waiterCpu, baseCpu, libCpu - baseCpu);

    double silentSeconds = 0;
    const double silent = silentWaitCpu(10, silentSeconds);
    std::printf("  silent DAQ: reader + waiter %.4f%% of a core over %.1f s (target <= 0.1%%)\n", silent,
                silentSeconds);

    int failures = silent < 0 || silent > 0.1;
    double cpuOne = 0;
    for (int n : {1, 16}) {
        const WaitRun r = runWaiters(n, seconds);
        if (!r.ok) return 1;
        if (n == 1) cpuOne = r.cpuPerDaq;
        const Summary s = summarize(r.latencies);
        std::printf(
            "  %2d DAQs, one waiting thread each: CPU per DAQ %.2f%% (%.2fx one DAQ's, target <= 1.2)  "
            "p50 %.1f us  p99 %.1f us\n",
            n, r.cpuPerDaq, r.cpuPerDaq / cpuOne, s.p50, s.p99);
        std::printf("           %" PRIu64 " samples, %" PRIu64 " gaps, %" PRIu64 " repeats, %" PRIu64
                    " negative results, %" PRIu64 " written but not delivered\n",
                    r.samples, r.gaps, r.repeats, r.negative, r.undelivered);
        failures += r.gaps || r.repeats || r.negative || r.undelivered;
    }
    std::printf("  load average after: %.2f\n", loadAverage());
    return failures ? 1 : 0;
}

// ---------------------------------------------------------------- no loss at line rate

int32_t low16(uint32_t v) { return static_cast<int32_t>(v & 0xFFFF); }

// A check value derived from the sequence number, carried in Tz.
int32_t checkOf(uint32_t seq) { return static_cast<int32_t>((seq * 7919u) & 0x7FFF); }

uint32_t seqOf6D(const KinePackage6D& p) {
    return (static_cast<uint32_t>(p.Fy & 0xFFFF) << 16) | static_cast<uint32_t>(p.Fx & 0xFFFF);
}

int runNoLoss(double seconds) {
    std::printf(
        "== no loss at line rate: version 8, 1000 frames/s (102 bytes each), readAll6D every 10 ms, %.0f s "
        "(load average %.2f)\n",
        seconds, loadAverage());
    kine_sim::SimulatedDaq::Options o;
    o.version = 8;
    o.speedHz = 1000;
    o.refuseConfig = true;  // keep 1000 frames/s although open asks the unit for 100
    kine_sim::SimulatedDaq sim(o);
    const uint32_t total = static_cast<uint32_t>((seconds + 30) * 1000);
    std::vector<int32_t> fx, fy, tz;
    for (uint32_t s = 0; s < total; ++s) {
        fx.push_back(low16(s));
        fy.push_back(static_cast<int32_t>(s >> 16));
        tz.push_back(checkOf(s));
    }
    sim.feed(kine_sim::Channel::Fx, fx);
    sim.feed(kine_sim::Channel::Fy, fy);
    sim.feed(kine_sim::Channel::Tz, tz);
    KineDAQ daq;
    if (!daq.open(portFor(sim.devicePath(), sim.deviceVersionText()), false, 1000000)) {
        std::printf("  FAILED: open\n");
        return 1;
    }
    KinePackage6D* samples = nullptr;
    daq.readAll6D(samples, false);
    const auto stats0 = sim.stats();
    int64_t last = -1;
    uint64_t got = 0, gaps = 0, repeats = 0, bad = 0, negative = 0;
    auto take = [&](int r) {
        for (int k = 0; k < r; ++k) {
            const uint32_t seq = seqOf6D(samples[k]);
            if (samples[k].Tz != checkOf(seq)) ++bad;
            if (last >= 0 && static_cast<int64_t>(seq) != last + 1)
                (static_cast<int64_t>(seq) <= last ? repeats : gaps) += 1;
            last = seq;
            ++got;
        }
    };
    const int64_t t0 = nowNs(), end = t0 + static_cast<int64_t>(seconds * 1e9);
    int64_t due = t0;
    while (nowNs() < end) {
        const int r = daq.readAll6D(samples, false);
        if (r < 0)
            ++negative;
        else
            take(r);
        due += 10 * kMs;
        sleepUntilNs(due);
    }
    const auto stats1 = sim.stats();
    const double elapsed = static_cast<double>(nowNs() - t0) / 1e9;
    const uint64_t sent = stats1.framesSent - stats0.framesSent;
    std::printf("  %" PRIu64 " frames sent (%.0f bytes/s), %" PRIu64 " dropped by the simulator; %" PRIu64
                " samples read: %" PRIu64 " lost, %" PRIu64 " duplicated or out of order, %" PRIu64
                " with wrong values, %" PRIu64 " negative results\n",
                sent, static_cast<double>(sent) * 102.0 / elapsed, stats1.framesDropped - stats0.framesDropped, got,
                gaps, repeats, bad, negative);
    // The simulator skips frames when its own thread falls more than 100 ms
    // behind (machine stalls), or when the pty is full because the reader
    // did not drain it; its largest lateness tells the two apart.
    std::printf("  simulator: largest lateness of a frame %.1f ms, its thread used %.1f%% of a core\n",
                static_cast<double>(stats1.maxLateness.count()) / 1e6,
                100.0 * static_cast<double>((stats1.cpuTime - stats0.cpuTime).count()) / (elapsed * 1e9));
    const bool clean = gaps == 0 && repeats == 0 && bad == 0 && negative == 0 && got > 0;

    // The stall: 2 s without reads overflows the 100,000-byte buffer.
    sleepNs(2000 * kMs);
    std::vector<int> results;
    uint64_t badAfter = 0, gapsAfter = 0;
    int64_t lastAfter = -1;
    for (int i = 0; i < 100; ++i) {  // one second of reads every 10 ms
        const int r = daq.readAll6D(samples, false);
        results.push_back(r);
        for (int k = 0; k < r; ++k) {
            const uint32_t seq = seqOf6D(samples[k]);
            if (samples[k].Tz != checkOf(seq)) ++badAfter;
            if (lastAfter >= 0 && static_cast<int64_t>(seq) != lastAfter + 1) ++gapsAfter;
            lastAfter = seq;
        }
        sleepNs(10 * kMs);
    }
    size_t overflowReads = 0;
    while (overflowReads < results.size() && results[overflowReads] == -1) ++overflowReads;
    bool laterNegative = false;
    for (size_t i = overflowReads; i < results.size(); ++i) laterNegative |= results[i] < 0;
    std::printf("  after a 2 s stall: %zu read(s) gave -1, then %s; after that %" PRIu64 " gaps, %" PRIu64
                " samples with wrong values in 1 s of reads\n",
                overflowReads, laterNegative ? "more negative results (FAILED)" : "only samples", gapsAfter, badAfter);
    delete[] samples;
    return clean && overflowReads >= 1 && !laterNegative && gapsAfter == 0 && badAfter == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- open time

int runOpen() {
    std::printf("== open time per version, median of 10 (load average %.2f)\n", loadAverage());
    for (int v = 3; v <= 8; ++v) {
        kine_sim::SimulatedDaq::Options o;
        o.version = v;
        kine_sim::SimulatedDaq sim(o);
        const KPort port = portFor(sim.devicePath(), sim.deviceVersionText());
        std::vector<double> open, exchange;
        for (int i = 0; i < 10; ++i) {
            KineDAQ daq;
            const int64_t t0 = nowNs();
            const bool ok = daq.open(port, false, 1000000);
            open.push_back(static_cast<double>(nowNs() - t0) / 1e6);
            if (!ok) std::printf("  version %d: open %d failed\n", v, i);
            daq.close();
            if (v >= 6) {  // the configuration exchange alone
                KineDAQ_private d;
                bool exchanged = false;
                std::string path = sim.devicePath();
                const int64_t t1 = nowNs();
                d.configure170(path.data(), exchanged, false);
                exchange.push_back(static_cast<double>(nowNs() - t1) / 1e6);
            }
        }
        if (v >= 6)
            std::printf(
                "  version %d: open %.1f ms = configuration exchange %.1f ms (of it 33 ms fixed settling "
                "sleep) + reader start and first-frame polls (25 ms apart) %.1f ms\n",
                v, median(open), median(exchange), median(open) - median(exchange));
        else
            std::printf("  version %d: open %.1f ms: reader start and first-frame polls (25 ms apart)\n", v,
                        median(open));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string what = argc > 1 ? argv[1] : "all";
    uint32_t frames = 10000;
    double scaleSeconds = 10, noLossSeconds = 60;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        if (opt == "--frames")
            frames = static_cast<uint32_t>(std::atoi(argv[i + 1]));
        else if (opt == "--seconds")
            scaleSeconds = std::atof(argv[i + 1]);
        else if (opt == "--noloss-seconds")
            noLossSeconds = std::atof(argv[i + 1]);
        else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    const bool all = what == "all";
    if (!all && what != "latency" && what != "idle" && what != "wait" && what != "scale" && what != "noloss" &&
        what != "open") {
        std::fprintf(stderr,
                     "usage: %s [all|latency|idle|wait|scale|noloss|open] [--frames N] [--seconds S] "
                     "[--noloss-seconds S]\n",
                     argv[0]);
        return 2;
    }
    std::printf("stream_bench: %u CPUs online\n", static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
    int failed = 0;
    if (all || what == "latency") failed |= runLatency(frames);
    if (all || what == "idle") failed |= runIdle();
    if (all || what == "wait") failed |= runWait(frames, scaleSeconds);
    if (all || what == "scale") failed |= runScale(scaleSeconds);
    if (all || what == "noloss") failed |= runNoLoss(noLossSeconds);
    if (all || what == "open") failed |= runOpen();
    std::fflush(stdout);
    return failed;
}
