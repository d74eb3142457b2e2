#include "port_list.h"

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

int runList(bool watch, bool json) {
    KinePorts ports;
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
    if (n == 0 && !json) {
        printLine("no DAQ found");
        std::fprintf(stderr,
                     "%s: hint: is the DAQ plugged in, and may you open it (%s)? "
                     "'kine list --watch' shows DAQs as they are plugged in\n",
                     kProgram, "the dialout group, or the udev rule 60-kine.rules");
    }
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
