// SPDX-License-Identifier: MIT
#include "sim_options.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "daq/Protocol.h"
#include "option_checks.h"

namespace kine_tools {

namespace {

using namespace kine::protocol;
using kine_sim::Channel;
using kine_sim::Signal;
using kine_sim::SimulatedDaq;
using Clock = std::chrono::steady_clock;

}  // namespace

const char kSimDescription[] =
    "Runs a virtual force-sensor DAQ on a pseudo-terminal. The device path is\n"
    "printed on standard output (one line); open it like the DAQ's serial port.\n"
    "The unit streams data frames at once, answers configuration and identity\n"
    "requests and applies configuration writes. It runs until SIGINT or SIGTERM.";

namespace {

const char kFooter[] =
    "Protocol versions: 3 one sensor, 4 four sensors, 5 six-axis (0x37 frames);\n"
    "6 one sensor, 7 four sensors, 8 six-axis (0xAA frames).\n"
    "Signal shapes: default (slow sines, aux a ramp), sine (of --amplitude at\n"
    "--frequency), ramp (sawtooth from 0 to --amplitude, --frequency times a\n"
    "second), constant (every channel holds --amplitude), count (frame n sent\n"
    "carries n mod 16384 plus the channel's index), counter (every channel\n"
    "carries the number of the data frame, 0, 1, 2, ... in 16 bits, so that a\n"
    "reader can check it lost nothing). Raw channels of sine and ramp are offset\n"
    "by the amplitude so they stay positive.";

// A number above 0; with `optional`, also the empty value of an option
// given without one.
CLI::Validator positiveNumber(bool optional = false) {
    return CLI::Validator(
        [optional](std::string& text) -> std::string {
            if (optional && text.empty()) return {};
            double v = 0;
            if (!parseDecimal(text, v)) return "needs a decimal number, not '" + text + "'";
            return v > 0 ? std::string() : "must be above 0";
        },
        "NUM>0");
}

void applySignals(SimulatedDaq& daq, const SimSettings& s) {
    if (s.shape == "default" || s.shape == "count") return;
    const auto a = static_cast<int32_t>(std::lround(s.amplitude));
    auto signalFor = [&](int index, bool raw) {
        const double offset = raw ? std::fabs(s.amplitude) : 0.0;
        if (s.shape == "counter") return Signal::frameCounter();
        if (s.shape == "constant") return Signal::constant(a);
        if (s.shape == "ramp")
            return Signal::ramp(static_cast<int32_t>(offset), static_cast<int32_t>(offset) + a, 1.0 / s.frequency);
        return Signal::sine(s.amplitude, s.frequency, offset, 0.4 * index);
    };
    for (int k = 0; k < 4; ++k) {
        daq.setSignal(Channel::x, signalFor(0, false), k);
        daq.setSignal(Channel::y, signalFor(1, false), k);
        daq.setSignal(Channel::z, signalFor(2, false), k);
        if (s.shape == "constant" || s.shape == "counter") daq.setSignal(Channel::aux, signalFor(3, false), k);
        for (int r = 0; r < 8; ++r) daq.setSignal(kine_sim::rawChannel(r), signalFor(4 + r, true), k);
    }
    const Channel axes[] = {Channel::Fx, Channel::Fy, Channel::Fz, Channel::Tx, Channel::Ty, Channel::Tz};
    // Version 8 sends Fz unsigned in raw mode, like the raw channels.
    const bool rawFz = daq.version() == 8 && !s.options.compensated;
    for (int i = 0; i < 6; ++i) daq.setSignal(axes[i], signalFor(i, i == 2 && rawFz));
}

size_t dataFrameSize(const SimulatedDaq::Options& o) {
    switch (o.version) {
    case 3: return kFrameALength;
    case 4: return o.compensated ? kFrameBCompensatedLength : kFrameBLength;
    case 5: return kFrameELength;
    case 6: return kDataLengthV6 + kAaFrameOverhead;
    case 7: return kDataLengthV7 + kAaFrameOverhead;
    default: return kDataLengthV8 + kAaFrameOverhead;
    }
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Opens the device like a host, counts whole frames over the given time and
// reports the rate seen by the host and the simulator's CPU use.
int measure(const SimSettings& s, double measureSeconds, const char* prog) {
    SimulatedDaq daq(s.options);
    applySignals(daq, s);
    const int fd = ::open(daq.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", prog, daq.devicePath().c_str(), std::strerror(errno));
        return 1;
    }
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);

    const size_t frameSize = dataFrameSize(s.options);
    const uint8_t first = s.options.version <= 5 ? 0x37 : 0xAA;
    std::vector<uint8_t> buf(1 << 16);
    size_t carry = 0;                     // bytes of an incomplete frame at the start of buf
    uint64_t frames = 0, misaligned = 0;  // frames after the first read
    bool started = false;
    Clock::time_point t0{}, tLast{};
    double cpu0 = 0, proc0 = 0;
    uint64_t sent0 = 0;
    const auto total = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(measureSeconds));
    const auto giveUp = Clock::now() + total + std::chrono::seconds(2);

