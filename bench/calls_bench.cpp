// SPDX-License-Identifier: MIT
// How fast and how cheap the things the unit tests only bound loosely are
// (Google Benchmark), each beside a baseline measured in the same run:
//
//   BM_SimRate/<Hz>           frames the simulator sends over 2 s at each of
//                             its rates; counter of_nominal = achieved rate
//                             divided by the nominal one
//   calls that return at once a channel wait for bytes already waiting, a
//                             read with nothing waiting, waitReadable() on a
//                             closed port, an empty write; baseline: one
//                             FIONREAD ioctl on a pseudo-terminal (BM_Fionread)
//   the CPU of waits          counter cpu_share = CPU time of the waiting
//                             thread / wall time, over 100 ms waits: a wait
//                             on a silent port against ppoll() itself, a read
//                             on a hung-up port (it polls every 1 ms) against
//                             a loop of 1 ms sleeps
//   close and cancel          time from close() to the reader thread ending
//                             (silent DAQ, streaming DAQ) and to a waiting
//                             open() returning cancelled; baseline: waking a
//                             thread blocked in ppoll() and joining it
//
//   build/bench/calls_bench --benchmark_min_time=0.2
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include <serial/serial.h>

#include "daq/ReaderThread.h"
#include "kine/KineDAQ.h"
#include "kine_sim/simulated_daq.h"
#include "support/byte_streamer.h"
#include "support/pty_pair.h"
#include "transport/KineSerial.h"

namespace {

using Clock = std::chrono::steady_clock;
using kine_test::PtyPair;
using std::chrono::milliseconds;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double threadCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The slave side of a pseudo-terminal, raw and non-blocking.
int openRaw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t;
    if (fd >= 0 && tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// ---------------------------------------------------------------- simulator rate

// Reads and discards everything `fd` delivers for `span`.
void drain(int fd, Clock::duration span) {
    unsigned char buf[4096];
    for (const auto end = Clock::now() + span; Clock::now() < end;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0)
            while (::read(fd, buf, sizeof buf) > 0) {
            }
    }
}

void BM_SimRate(benchmark::State& state) {
    const int hz = static_cast<int>(state.range(0));
    kine_sim::SimulatedDaq::Options o;
    o.speedHz = hz;
    kine_sim::SimulatedDaq sim(o);
    const int fd = openRaw(sim.devicePath());
    if (fd < 0) return state.SkipWithError("cannot open the simulator's device");
    drain(fd, milliseconds(200));  // the stream under way
    double frames = 0, dropped = 0, seconds = 0;
    for (auto _ : state) {
        const auto before = sim.stats();
        const auto t0 = Clock::now();
        drain(fd, std::chrono::seconds(2));
        const auto after = sim.stats();
        const double s = secondsSince(t0);
        state.SetIterationTime(s);
        seconds += s;
        frames += static_cast<double>(after.framesSent - before.framesSent);
        dropped += static_cast<double>(after.framesDropped - before.framesDropped);
    }
    ::close(fd);
    state.counters["Hz"] = frames / seconds;
    state.counters["of_nominal"] = frames / seconds / hz;
    state.counters["dropped"] = dropped;
}
BENCHMARK(BM_SimRate)
    ->Arg(1000)
    ->Arg(333)
    ->Arg(100)
    ->Arg(30)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- calls that return at once

void BM_Fionread(benchmark::State& state) {
    PtyPair pty;
    const int fd = openRaw(pty.slavePath());
    int n = 0;
    for (auto _ : state) {
        ::ioctl(fd, FIONREAD, &n);
        benchmark::DoNotOptimize(n);
    }
    ::close(fd);
}
BENCHMARK(BM_Fionread);

void BM_ChannelWaitForBytesWaiting(benchmark::State& state) {
    PtyPair pty;
    KineSerial ch;
    if (!ch.Open(pty.slavePath(), 1000000, false)) return state.SkipWithError("open failed");
    pty.write(std::vector<uint8_t>{1});
    while (ch.BytesAvailable() < 1) std::this_thread::sleep_for(milliseconds(1));
    for (auto _ : state) benchmark::DoNotOptimize(ch.WaitForRead(1, 0));
}
BENCHMARK(BM_ChannelWaitForBytesWaiting);

void BM_SerialReadNothingWaiting(benchmark::State& state) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600);  // all timeouts 0
    uint8_t buf[16];
    for (auto _ : state) benchmark::DoNotOptimize(port.read(buf, 10));
}
BENCHMARK(BM_SerialReadNothingWaiting);

serial::Timeout tenSeconds() {
    serial::Timeout t;
    t.read_timeout_constant = 10000;
    t.write_timeout_constant = 10000;
    return t;
}

void BM_SerialWaitReadableClosed(benchmark::State& state) {
    serial::Serial closed("", 9600, tenSeconds());
    for (auto _ : state) benchmark::DoNotOptimize(closed.waitReadable());
}
BENCHMARK(BM_SerialWaitReadableClosed);

