// SPDX-License-Identifier: MIT
// Publishing over ZeroMQ against reading locally, in one run:
//
//   16 simulated version-3 DAQs at 1000 frames/s each. First they are read
//   locally for S seconds by one thread with the publisher's own read loop
//   (readAll on every DAQ, then waitForSamples); then the same DAQs are
//   published for S seconds by kine publish's Publisher on one thread to 4
//   subscribers (libkine_zmq) on loopback, each on a thread of its own.
//
//   CPU      the reading thread's CPU time per DAQ (per-thread CPU clock),
//            local against publishing, where the publisher's ZeroMQ threads
//            (found as the threads its construction started) are added; the
//            library's reader threads run in both phases and are not counted.
//   latency  from the frame's deadline (when the simulator writes its last
//            byte) to the sample being in the reader's hands (local) or in a
//            subscriber's (published): p50 and p99. The simulator's x value
//            is a ramp of 10,000 steps a second, so each sample carries its
//            own send time to 0.1 ms, up to the ramp's time zero, which is
//            taken per DAQ as the earliest arrival seen locally (a frame
//            that came just before a read): the figures are thus slightly
//            low, by the same amount in both phases.
//   loss     gaps in the sample numbers per subscriber, and the publisher's
//            overflow count.
//
// Usage: publish_bench [--seconds S]   (default 10)
#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kine/KineDAQ.h"
#include "kine/kine_subscriber.h"
#include "kine_sim/simulated_daq.h"
#include "publisher.h"

namespace {

constexpr int kDaqs = 16;
constexpr int kSubscribers = 4;
constexpr double kRampPeriod = 3.0;        // seconds
constexpr double kStepsPerSecond = 10000;  // ramp steps

double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::set<int> threadIds() {
    std::set<int> ids;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ids.insert(std::atoi(e->d_name));
        closedir(d);
    }
    return ids;
}

