// SPDX-License-Identifier: MIT
// Discovery timings and the port monitor's idle cost, against simulated
// DAQs in a fake /dev and sysfs tree. Each figure is the median of 10 runs.
//
//  probe     setupSerial on a plugged DAQ, without the monitor: the baseline
//            for the latencies below, split into the safe open (10 passes
//            of 32 bytes) and the probe proper (300-byte passive read, and
//            for the 0xAA family the identity exchange).
//  new       from the DAQ appearing in the tree to isNewPort turning true;
//            plugged at an offset that walks through the 100 ms cycle.
//  lost      from the DAQ's port disappearing to isLostPort turning true.
//  idle CPU  process CPU time of the monitor over 1 s windows, as a share of
//            one core, with 0 and with 8 known DAQs, and with 8 DAQs and 8
//            ports of another vendor (the DAQs run in a child process so
//            that only the monitor is measured), and, as a
//            baseline of the same run, the CPU cost of describing every port
//            of the tree (list_ports): a monitor that did that twice per
//            cycle would spend 20 of them per second.
//
// Usage: ports_bench [--runs N]
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kine_sim/simulated_daq.h"
#include "ports/KinePorts_private.h"
#include "ports/PortRoots.h"
#include "serial/list_ports_linux.h"
#include "support/fake_port_tree.h"
#include "support/pty_pair.h"  // msSince
#include "transport/KineSerial.h"