    std::fprintf(stderr, "%s: measuring %s for %.1f s (version %d, %d frames/s)\n", prog, daq.devicePath().c_str(),
                 measureSeconds, s.options.version, daq.framesPerSecond());
    while (Clock::now() < giveUp) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::read(fd, buf.data() + carry, buf.size() - carry);
        if (n <= 0) continue;
        const Clock::time_point now = Clock::now();
        size_t have = carry + static_cast<size_t>(n), off = 0;
        if (!started) {
            // The window opens with the first read; its frames are not counted.
            started = true;
            t0 = now;
            cpu0 = seconds(daq.stats().cpuTime);
            proc0 = processCpuSeconds();
            sent0 = daq.framesSent();
        }
        while (have - off >= frameSize) {
            if (buf[off] != first ||
                kine_sim::checksum(buf.data() + (first == 0x37 ? off + 2 : off), frameSize - (first == 0x37 ? 4 : 2)) !=
                    ((buf[off + frameSize - 2] << 8) | buf[off + frameSize - 1])) {
                ++misaligned;
                ++off;
                continue;
            }
            if (now != t0) ++frames;  // frames of the first read only mark the start
            off += frameSize;
        }
        carry = have - off;
        std::memmove(buf.data(), buf.data() + off, carry);
        tLast = now;
        if (now - t0 >= total) break;
    }
    ::close(fd);
    if (!started || frames < 2) {
        std::fprintf(stderr, "%s: no data arrived\n", prog);
        return 1;
    }
    const SimulatedDaq::Stats st = daq.stats();
    const double elapsed = seconds(tLast - t0);
    const double rate = static_cast<double>(frames) / elapsed;
    const double nominal = daq.framesPerSecond();
    const double simCpu = seconds(st.cpuTime) - cpu0;
    const double procCpu = processCpuSeconds() - proc0;
    std::printf("frames received:   %llu in %.3f s\n", static_cast<unsigned long long>(frames), elapsed);
    std::printf("rate:              %.2f frames/s (nominal %.0f, deviation %+.3f %%)\n", rate, nominal,
                100.0 * (rate - nominal) / nominal);
    std::printf("frames sent:       %llu (dropped %llu, bad frames seen %llu)\n",
                static_cast<unsigned long long>(st.framesSent - sent0),
                static_cast<unsigned long long>(st.framesDropped), static_cast<unsigned long long>(misaligned));
    std::printf("max lateness:      %.1f us\n", std::chrono::duration<double, std::micro>(st.maxLateness).count());
    std::printf("simulator CPU:     %.3f s (%.2f %% of one core)\n", simCpu, 100.0 * simCpu / elapsed);
    std::printf("process CPU:       %.3f s (%.2f %% of one core, including this reader)\n", procCpu,
                100.0 * procCpu / elapsed);
    std::fflush(stdout);
    return 0;
}

// Keeps the unit's value queues topped up with a frame counter: the n-th data
// frame that goes out carries, on channel i of sensor k, (n mod 16384) + i +
// 100 k, and on axis a, (n mod 16384) + a. Frames that cannot be sent take no
// value, so the frames a host receives carry consecutive counts unless some
// were lost on the way.
class FrameCounter {
public:
    void topUp(SimulatedDaq& daq) {
        const size_t queued = daq.queued(Channel::x, 0);
        if (queued >= kAhead) return;
        std::vector<int32_t> counts(kAhead - queued);
        for (auto& c : counts) c = static_cast<int32_t>(next_++ % 16384);
        auto plus = [&counts](int32_t add) {
            std::vector<int32_t> v(counts);
            for (auto& x : v) x += add;
            return v;
        };
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < kine_sim::kSensorChannelCount; ++i) daq.feed(Channel(i), plus(i + 100 * k), k);
        const Channel axes[] = {Channel::Fx, Channel::Fy, Channel::Fz, Channel::Tx, Channel::Ty, Channel::Tz};
        for (int a = 0; a < kine_sim::kAxisCount; ++a) daq.feed(axes[a], plus(a));
    }

private:
    static constexpr size_t kAhead = 2000;  // two seconds at the highest rate
    uint64_t next_ = 0;
};

