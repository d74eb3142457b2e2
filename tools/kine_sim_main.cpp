// kine-sim: runs a virtual DAQ on a pseudo-terminal and prints the device path.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "kine_sim/simulated_daq.h"

namespace {

using kine_sim::Channel;
using kine_sim::Signal;
using kine_sim::SimulatedDaq;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: kine-sim [options]\n"
    "\n"
    "Runs a virtual force-sensor DAQ on a pseudo-terminal. The device path is\n"
    "printed on standard output (one line); open it like the DAQ's serial port.\n"
    "The unit streams data frames at once, answers configuration and identity\n"
    "requests and applies configuration writes. It runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --version N        protocol version 3..8 (default 3):\n"
    "                       3 one sensor, 4 four sensors, 5 six-axis (0x37 frames)\n"
    "                       6 one sensor, 7 four sensors, 8 six-axis (0xAA frames)\n"
    "  --serial S         serial number of the identity reply, up to 8 characters\n"
    "                     (default SIM00001)\n"
    "  --speed HZ         frame rate: 1000, 333, 100 or 30 (default 1000)\n"
    "  --filter HZ        filter cut-off: 0 (none), 150, 50 or 15; versions 6-8 also\n"
    "                     500, 5 or 1 (default 0)\n"
    "  --compensated      send compensated values (mode bit 1) instead of raw ones\n"
    "  --refuse-config    answer commands but keep speed, filter and mode\n"
    "  --stopped          start with periodic data off (the host turns it on by\n"
    "                     writing a speed code)\n"
    "  --signal SHAPE     values of the force, torque and raw channels:\n"
    "                       default   slow sines, aux a ramp (different per channel)\n"
    "                       sine      sine of --amplitude at --frequency\n"
    "                       ramp      sawtooth from 0 to --amplitude, --frequency times a second\n"
    "                       constant  every channel holds --amplitude\n"
    "  --amplitude A      amplitude or constant value (default 1000)\n"
    "  --frequency F      frequency in Hz of sine and ramp (default 0.5)\n"
    "  --link PATH        also create a symbolic link PATH to the device (removed on exit)\n"
    "  --measure[=SECS]   measure instead of serving: open the device as a host,\n"
    "                     count the frames for SECS seconds (default 10) and report\n"
    "                     the achieved rate and the CPU time of the simulator\n"
    "  --help             show this text\n"
    "\n"
    "Raw channels of sine and ramp are offset by the amplitude so they stay positive.\n";

[[noreturn]] void usageError(const std::string& message) {
    std::fprintf(stderr, "kine-sim: %s\nTry 'kine-sim --help'.\n", message.c_str());
    std::exit(2);
}

int toInt(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < -2147483647L || v > 2147483647L)
        usageError(option + " needs a whole number, not '" + text + "'");
    return static_cast<int>(v);
}

double toDouble(const std::string& option, const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v))
        usageError(option + " needs a number, not '" + text + "'");
    return v;
}

struct Settings {
    SimulatedDaq::Options options;
    std::string shape = "default";
    double amplitude = 1000.0;
    double frequency = 0.5;
    std::string link;
    double measureSeconds = 0.0;  // 0: serve
};

Settings parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto need = [&]() -> std::string {
            if (hasValue) return value;
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        auto noValue = [&] {
            if (hasValue) usageError(arg + " takes no value");
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            s.options.version = toInt(arg, need());
        } else if (arg == "--serial") {
            s.options.serial = need();
        } else if (arg == "--speed") {
            s.options.speedHz = toInt(arg, need());
        } else if (arg == "--filter") {
            s.options.filterHz = toInt(arg, need());
        } else if (arg == "--compensated") {
            noValue();
            s.options.compensated = true;
        } else if (arg == "--refuse-config") {
            noValue();
            s.options.refuseConfig = true;
        } else if (arg == "--stopped") {
            noValue();
            s.options.streamAtStart = false;
        } else if (arg == "--signal") {
            s.shape = need();
            if (s.shape != "default" && s.shape != "sine" && s.shape != "ramp" && s.shape != "constant")
                usageError("unknown signal shape '" + s.shape + "'");
        } else if (arg == "--amplitude") {
            s.amplitude = toDouble(arg, need());
        } else if (arg == "--frequency") {
            s.frequency = toDouble(arg, need());
            if (s.frequency <= 0) usageError("--frequency must be above 0");
        } else if (arg == "--link") {
            s.link = need();
        } else if (arg == "--measure") {
            s.measureSeconds = hasValue ? toDouble(arg, value) : 10.0;
            if (s.measureSeconds <= 0) usageError("--measure needs a positive number of seconds");
        } else {
            usageError("unknown option '" + arg + "'");
        }
    }
    return s;
}

