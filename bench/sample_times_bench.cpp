// SPDX-License-Identifier: MIT
// How close the kine tool's per-sample host times come to the times the
// simulated DAQ sent its frames, at 1,000 frames/s, read the way the tool
// reads (every ~10 ms). Each frame carries its own send deadline: sensor 0's
// x is the milliseconds since the simulator started and y the tenths of a
// millisecond modulo 3 s. Prints the error of the sample clock's times and,
// for comparison, of the raw arrival times.
//   build/bench/sample_times_bench [seconds]   (default 20)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kine/KineDAQ.h"
#include "kine_sim/simulated_daq.h"
#include "sample_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t, Clock::time_point since) {
    return std::chrono::duration<double>(t - since).count();
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    const double duration = argc > 1 ? std::atof(argv[1]) : 20.0;
    kine_sim::SimulatedDaq::Options o;
    o.version = 7;
    o.compensated = true;
    const Clock::time_point before = Clock::now();
    kine_sim::SimulatedDaq sim(o);
    const Clock::time_point after = Clock::now();
    sim.setSignal(kine_sim::Channel::x, kine_sim::Signal::ramp(0, 30000, 30.0));
    sim.setSignal(kine_sim::Channel::y, kine_sim::Signal::ramp(0, 30000, 3.0));

    KineDAQ daq;
    KPort port;
    KPort::storeField(port.portName, sim.devicePath());
    KPort::storeField(port.deviceVersion, sim.deviceVersionText());
    if (!daq.open(port)) {
        std::fprintf(stderr, "cannot open the simulated DAQ\n");
        return 1;
    }
    SensorConfig c = daq.getConfig();
    c.setSpeed(1000);
    daq.sendConfig(c);
    KinePackage* samples = nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    daq.readAll(samples, false);  // frames of the old speed

    kine_tools::SampleClock clock(1000.0);
    std::vector<double> times, modelError, arrivalError;
    double last = -1e9;
    bool increasing = true;
    uint64_t count = 0;
    const Clock::time_point start = Clock::now();
    while (seconds(Clock::now(), start) < duration) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int r = daq.readAll(samples, false);
        const double arrival = seconds(Clock::now(), before);
        if (r <= 0) continue;
        times.clear();
        clock.timeBatch(arrival, r, times);
        for (int i = 0; i < r; ++i) {
            const KinePackage& p = samples[i];  // sensor 0 comes first
            const double coarse = p.x, fine = p.y / 10.0;
            const double ms = fine + 3000.0 * std::round((coarse - fine) / 3000.0);
            const double sent = ms / 1000.0;  // since `before`, within the constructor's time
            increasing = increasing && times[static_cast<size_t>(i)] > last;
            last = times[static_cast<size_t>(i)];
            ++count;
            if (seconds(Clock::now(), start) < 2.0) continue;  // the model's first seconds
            modelError.push_back(std::fabs(times[static_cast<size_t>(i)] - sent));
            arrivalError.push_back(std::fabs(arrival - sent));
        }
    }
    delete[] samples;
    const auto stats = sim.stats();
    std::printf("sample times at 1000 Hz over %.0f s: %llu samples, %s; compared after the first 2 s\n", duration,
                static_cast<unsigned long long>(count), increasing ? "strictly increasing" : "NOT increasing");
    std::printf("  per-sample time - send time:  p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
                1e3 * percentile(modelError, 0.5), 1e3 * percentile(modelError, 0.99),
                1e3 * percentile(modelError, 1.0));
    std::printf("  read time - send time:        p50 %.3f ms  p99 %.3f ms  max %.3f ms\n",
                1e3 * percentile(arrivalError, 0.5), 1e3 * percentile(arrivalError, 0.99),
                1e3 * percentile(arrivalError, 1.0));
    // The simulator's clock starts as its constructor begins (`before`);
    // the rest of the constructor (making the pty) follows.
    std::printf(
        "  simulator constructed in %.3f ms; frames it dropped falling behind %llu (each shifts the sample\n"
        "  count until the model catches up); latest frame %.3f ms behind its deadline\n",
        1e3 * seconds(after, before), static_cast<unsigned long long>(stats.framesDropped),
        std::chrono::duration<double, std::milli>(stats.maxLateness).count());
    return increasing ? 0 : 1;
}
