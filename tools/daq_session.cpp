#include "daq_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kine/KPort.h"

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
}

bool interrupted() { return interruptFlag != 0; }

std::string openFailureMessage(kine_open_error reason, const std::string& path, int err) {
    switch (reason) {
        case KINE_OPEN_OK:
            break;
        case KINE_OPEN_NO_DEVICE:
            return "no such device: " + path + " (is the DAQ plugged in?)";
        case KINE_OPEN_PERMISSION_DENIED:
            return "permission denied on " + path +
                   ": join the dialout group (sudo usermod -aG dialout $USER, then log in again) "
                   "or install the udev rule 60-kine.rules (README.md, Installing)";
        case KINE_OPEN_BUSY:
            return path + " is busy: another program or connection holds it";
        case KINE_OPEN_NOT_SERIAL:
            return path + " is not a serial device";
        case KINE_OPEN_NO_DATA:
            return "no DAQ data from " + path + ": the device is not a DAQ, or it is not sending";
        case KINE_OPEN_BAD_CHECKSUMS:
            return "only damaged frames arrived from " + path + ": check the cable and the line speed";
        case KINE_OPEN_VERSION_MISMATCH:
            return "the data from " + path + " does not match the device version text";
        case KINE_OPEN_NO_CONFIG_ANSWER:
            return path + " did not answer the configuration request: it is not a DAQ of the "
                          "device version given, or it is not a DAQ";
        case KINE_OPEN_CANCELLED:
            return "the open of " + path + " was cancelled";
        case KINE_OPEN_INVALID_ARGUMENT:
            return "cannot use " + path + " as a device path (at most " + std::to_string(kPortNameRoom) +
                   " characters after following links)";
        case KINE_OPEN_ALREADY_OPEN:
            return "the connection to " + path + " is already open";
        case KINE_OPEN_IO_ERROR:
            return "cannot open " + path + (err ? ": " + std::string(std::strerror(err)) : std::string());
        case KINE_OPEN_NO_MEMORY:
            return "out of memory while opening " + path;
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
                  : errno == EACCES                       ? KINE_OPEN_PERMISSION_DENIED
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

kine_open_error classifyFailedOpen(const std::string& path, int& err) {
    err = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        if (errno == EBUSY) return KINE_OPEN_BUSY;
        if (errno == EACCES || errno == EPERM) return KINE_OPEN_PERMISSION_DENIED;
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO) return KINE_OPEN_NO_DEVICE;
        return KINE_OPEN_IO_ERROR;
    }
    termios t{};
    const bool terminal = ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    return terminal ? KINE_OPEN_NO_DATA : KINE_OPEN_NOT_SERIAL;
}

bool openDaq(KineDAQ& daq, const DeviceRequest& request, std::string& path) {
    const ResolvedDevice device = resolveDevice(request.port);
    path = device.path;
    if (device.error != KINE_OPEN_OK) {
        std::fprintf(stderr, "%s: %s\n", kProgram, openFailureMessage(device.error, device.path, device.err).c_str());
        return false;
    }

    KPort port;
    KPort::storeField(port.portName, device.path);
    KPort::storeField(port.deviceVersion, request.deviceVersion);

    // The open runs on its own thread so that this one can report a long wait
    // and end the program at once on Ctrl-C.
    std::atomic<bool> done{false};
    bool opened = false;
    std::thread opener([&] {
        opened = daq.open(port);
        done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    bool told = false;
    while (!done) {
        if (interrupted()) {
            std::fprintf(stderr, "%s: interrupted while waiting for the DAQ\n", kProgram);
            std::fflush(stdout);
            std::_Exit(130);
        }
        if (!told && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300)) {
            std::fprintf(stderr, "%s: waiting for the DAQ… (%s; Ctrl-C stops)\n", kProgram, device.path.c_str());
            told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    opener.join();
    if (opened) return true;

    int err = 0;
    const kine_open_error reason = classifyFailedOpen(device.path, err);
    std::string message = openFailureMessage(reason, device.path, err);
    if (reason == KINE_OPEN_NO_DATA && request.deviceVersion.empty())
        message += "; for a DAQ of the 0xAA family give its device version text, e.g. --device-version " +
                   quoted("34 v0.9");
    else if (reason == KINE_OPEN_NO_DATA)
        message += " (device version text " + quoted(request.deviceVersion) + ")";
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return false;
}

}  // namespace kine_tools
