// SPDX-License-Identifier: MIT
// Lists the DAQs attached to this machine, then prints each DAQ that is
// plugged in or unplugged, as it happens, until Ctrl-C.
//
// Usage: kine_ports [3|6]   (only three-axis or only six-axis DAQs)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kine/KinePorts.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

// A KPort field holds at most 25 bytes and is not terminated when full.
void print(const char* what, const KPort& port) {
    std::printf("%-8s %.25s  %.25s", what, port.portName, port.deviceVersion);
    if (port.deviceSerial[0] != '\0') std::printf("  serial %.25s", port.deviceSerial);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int kind = 0;
    if (argc > 2 || (argc == 2 && std::strcmp(argv[1], "3") != 0 && std::strcmp(argv[1], "6") != 0)) {
        std::fprintf(stderr, "usage: %s [3|6]\n", argv[0]);
        return 2;
    }
    if (argc == 2) kind = std::atoi(argv[1]);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    KinePorts ports(kind);
    // The first list waits for the first scan; every DAQ found in it is also
    // reported once as new, so take those events before watching.
    const KPort* list = ports.listPorts();
    const int n = ports.getLastSize();
    std::printf("%d DAQ%s attached\n", n, n == 1 ? "" : "s");
    for (int i = 0; i < n && i < 100; ++i) print("", list[i]);
    while (ports.isNewPort()) ports.getNewPort();

    std::printf("watching for DAQs; Ctrl-C ends\n");
    std::fflush(stdout);
    while (!stopRequested) {
        while (ports.isNewPort()) print("plugged", ports.getNewPort());
        while (ports.isLostPort()) print("unplugged", ports.getLostPort());
        const timespec pause{0, 50 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return 0;
}