void applySignals(SimulatedDaq& daq, const Settings& s) {
    if (s.shape == "default") return;
    const auto a = static_cast<int32_t>(std::lround(s.amplitude));
    auto signalFor = [&](int index, bool raw) {
        const double offset = raw ? std::fabs(s.amplitude) : 0.0;
        if (s.shape == "constant") return Signal::constant(a);
        if (s.shape == "ramp")
            return Signal::ramp(static_cast<int32_t>(offset), static_cast<int32_t>(offset) + a, 1.0 / s.frequency);
        return Signal::sine(s.amplitude, s.frequency, offset, 0.4 * index);
    };
    for (int k = 0; k < 4; ++k) {
        daq.setSignal(Channel::x, signalFor(0, false), k);
        daq.setSignal(Channel::y, signalFor(1, false), k);
        daq.setSignal(Channel::z, signalFor(2, false), k);
        if (s.shape == "constant") daq.setSignal(Channel::aux, signalFor(3, false), k);
        for (int r = 0; r < 8; ++r) daq.setSignal(kine_sim::rawChannel(r), signalFor(4 + r, true), k);
    }
    const Channel axes[] = {Channel::Fx, Channel::Fy, Channel::Fz, Channel::Tx, Channel::Ty, Channel::Tz};
    for (int i = 0; i < 6; ++i) daq.setSignal(axes[i], signalFor(i, false));
}

size_t dataFrameSize(const SimulatedDaq::Options& o) {
    switch (o.version) {
        case 3: return 29;
        case 4: return o.compensated ? 37 : 45;
        case 5: return 57;
        case 6: return kine_sim::kV6PayloadLength + 6;
        case 7: return kine_sim::kV7PayloadLength + 6;
        default: return kine_sim::kV8PayloadLength + 6;
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
int measure(const Settings& s) {
    SimulatedDaq daq(s.options);
    applySignals(daq, s);
    const int fd = ::open(daq.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "kine-sim: cannot open %s: %s\n", daq.devicePath().c_str(), std::strerror(errno));
        return 1;
    }
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);

    const size_t frameSize = dataFrameSize(s.options);
    const uint8_t first = s.options.version <= 5 ? 0x37 : 0xAA;
    std::vector<uint8_t> buf(1 << 16);
    size_t carry = 0;  // bytes of an incomplete frame at the start of buf
    uint64_t frames = 0, misaligned = 0;  // frames after the first read
    bool started = false;
    Clock::time_point t0{}, tLast{};
    double cpu0 = 0, proc0 = 0;
    uint64_t sent0 = 0;
    const auto total = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.measureSeconds));
    const auto giveUp = Clock::now() + total + std::chrono::seconds(2);

    std::fprintf(stderr, "kine-sim: measuring %s for %.1f s (version %d, %d frames/s)\n", daq.devicePath().c_str(),
                 s.measureSeconds, s.options.version, daq.framesPerSecond());
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
            if (buf[off] != first || kine_sim::checksum(buf.data() + (first == 0x37 ? off + 2 : off),
                                                        frameSize - (first == 0x37 ? 4 : 2)) !=
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
        std::fprintf(stderr, "kine-sim: no data arrived\n");
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

int serve(const Settings& s) {
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
            std::fprintf(stderr, "kine-sim: cannot create link %s: %s\n", s.link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", daq.devicePath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "kine-sim: version %d unit, device version text \"%s\", on %s\n", s.options.version,
                 daq.deviceVersionText(), daq.devicePath().c_str());

    int sig = 0;
    sigwait(&stopSignals, &sig);
    daq.hangUp();
    if (!s.link.empty()) ::unlink(s.link.c_str());
    std::fprintf(stderr, "kine-sim: stopped by signal %d after %llu frames\n", sig,
                 static_cast<unsigned long long>(daq.framesSent()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Settings s = parse(argc, argv);
    try {
        return s.measureSeconds > 0 ? measure(s) : serve(s);
    } catch (const std::invalid_argument& e) {
        usageError(e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kine-sim: %s\n", e.what());
        return 1;
    }
}