// CPU time of a thread of this process (user + system, in clock ticks).
double threadCpuSeconds(int tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
        if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Unit {
    std::unique_ptr<kine_sim::SimulatedDaq> sim;
    double created = 0;  // monotonic seconds: the ramp's time zero, roughly
    double offset = 0;   // the earliest local latency, taken as 0
    std::vector<double> local;
};

// Latency of a sample of `unit` with ramp value `x` that arrived at `now`.
double latencyOf(const Unit& unit, int32_t x, double now) {
    const double sent = unit.created + unit.offset + (x + 0.5) / kStepsPerSecond;
    const double behind = now - sent;
    return behind - kRampPeriod * std::floor(behind / kRampPeriod + 1.0 / 6);  // in [-0.5, 2.5) s
}

double percentile(std::vector<double>& v, double p) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--seconds") seconds = std::atof(argv[i + 1]);

    std::vector<Unit> units(kDaqs);
    std::vector<std::unique_ptr<KineDAQ>> daqs;
    for (int i = 0; i < kDaqs; ++i) {
        kine_sim::SimulatedDaq::Options o;
        o.version = 3;
        o.compensated = true;
        o.serial = "B" + std::to_string(i);
        const double before = monotonicSeconds();
        units[i].sim = std::make_unique<kine_sim::SimulatedDaq>(o);
        units[i].created = (before + monotonicSeconds()) / 2;
        units[i].sim->setSignal(kine_sim::Channel::x, kine_sim::Signal::ramp(0, 30000, kRampPeriod));
        KPort p;
        KPort::storeField(p.portName, units[i].sim->devicePath());
        KPort::storeField(p.deviceVersion, units[i].sim->deviceVersionText());
        daqs.push_back(std::make_unique<KineDAQ>());
        if (!daqs.back()->open(p)) {
            std::fprintf(stderr, "publish_bench: cannot open simulated DAQ %d\n", i);
            return 1;
        }
    }

    // Local: the publisher's read loop without publishing.
    double localCpu = 0;
    uint64_t localSamples = 0;
    std::thread([&] {
        std::vector<KinePackage*> arrays(kDaqs, nullptr);
        for (int i = 0; i < kDaqs; ++i) daqs[i]->readAll(arrays[i]);  // what piled up since the open
        const double cpu0 = threadCpuSeconds();
        for (const double end = monotonicSeconds() + seconds; monotonicSeconds() < end;) {
            for (int i = 0; i < kDaqs; ++i) {
                const int r = daqs[i]->readAll(arrays[i], false);
                const double now = monotonicSeconds();
                for (int k = 0; k < r; ++k) units[i].local.push_back(latencyOf(units[i], arrays[i][k].x, now));
                if (r > 0) localSamples += static_cast<uint64_t>(r);
            }
            kine_tools::waitForSamples();
        }
        localCpu = threadCpuSeconds() - cpu0;
        for (KinePackage* a : arrays) delete[] a;
    }).join();

    std::vector<double> localLatency;
    for (Unit& u : units) {
        u.offset = u.local.empty() ? 0 : *std::min_element(u.local.begin(), u.local.end());
        for (double l : u.local) localLatency.push_back(l - u.offset);
    }

    // Published to four subscribers.
    kine_tools::Publisher::Options o;
    o.bind = "tcp://127.0.0.1:*";
    const std::set<int> before = threadIds();
    kine_tools::Publisher pub(o);
    std::vector<int> zmqThreads;
    for (int id : threadIds())
        if (!before.count(id)) zmqThreads.push_back(id);
    auto zmqCpu = [&] {
        double sum = 0;
        for (int id : zmqThreads) sum += threadCpuSeconds(id);
        return sum;
    };
    for (int i = 0; i < kDaqs; ++i) {
        kine_tools::Publisher::Identity id;
        id.topic = id.serial = "B" + std::to_string(i);
        id.path = units[i].sim->devicePath();
        pub.add(std::move(daqs[i]), id);
    }
    std::atomic<bool> stop{false};
    struct Seen {
        std::vector<double> latency;
        uint64_t samples = 0, missed = 0;
    };
    std::vector<Seen> seen(kSubscribers);
    std::vector<std::thread> subscribers;
    std::atomic<int> ready{0};
    for (int s = 0; s < kSubscribers; ++s)
        subscribers.emplace_back([&, s] {
            kine_zmq::Subscriber sub(pub.endpoint());
            ++ready;
            kine_zmq::Event e;
            while (!stop) {
                if (!sub.next(e, std::chrono::milliseconds(50)) || e.kind != kine_zmq::Event::Kind::samples) continue;
                const double now = monotonicSeconds();
                const Unit& unit = units[std::stoi(e.topic.substr(1))];
                for (uint32_t k = 0; k < e.data.count; ++k)
                    seen[s].latency.push_back(latencyOf(unit, e.data.values[k * e.data.width], now));
                seen[s].samples += e.data.count;
            }
            seen[s].missed = sub.missed();
        });
    while (ready < kSubscribers) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double publishCpu = 0, publishZmqCpu = 0;
    std::thread([&] {
        // A second of start-up (connections, metadata) is not measured.
        for (const double end = monotonicSeconds() + 1; monotonicSeconds() < end;) {
            pub.pump();
            kine_tools::waitForSamples();
        }
        for (auto& s : seen) s.latency.clear();
        const double cpu0 = threadCpuSeconds(), zmq0 = zmqCpu();
        for (const double end = monotonicSeconds() + seconds; monotonicSeconds() < end;) {
            pub.pump();
            kine_tools::waitForSamples();
        }
        publishCpu = threadCpuSeconds() - cpu0;
        publishZmqCpu = zmqCpu() - zmq0;
    }).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last messages arrive
    stop = true;
    for (auto& t : subscribers) t.join();

    std::vector<double> remote;
    uint64_t missed = 0;
    for (const Seen& s : seen) {
        remote.insert(remote.end(), s.latency.begin(), s.latency.end());
        missed += s.missed;
    }
    uint64_t overflows = 0;
    for (int i = 0; i < kDaqs; ++i) overflows += pub.overflows("B" + std::to_string(i));

    const double localPerDaq = localCpu / seconds / kDaqs * 100;
    const double publishPerDaq = (publishCpu + publishZmqCpu) / seconds / kDaqs * 100;
    std::printf("publish: %d DAQs x 1000 frames/s, %d subscribers on loopback, %.0f s per phase\n", kDaqs, kSubscribers,
                seconds);
    std::printf(
        "  CPU per DAQ, %% of a core: local reading thread %.3f  publishing thread + %zu ZeroMQ threads %.3f "
        "(ZeroMQ %.3f)  ratio %.2f\n",
        localPerDaq, zmqThreads.size(), publishPerDaq, publishZmqCpu / seconds / kDaqs * 100,
        publishPerDaq / localPerDaq);
    const double l50 = percentile(localLatency, 0.5) * 1e3, l99 = percentile(localLatency, 0.99) * 1e3;
    const double r50 = percentile(remote, 0.5) * 1e3, r99 = percentile(remote, 0.99) * 1e3;
    std::printf("  latency frame -> reader, ms: local p50 %.2f p99 %.2f (%zu samples)\n", l50, l99,
                localLatency.size());
    std::printf("  latency frame -> subscriber, ms: p50 %.2f p99 %.2f (%zu samples)  ratio p50 %.2f p99 %.2f\n", r50,
                r99, remote.size(), r50 / l50, r99 / l99);
    std::printf("  lost: %llu samples in gaps over %d subscribers; publisher overflows %llu\n",
                static_cast<unsigned long long>(missed), kSubscribers, static_cast<unsigned long long>(overflows));
    return 0;
}
