// SPDX-License-Identifier: MIT
#include "port_list.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

#include "daq_session.h"
#include "text_escape.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPoll = std::chrono::milliseconds(50);

std::string shownSerial(const KPort& p) {
    return p.deviceSerial[0] ? shownText(KPort::readField(p.deviceSerial)) : "-";
}

// One DAQ as a line of text, or as a JSON object with `event` first when given.
std::string describePort(const KPort& p, bool json, const char* event) {
    if (json) {
        std::string o = "{";
        if (event) o += "\"event\": " + jsonString(event) + ", ";
        return o + "\"port\": " + jsonString(KPort::readField(p.portName)) +
               ", \"device_version\": " + jsonString(KPort::readField(p.deviceVersion)) +
               ", \"serial\": " + jsonString(KPort::readField(p.deviceSerial)) + "}";
    }
    char line[400];
    std::snprintf(line, sizeof line, "%s%-24s  %-8s  %s", event ? event : "",
                  shownText(KPort::readField(p.portName)).c_str(), shownText(KPort::readField(p.deviceVersion)).c_str(),
                  shownSerial(p).c_str());
    return line;
}

void printLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

constexpr const char* kPermissionFix =
    "join the dialout group (sudo usermod -aG dialout $USER, then log in again) or install the udev rule "
    "60-kine.rules";

// Discovery's first pass can take seconds when slow or silent ports are
// probed; on a terminal a line says why the listing waits.
constexpr auto kSettleLimit = std::chrono::seconds(60);
constexpr auto kProgressAfter = std::chrono::seconds(1);