int serve(const SimSettings& s, const char* prog) {
    // Block the stop signals before the simulator starts its thread, so that
    // they are taken only by sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimulatedDaq daq(s.options);
    applySignals(daq, s);
    if (!s.link.empty()) {
        struct stat st {};
        if (lstat(s.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(s.link.c_str());
        if (::symlink(daq.devicePath().c_str(), s.link.c_str()) != 0) {
            std::fprintf(stderr, "%s: cannot create link %s: %s\n", prog, s.link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    FILE* record = nullptr;
    if (!s.record.empty() && (record = std::fopen(s.record.c_str(), "wbe")) == nullptr) {
        std::fprintf(stderr, "%s: cannot create %s: %s\n", prog, s.record.c_str(), std::strerror(errno));
        return 1;
    }
    FrameCounter counter;
    const bool counting = s.shape == "count";
    if (counting) counter.topUp(daq);
    std::printf("%s\n", daq.devicePath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "%s: version %d unit, device version text \"%s\", on %s\n", prog, s.options.version,
                 daq.deviceVersionText(), daq.devicePath().c_str());

    // Until a stop signal: keep the counter fed, pass on what the host sent,
    // and say when the unit's configuration changes.
    uint8_t config = daq.configByte();
    const timespec tick{0, 20 * 1000 * 1000};
    int sig = -1;
    while (sig < 0) {
        sig = sigtimedwait(&stopSignals, nullptr, &tick);
        if (counting) counter.topUp(daq);
        if (record != nullptr) {
            const std::vector<uint8_t> got = daq.received();
            daq.clearReceived();
            if (!got.empty()) {
                std::fwrite(got.data(), 1, got.size(), record);
                std::fflush(record);
            }
        }
        if (daq.configByte() != config) {
            config = daq.configByte();
            std::fprintf(stderr, "%s: configuration byte now 0x%02X\n", prog, config);
        }
    }
    if (record != nullptr) std::fclose(record);
    daq.hangUp();
    if (!s.link.empty()) ::unlink(s.link.c_str());
    std::fprintf(stderr, "%s: stopped by signal %d after %llu frames\n", prog, sig,
                 static_cast<unsigned long long>(daq.framesSent()));
    return 0;
}

}  // namespace

void addSimOptions(CLI::App& app, SimSettings& s) {
    app.footer(kFooter);
    app.add_option("--version", s.options.version, "protocol version 3..8 (default 3)")
        ->transform(wholeNumber({3, 4, 5, 6, 7, 8}));
    app.add_option("--serial", s.options.serial,
                   "serial number of the identity reply, up to 8 characters (default SIM00001)");
    app.add_option("--speed", s.options.speedHz, "frame rate in Hz: 1000, 333, 100 or 30 (default 1000)")
        ->transform(wholeNumber());
    app.add_option("--filter", s.options.filterHz,
                   "filter cut-off in Hz: 0 (none), 150, 50 or 15; versions 6-8 also 500, 5 or 1 (default 0)")
        ->transform(wholeNumber());
    app.add_flag("--compensated", s.options.compensated, "send compensated values (mode bit 1) instead of raw ones");
    app.add_flag("--refuse-config", s.options.refuseConfig, "answer commands but keep speed, filter and mode");
    app.add_flag_callback(
        "--stopped", [&s] { s.options.streamAtStart = false; },
        "start with periodic data off (the host turns it on by writing a speed code)");
    app.add_option("--signal", s.shape,
                   "values sent: default, sine, ramp, constant, count (frame n carries n mod 16384 plus the "
                   "channel's index, plus 100 per sensor) or counter (every channel carries the frame number)")
        ->check(CLI::IsMember({"default", "sine", "ramp", "constant", "count", "counter"}));
    app.add_option("--amplitude", s.amplitude, "amplitude or constant value (default 1000)")
        ->transform(realNumber(false));
    app.add_option("--frequency", s.frequency, "frequency in Hz of sine and ramp (default 0.5)")
        ->transform(positiveNumber());
    app.add_option("--link", s.link, "also create a symbolic link PATH to the device (removed on exit)");
    CLI::Option* socket =
        app.add_option("--socket", s.options.socketPath,
                       "serve on a Unix stream socket listening at PATH instead of a pseudo-terminal (for a "
                       "virtual machine's emulated serial converter); the next host connects when one goes");
    app.add_option("--record", s.record, "write every byte the host sends to FILE as it arrives");
    app.add_option("--measure", s.measure,
                   "measure instead of serving: open the device as a host, count the frames for SECS "
                   "seconds (default 10) and report the achieved rate and the simulator's CPU time")
        ->expected(0, 1)
        ->type_name("[SECS]")
        ->transform(positiveNumber(true))
        ->excludes(socket);
}

int runSim(const CLI::App& app, SimSettings& s, const std::string& program) {
    const bool measureGiven = app.count("--measure") > 0;
    const double measureSeconds = s.measure.empty() ? 10.0 : std::strtod(s.measure.c_str(), nullptr);
    try {
        return measureGiven ? measure(s, measureSeconds, program.c_str()) : serve(s, program.c_str());
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), e.what());
        return 1;
    }
}

}  // namespace kine_tools