namespace {

using Clock = std::chrono::steady_clock;
using kine_test::FakePortTree;
using kine_test::msSince;

int runs = 10;

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double processCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

template <typename Pred>
bool pollUntil(Pred pred, double timeoutMs) {
    const auto t0 = Clock::now();
    while (!pred()) {
        if (msSince(t0) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

std::unique_ptr<kine_sim::SimulatedDaq> makeDaq(int version, int hz) {
    kine_sim::SimulatedDaq::Options o;
    o.version = version;
    o.speedHz = hz;
    return std::unique_ptr<kine_sim::SimulatedDaq>(new kine_sim::SimulatedDaq(o));
}

// --- probe and plug/unplug latencies --------------------------------------

void probeAndLatency(int version, int hz) {
    FakePortTree tree;
    tree.use();
    std::vector<double> openMs, probeMs, totalMs, newMs, lostMs;
    int refused = 0, missed = 0;
    {
        KinePorts_private monitor(0, 1000000);  // finds nothing: only lends its probe
        for (int run = 0; run < runs; ++run) {
            auto daq = makeDaq(version, hz);
            KineSerial channel;
            const auto t0 = Clock::now();
            if (!channel.Open(daq->devicePath(), 1000000, true)) {
                ++refused;
                continue;
            }
            const double opened = msSince(t0);
            const int result = monitor.preprocess170(channel).result;
            channel.Close();
            if (result < 1) ++refused;
            openMs.push_back(opened);
            probeMs.push_back(msSince(t0) - opened);
            totalMs.push_back(msSince(t0));
        }
    }
    KinePorts_private monitor(0, 1000000);
    for (int run = 0; run < runs; ++run) {
        auto daq = makeDaq(version, hz);
        // Plug at an offset that walks through the cycle (after the previous
        // lost event the monitor is at a fixed point of its cycle).
        std::this_thread::sleep_for(std::chrono::milliseconds(run * 100 / runs));
        auto t0 = Clock::now();
        tree.plugUsb("ttyACM0", daq->devicePath());
        if (!pollUntil([&] { return monitor.isNewPortThread(true); }, 10000)) {
            ++missed;  // refused or timed out: take the port away and go on
            tree.unplug("ttyACM0");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            continue;
        }
        newMs.push_back(msSince(t0));
        monitor.getNewPortThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(37 * run % 100));
        t0 = Clock::now();
        tree.unplug("ttyACM0");
        pollUntil([&] { return monitor.isLostPortThread(true); }, 10000);
        lostMs.push_back(msSince(t0));
        monitor.getLostPortThread();
    }
    std::printf(
        "v%d %4d Hz | probe %6.1f ms (safe open %6.1f + probe %6.1f) | new %6.1f ms (x%.2f probe) | "
        "lost %5.1f ms | refused %d, missed %d of %d\n",
        version, hz, median(totalMs), median(openMs), median(probeMs), median(newMs), median(newMs) / median(totalMs),
        median(lostMs), refused, missed, runs);
}

// --- idle CPU ---------------------------------------------------------------

// Starts `count` simulated DAQs in a child process and returns their device
// paths; the child ends when `stop` (the write end) is closed.
std::vector<std::string> daqsInChild(int count, int& stop, pid_t& child) {
    int paths[2], hold[2];
    if (pipe(paths) != 0 || pipe(hold) != 0) std::exit(1);
    child = fork();
    if (child == 0) {
        close(paths[0]);
        close(hold[1]);
        std::vector<std::unique_ptr<kine_sim::SimulatedDaq>> daqs;
        std::string text;
        for (int i = 0; i < count; ++i) {
            daqs.push_back(makeDaq(3, 1000));
            text += daqs.back()->devicePath() + "\n";
        }
        if (write(paths[1], text.data(), text.size()) < 0) _exit(1);
        close(paths[1]);
        char c;
        while (read(hold[0], &c, 1) > 0) {
        }
        daqs.clear();
        _exit(0);
    }
    close(paths[1]);
    close(hold[0]);
    stop = hold[1];
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(paths[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(paths[0]);
    std::vector<std::string> out;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(text.substr(at, nl - at));
    return out;
}

void idleCpu(const char* label, const std::string& dev, const std::string& sys, int known) {
    kine_ports_set_roots(dev.c_str(), sys.c_str());
    std::vector<double> enumerationUs;
    for (int i = 0; i < runs; ++i) {
        const double c0 = processCpuMs();
        for (int k = 0; k < 100; ++k) serial::detail::list_ports_in(dev, sys);
        enumerationUs.push_back((processCpuMs() - c0) * 1000 / 100);
    }
    KinePorts_private monitor(0, 1000000);
    pollUntil([&] { return monitor.getSize(true) == known && monitor.completedCycles() >= 3; }, 30000);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> share;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        const double c0 = processCpuMs();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        share.push_back((processCpuMs() - c0) / msSince(t0) * 100);
    }
    std::printf(
        "%-28s | known %d | list_ports %6.1f us CPU | monitor %.3f%% of a core (x%.2f of 20 list_ports/s "
        "= %.3f%%)\n",
        label, monitor.getSize(true), median(enumerationUs), median(share),
        median(share) / (median(enumerationUs) * 20 / 1e4), median(enumerationUs) * 20 / 1e4);
    kine_ports_set_roots(nullptr, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--runs N]\n", argv[0]);
            return 2;
        }
    }
    std::printf("median of %d runs\n", runs);
    {
        // Idle cost first, while this process has no thread but the monitor's.
        FakePortTree tree;
        int stop = -1;
        pid_t child = -1;
        idleCpu("empty tree", tree.dev(), tree.sys(), 0);
        int n = 0;
        for (const std::string& path : daqsInChild(8, stop, child)) tree.plugUsb("ttyACM" + std::to_string(n++), path);
        idleCpu("8 DAQs (0x37, 1000 Hz)", tree.dev(), tree.sys(), 8);
        // Adapters of other vendors beside them (not probed, but enumerated,
        // looked up and checked for a replug every cycle).
        for (int i = 0; i < 8; ++i) tree.plugUsb("ttyUSB" + std::to_string(i), "/dev/null", "2341", "0043");
        idleCpu("8 DAQs + 8 foreign ports", tree.dev(), tree.sys(), 8);
        close(stop);
        waitpid(child, nullptr, 0);
        idleCpu("this machine's /dev and /sys", "/dev", "/sys", 0);
    }
    for (int hz : {1000, 100})
        for (int version : {3, 6}) probeAndLatency(version, hz);
    return 0;
}
