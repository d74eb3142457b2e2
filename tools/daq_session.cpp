#include "daq_session.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "kine/KPort.h"
#include "port_list.h"

namespace kine_tools {

const char kProgram[] = "kine";

namespace {

volatile sig_atomic_t interruptFlag = 0;

void onInterrupt(int) { interruptFlag = 1; }

constexpr size_t kPortNameRoom = KPort::kFieldSize - 1;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

void installInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return interruptFlag != 0; }

std::string openFailureMessage(kine_open_error reason, const std::string& path, int err) {
    switch (reason) {
    case KINE_OPEN_OK: break;
    case KINE_OPEN_NO_DEVICE: return "no such device: " + path + " (is the DAQ plugged in?)";
    case KINE_OPEN_PERMISSION_DENIED:
        return "permission denied on " + path +
               ": join the dialout group (sudo usermod -aG dialout $USER, then log in again) "
               "or install the udev rule 60-kine.rules (README.md, Installing)";
    case KINE_OPEN_BUSY: return path + " is busy: another program or connection holds it";
    case KINE_OPEN_NOT_SERIAL: return path + " is not a serial device";
    case KINE_OPEN_NO_DATA: return "no DAQ data from " + path + ": the device is not a DAQ, or it is not sending";
    case KINE_OPEN_BAD_CHECKSUMS:
        return "only damaged frames arrived from " + path + ": check the cable and the line speed";
    case KINE_OPEN_VERSION_MISMATCH: return "the data from " + path + " does not match the device version text";
    case KINE_OPEN_NO_CONFIG_ANSWER:
        return path +
               " did not answer the configuration request: it is not a DAQ of the "
               "device version given, or it is not a DAQ";
    case KINE_OPEN_CANCELLED: return "the open of " + path + " was cancelled";
    case KINE_OPEN_INVALID_ARGUMENT:
        return "cannot use " + path + " as a device path (at most " + std::to_string(kPortNameRoom) +
               " characters after following links)";
    case KINE_OPEN_ALREADY_OPEN: return "the connection to " + path + " is already open";
    case KINE_OPEN_IO_ERROR:
        return "cannot open " + path + (err ? ": " + std::string(std::strerror(err)) : std::string());
    case KINE_OPEN_NO_MEMORY: return "out of memory while opening " + path;
    }
    return "cannot open " + path + " as a DAQ";
}

ResolvedDevice resolveDevice(const std::string& given) {
    ResolvedDevice d;
    d.path = given;
    if (given.empty()) {
        d.error = KINE_OPEN_INVALID_ARGUMENT;
        return d;
    }
    char* real = ::realpath(given.c_str(), nullptr);
    if (!real) {
        d.err = errno;
        d.error = (errno == ENOENT || errno == ENOTDIR) ? KINE_OPEN_NO_DEVICE
                  : errno == EACCES                     ? KINE_OPEN_PERMISSION_DENIED
                                                        : KINE_OPEN_IO_ERROR;
        return d;
    }
    d.path = real;
    std::free(real);
    struct stat st {};
    if (::stat(d.path.c_str(), &st) != 0) {
        d.err = errno;
        d.error = KINE_OPEN_NO_DEVICE;
    } else if (!S_ISCHR(st.st_mode)) {
        d.error = KINE_OPEN_NOT_SERIAL;
    } else if (::access(d.path.c_str(), R_OK | W_OK) != 0) {
        d.err = errno;
        d.error = errno == EACCES || errno == EPERM ? KINE_OPEN_PERMISSION_DENIED : KINE_OPEN_IO_ERROR;
    } else if (d.path.size() > kPortNameRoom) {
        d.error = KINE_OPEN_INVALID_ARGUMENT;
    }
    return d;
}

OpenAttempt attemptOpen(KineDAQ& daq, const std::string& node, const std::string& deviceVersion,
                        std::chrono::milliseconds limit, const std::function<void()>& onSlow) {
    KPort port;
    KPort::storeField(port.portName, node);
    KPort::storeField(port.deviceVersion, deviceVersion);

    // The open runs on its own thread; this one cancels it by closing the
    // connection, which makes the open return KINE_OPEN_CANCELLED.
    std::atomic<bool> done{false};
    OpenAttempt a;
    std::thread opener([&] {
        a.opened = daq.open(port);
        done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    auto lastClose = start;
    bool cancelling = false, told = false;
    while (!done) {
        const auto now = std::chrono::steady_clock::now();
        if (!cancelling && (interrupted() || (limit.count() > 0 && now - start > limit))) {
            a.interrupted = interrupted();
            cancelling = true;
            lastClose = now - std::chrono::seconds(1);
        }
        // A close that comes before the open has begun waiting cancels
        // nothing, so it is repeated until the open returns.
        if (cancelling && now - lastClose >= std::chrono::milliseconds(100)) {
            daq.close();
            lastClose = now;
        }
        if (!told && onSlow && now - start > std::chrono::milliseconds(300)) {
            onSlow();
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    opener.join();
    if (cancelling) {
        daq.close();  // an open that succeeded just before the cancel is undone
        a.opened = false;
        a.reason = KINE_OPEN_CANCELLED;
    } else if (!a.opened) {
        a.reason = daq.lastOpenError();
        a.err = daq.lastOpenErrno();
    }
    return a;
}

int openDaq(KineDAQ& daq, const DeviceRequest& request, std::string& path, KPort* found, KinePorts* discovery) {
    const ResolvedDevice device = resolveDevice(request.port);
    path = device.path;
    if (device.error != KINE_OPEN_OK) {
        std::fprintf(stderr, "%s: %s\n", kProgram, openFailureMessage(device.error, device.path, device.err).c_str());
        return kExitFailed;
    }

    std::string version = request.deviceVersion;
    KPort known;
    if (version.empty() || discovery) {
        std::unique_ptr<KinePorts> own;
        if (!discovery) own = std::make_unique<KinePorts>();
        if (findDaq(discovery ? *discovery : *own, device.path, known) && version.empty() &&
            std::string(known.deviceVersion) != "unknown")
            version = known.deviceVersion;
    }
    if (found) *found = known;

    const OpenAttempt a = attemptOpen(daq, device.path, version, std::chrono::milliseconds(0), [&] {
        std::fprintf(stderr, "%s: waiting for the DAQ… (%s; Ctrl-C stops)\n", kProgram, device.path.c_str());
    });
    if (a.opened) return kExitOk;
    if (a.interrupted) {
        std::fprintf(stderr, "%s: interrupted while waiting for the DAQ\n", kProgram);
        return kExitInterrupted;
    }

    std::string message = openFailureMessage(a.reason, device.path, a.err);
    const bool silent = a.reason == KINE_OPEN_NO_DATA || a.reason == KINE_OPEN_NO_CONFIG_ANSWER;
    if (silent && version.empty())
        message +=
            "; discovery does not know it as a DAQ: for a DAQ of the 0xAA family give its device "
            "version text, e.g. --device-version " +
            quoted("34 v0.9");
    else if (silent)
        message += " (device version text " + quoted(version) + ")";
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailed;
}

}  // namespace kine_tools