bool waitSettled(KinePorts& ports) {
    const Clock::time_point start = Clock::now();
    bool told = false;
    while (!ports.isSettled() && Clock::now() - start < kSettleLimit) {
        if (interrupted()) return false;
        if (!told && Clock::now() - start > kProgressAfter && ::isatty(STDERR_FILENO)) {
            std::fprintf(stderr, "%s: probing serial ports (a DAQ can take a few seconds to answer)...\n", kProgram);
            told = true;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

std::vector<KinePortStatus> portStatus(KinePorts& ports) {
    std::vector<KinePortStatus> status(64);
    for (;;) {
        const int n = ports.getPortStatus(status.data(), static_cast<int>(status.size()));
        if (n <= static_cast<int>(status.size())) {
            status.resize(n > 0 ? static_cast<size_t>(n) : 0);
            return status;
        }
        status.resize(static_cast<size_t>(n));
    }
}

const char* stateName(int state) {
    switch (state) {
    case KINE_PORT_DAQ: return "DAQ";
    case KINE_PORT_NOT_USB: return "not USB";
    case KINE_PORT_OTHER_VENDOR: return "other vendor";
    case KINE_PORT_EXCLUDED: return "excluded";
    case KINE_PORT_BUSY: return "busy";
    case KINE_PORT_NO_PERMISSION: return "no permission";
    case KINE_PORT_NO_ANSWER: return "probed: no answer";
    case KINE_PORT_OTHER_KIND: return "probed: DAQ of the other kind";
    case KINE_PORT_OPEN_FAILED: return "probed: cannot be opened";
    default: return "not probed yet";
    }
}

std::string usbIds(const KinePortStatus& s) {
    if (s.vendor_id < 0) return "-";
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", s.vendor_id & 0xFFFF, s.product_id & 0xFFFF);
    return ids;
}

// What the decision says to a reader: who holds a busy port, how to get
// access, which DAQ answered.
std::string decisionText(const KinePortStatus& s) {
    std::string text = stateName(s.state);
    if (s.state == KINE_PORT_BUSY) {
        if (s.holder_pid > 0)
            text += ": held by PID " + std::to_string(s.holder_pid) + " (" + shownText(s.holder_command) + ")";
        else
            text += ": held by another program or connection";
    } else if (s.state == KINE_PORT_NO_PERMISSION) {
        text += std::string(": ") + kPermissionFix;
    } else if (s.state == KINE_PORT_DAQ) {
        text += " " + shownText(s.device_version) + " " + (s.device_serial[0] ? shownText(s.device_serial) : "-");
    }
    return text;
}

int listAll(const std::vector<KinePortStatus>& status, bool json) {
    if (json) {
        std::string text = "[";
        for (size_t i = 0; i < status.size(); ++i) {
            const KinePortStatus& s = status[i];
            text += std::string(i ? ",\n " : "") + "{\"port\": " + jsonString(s.port) +
                    ", \"usb_id\": " + (s.vendor_id < 0 ? "null" : jsonString(usbIds(s))) +
                    ", \"status\": " + jsonString(stateName(s.state));
            if (s.state == KINE_PORT_BUSY && s.holder_pid > 0)
                text += ", \"pid\": " + std::to_string(s.holder_pid) + ", \"command\": " + jsonString(s.holder_command);
            if (s.state == KINE_PORT_DAQ)
                text += ", \"device_version\": " + jsonString(s.device_version) +
                        ", \"serial\": " + jsonString(s.device_serial);
            text += "}";
        }
        printLine(text + "]");
        return kExitOk;
    }
    for (const KinePortStatus& s : status) {
        char line[600];
        std::snprintf(line, sizeof line, "%-24s  %-9s  %s", shownText(s.port).c_str(), usbIds(s).c_str(),
                      decisionText(s).c_str());
        printLine(line);
    }
    if (status.empty()) printLine("no serial port found");
    return kExitOk;
}

// Adds the ports of --probe to the variable discovery reads when it starts.
void addProbePorts(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    const char* before = std::getenv("KINE_PROBE_PORTS");
    std::string value = before ? before : "";
    for (const std::string& p : paths) value += (value.empty() ? "" : ",") + p;
    ::setenv("KINE_PROBE_PORTS", value.c_str(), 1);
}

}  // namespace

std::string deviceNode(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return std::string();
    std::string node = real;
    std::free(real);
    return node;
}

bool findDaq(KinePorts& ports, const std::string& node, KPort& found) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(1200);
    KPort* list = ports.listPorts();
    const int n = std::min(ports.getLastSize(), 100);
    for (int i = 0; i < n; ++i)
        if (deviceNode(list[i].portName) == node) {
            found = list[i];
            return true;
        }
    // A probe of a slow DAQ can outlast the first scan's wait.
    while (Clock::now() < deadline && !interrupted()) {
        while (ports.isNewPort()) {
            const KPort p = ports.getNewPort();
            if (deviceNode(p.portName) == node) {
                found = p;
                return true;
            }
        }
        std::this_thread::sleep_for(kPoll);
    }
    return false;
}

void discardEvents(KinePorts& ports) {
    while (ports.isNewPort()) ports.getNewPort();
    while (ports.isLostPort()) ports.getLostPort();
}

int runList(const ListArgs& args) {
    const bool watch = args.watch, json = args.json;
    addProbePorts(args.probe);
    KinePorts ports;
    if (!waitSettled(ports)) return kExitInterrupted;
    const std::vector<KinePortStatus> status = portStatus(ports);
    if (args.all) return listAll(status, json);
    KPort* list = ports.listPorts();
    const int n = std::min(ports.getLastSize(), 100);
    std::set<std::string> present;
    for (int i = 0; i < n; ++i) present.insert(list[i].portName);

    if (json && !watch) {
        std::string text = "[";
        for (int i = 0; i < n; ++i) text += std::string(i ? ",\n " : "") + describePort(list[i], true, nullptr);
        printLine(text + "]");
        return kExitOk;
    }
    for (int i = 0; i < n; ++i) printLine(describePort(list[i], json, json ? "present" : nullptr));
    if (n == 0 && !json) printLine("no DAQ found");
    // Candidates discovery could not probe: where a DAQ may be hiding.
    bool unprobed = false;
    for (const KinePortStatus& s : status) {
        if (json || (s.state != KINE_PORT_BUSY && s.state != KINE_PORT_NO_PERMISSION)) continue;
        char line[600];
        std::snprintf(line, sizeof line, "%-24s  %s", shownText(s.port).c_str(), decisionText(s).c_str());
        printLine(line);
        unprobed = true;
    }
    if (n == 0 && !json && !unprobed)
        std::fprintf(stderr,
                     "%s: hint: is the DAQ plugged in? 'kine list --all' shows every serial port and what "
                     "discovery made of it; 'kine list --probe PATH' probes a port of any kind (a simulator's "
                     "pseudo-terminal, a network serial server)\n",
                     kProgram);
    if (!watch) return kExitOk;

    if (!json) std::fprintf(stderr, "%s: watching for DAQs being plugged in and unplugged; Ctrl-C stops\n", kProgram);
    while (!interrupted()) {
        // Losses first: a DAQ unplugged and plugged in again shows both events in order.
        while (ports.isLostPort()) {
            const KPort p = ports.getLostPort();
            present.erase(p.portName);
            printLine(describePort(p, json, json ? "unplugged" : "unplugged  "));
        }
        while (ports.isNewPort()) {
            const KPort p = ports.getNewPort();
            // The monitor also announces the DAQs of its first scan, already listed.
            if (!present.insert(p.portName).second) continue;
            printLine(describePort(p, json, json ? "plugged" : "plugged    "));
        }
        std::this_thread::sleep_for(kPoll);
    }
    return kExitOk;
}

}  // namespace kine_tools
