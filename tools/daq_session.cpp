// SPDX-License-Identifier: MIT
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
#include "kine/kine_c.h"
#include "port_list.h"
#include "text_escape.h"

namespace kine_tools {

const char kProgram[] = "kine";

namespace {

volatile sig_atomic_t interruptFlag = 0;

void onInterrupt(int) { interruptFlag = 1; }

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

std::string openFailureMessage(kine_open_error reason, const std::string& path, int err,
                               const std::string& deviceVersion) {
    std::string text = shownText(path) + ": " + callOpenErrorText(reason);
    if (err && reason == KINE_OPEN_IO_ERROR) text += " (" + std::string(std::strerror(err)) + ")";
    const std::string example = "--device-version " + quoted("34 v0.9");
    std::string hint;
    switch (reason) {
    case KINE_OPEN_NO_DEVICE: hint = "is the DAQ plugged in? 'kine list' shows the DAQs attached"; break;
    case KINE_OPEN_PERMISSION_DENIED:
        hint =
            "join the dialout group (sudo usermod -aG dialout $USER, then log in again) "
            "or install the udev rule 60-kine.rules (README.md, Installing)";
        break;
    case KINE_OPEN_BUSY: hint = "end the other program or stream that uses the DAQ, then try again"; break;
    case KINE_OPEN_NOT_SERIAL: hint = "give the serial device of the DAQ, e.g. /dev/ttyACM0"; break;
    case KINE_OPEN_NO_DATA: hint = "the device is not a DAQ, or it is not sending"; break;
    case KINE_OPEN_BAD_CHECKSUMS: hint = "check the cable and the line speed"; break;
    case KINE_OPEN_VERSION_MISMATCH:
        hint = deviceVersion.empty()
                   ? "no device version text was given, and the DAQ sends the frames of the 0xAA family, "
                     "which need it: give it, e.g. " +
                         example + " ('kine list' shows it)"
                   : "the text given, " + quoted(shownText(deviceVersion)) +
                         ", is not this DAQ's: 'kine list' shows the right one";
        break;
    case KINE_OPEN_NO_CONFIG_ANSWER:
        hint = "it is not a DAQ of the device version given (" + quoted(shownText(deviceVersion)) +
               "), or it is not a DAQ";
        break;
    case KINE_OPEN_INVALID_ARGUMENT:
        hint = "a device path has at most " + std::to_string(KPort::kFieldSize) +
               " characters, or is a link to a device node that has";
        break;
    case KINE_OPEN_IO_ERROR: hint = "is the DAQ still plugged in? try again"; break;
    default: break;
    }
    return hint.empty() ? text : text + "; " + hint;
}

// The name a DAQ is opened by: the path as given. A port record holds 25
// characters, so a longer path (a /dev/serial/by-id/... link) goes to the
// open as the device node it leads to.
// An empty name, never a cut one, when even the node is longer: the open
// then says the name does not fit.
static std::string openName(const std::string& given) {
    if (given.size() <= KPort::kFieldSize) return given;
    const std::string node = deviceNode(given);
    return node.size() <= KPort::kFieldSize ? node : std::string();
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
    const std::string node = deviceNode(request.port);
    path = node.empty() ? request.port : node;

    std::string version = request.deviceVersion;
    KPort known;
    if (!node.empty() && (version.empty() || discovery)) {
        std::unique_ptr<KinePorts> own;
        if (!discovery) own = std::make_unique<KinePorts>();
        if (findDaq(discovery ? *discovery : *own, node, known) && version.empty() &&
            std::string(known.deviceVersion) != "unknown")
            version = KPort::readField(known.deviceVersion);
    }
    if (found) *found = known;

    const OpenAttempt a = attemptOpen(daq, openName(request.port), version, std::chrono::milliseconds(0), [&] {
        std::fprintf(stderr, "%s: waiting for the DAQ… (%s; Ctrl-C stops)\n", kProgram, shownText(path).c_str());
    });
    if (a.opened) return kExitOk;
    if (a.interrupted) {
        std::fprintf(stderr, "%s: interrupted while waiting for the DAQ\n", kProgram);
        return kExitInterrupted;
    }

    std::string message = openFailureMessage(a.reason, path, a.err, version);
    const bool silent = a.reason == KINE_OPEN_NO_DATA || a.reason == KINE_OPEN_NO_CONFIG_ANSWER;
    if (silent && version.empty())
        message +=
            "; discovery does not know it as a DAQ: for a DAQ of the 0xAA family give its device "
            "version text, e.g. --device-version " +
            quoted("34 v0.9");
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return kExitFailed;
}

}  // namespace kine_tools