void BM_SerialWriteEmpty(benchmark::State& state) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 1000000, tenSeconds());
    const std::vector<uint8_t> none;
    for (auto _ : state) benchmark::DoNotOptimize(port.write(none));
}
BENCHMARK(BM_SerialWriteEmpty);

// ---------------------------------------------------------------- the CPU of waits

// Runs `wait` once per iteration; wall time per wait, and CPU share.
template <typename F>
void cpuShare(benchmark::State& state, F&& wait) {
    double cpu = 0, wall = 0;
    for (auto _ : state) {
        const double c0 = threadCpuSeconds();
        const auto t0 = Clock::now();
        wait();
        const double s = secondsSince(t0);
        cpu += threadCpuSeconds() - c0;
        wall += s;
        state.SetIterationTime(s);
    }
    state.counters["cpu_share"] = cpu / wall;
}

void BM_PpollSilent(benchmark::State& state) {
    PtyPair pty;
    const int fd = openRaw(pty.slavePath());
    cpuShare(state, [&] {
        pollfd p{fd, POLLIN, 0};
        const timespec t{0, 100000000};
        ::ppoll(&p, 1, &t, nullptr);
    });
    ::close(fd);
}
BENCHMARK(BM_PpollSilent)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ChannelSilentWait(benchmark::State& state) {
    PtyPair pty;
    KineSerial ch;
    KinetraWakeEvent wake;
    if (!ch.Open(pty.slavePath(), 1000000, false)) return state.SkipWithError("open failed");
    cpuShare(state, [&] { ch.WaitForRead(1, 100, wake.Fd()); });
}
BENCHMARK(BM_ChannelSilentWait)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Sleep1msLoop(benchmark::State& state) {
    cpuShare(state, [] {
        for (const auto end = Clock::now() + milliseconds(100); Clock::now() < end;)
            std::this_thread::sleep_for(milliseconds(1));
    });
}
BENCHMARK(BM_Sleep1msLoop)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ChannelHungUpWait(benchmark::State& state) {
    PtyPair pty;
    KineSerial ch;
    if (!ch.Open(pty.slavePath(), 1000000, false)) return state.SkipWithError("open failed");
    pty.hangUp();  // ready forever, with no data
    std::vector<unsigned char> v;
    cpuShare(state, [&] { ch.ReadBytesTimeout(v, 100); });
}
BENCHMARK(BM_ChannelHungUpWait)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- close and cancel

void BM_WakeAndJoin(benchmark::State& state) {
    for (auto _ : state) {
        const int e = ::eventfd(0, 0);
        std::thread t([e] {
            pollfd p{e, POLLIN, 0};
            ::ppoll(&p, 1, nullptr, nullptr);
        });
        std::this_thread::sleep_for(milliseconds(20));
        const auto t0 = Clock::now();
        ::eventfd_write(e, 1);
        t.join();
        state.SetIterationTime(secondsSince(t0));
        ::close(e);
    }
}
BENCHMARK(BM_WakeAndJoin)->Iterations(20)->UseManualTime()->Unit(benchmark::kMicrosecond);

int statusOf(ReaderThread& r) {
    int status;
    r.getBuffer(true, status);
    return status;
}

// close() and Wait() on a reader that has read and now waits on silence
// (state.range(0) == 0) or reads a byte every millisecond (1).
void BM_ReaderClose(benchmark::State& state) {
    PtyPair pty;
    std::unique_ptr<kine_test::ByteStreamer> stream;
    if (state.range(0) == 1) stream = std::make_unique<kine_test::ByteStreamer>(pty, 1, milliseconds(1));
    for (auto _ : state) {
        ReaderThread r;
        if (!r.startRun(pty.slavePath(), 1000000)) {
            state.SkipWithError("startRun failed");
            break;
        }
        if (!stream) pty.write(std::vector<uint8_t>{1});
        while (statusOf(r) != ReaderThread::kReading) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(20));
        const auto t0 = Clock::now();
        r.close();
        r.Wait();
        state.SetIterationTime(secondsSince(t0));
    }
}
BENCHMARK(BM_ReaderClose)
    ->ArgName("streaming")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// close() while open() waits for the answer to its configuration request
// from a silent version-7 unit.
void BM_OpenCancel(benchmark::State& state) {
    kine_sim::SimulatedDaq::Options o;
    o.version = 7;
    kine_sim::SimulatedDaq sim(o);
    sim.setSilent(true);
    KPort port;
    KPort::storeField(port.portName, sim.devicePath().c_str());
    KPort::storeField(port.deviceVersion, sim.deviceVersionText());
    for (auto _ : state) {
        sim.clearReceived();
        KineDAQ daq;
        Clock::time_point returned;
        std::thread opener([&] {
            daq.open(port);
            returned = Clock::now();
        });
        while (sim.received().empty()) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(20));
        const auto t0 = Clock::now();
        daq.close();
        opener.join();
        state.SetIterationTime(std::chrono::duration<double>(returned - t0).count());
        if (daq.lastOpenError() != KINE_OPEN_CANCELLED) {
            state.SkipWithError("open was not cancelled");
            break;
        }
    }
}
BENCHMARK(BM_OpenCancel)->Iterations(20)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
