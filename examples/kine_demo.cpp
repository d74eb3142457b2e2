// SPDX-License-Identifier: MIT
// Streams force samples from a DAQ and prints them.
//
//   kine_demo                               stream from a built-in simulated DAQ
//   kine_demo /dev/ttyACM0 "34 v0.9"        stream from a real DAQ: device path
//                                           and device version text
// Options: --seconds N (default 3, 0 = until Ctrl-C), --sim-version V (3..8).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kine/KineDAQ.h"
#include "kine_sim/simulated_daq.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

void usage(const char* self) {
    std::printf(
        "usage: %s [--seconds N] [--sim-version V] [DEVICE VERSION-TEXT]\n"
        "Without DEVICE, streams from a built-in simulated DAQ.\n",
        self);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 3;
    int simVersion = 7;
    std::string device, versionText;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(argv[0]);
            return 0;
        } else if (a == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (a == "--sim-version" && i + 1 < argc) {
            simVersion = std::atoi(argv[++i]);
        } else if (device.empty()) {
            device = a;
        } else if (versionText.empty()) {
            versionText = a;
        } else {
            usage(argv[0]);
            return 2;
        }
    }

    std::unique_ptr<kine_sim::SimulatedDaq> sim;
    if (device.empty()) {
        if (simVersion < 3 || simVersion > 8) {
            std::fprintf(stderr, "simulated DAQs have versions 3 to 8\n");
            return 2;
        }
        kine_sim::SimulatedDaq::Options o;
        o.version = simVersion;
        sim = std::make_unique<kine_sim::SimulatedDaq>(o);
        device = sim->devicePath();
        versionText = sim->deviceVersionText();
        std::printf("simulated DAQ, version %d, on %s\n", simVersion, device.c_str());
    } else if (versionText.empty()) {
        std::fprintf(stderr, "a device needs its device version text too, e.g. \"34 v0.9\"\n");
        return 2;
    }

    KPort port;
    if (!KPort::storeField(port.portName, device) || device.size() >= KPort::kFieldSize) {
        std::fprintf(stderr, "device path too long: %s\n", device.c_str());
        return 2;
    }
    KPort::storeField(port.deviceVersion, versionText);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    KineDAQ daq;
    if (!daq.open(port)) {
        std::fprintf(stderr, "cannot open %s as a DAQ (\"%s\")\n", device.c_str(), versionText.c_str());
        return 1;
    }
    const SensorConfig config = daq.getConfig();
    std::printf("open: version %d, %d sensor(s), %d Hz, filter %d Hz, %s\n", daq.getVersion(), daq.getSensorSize(),
                config.getSpeed(), config.getFilter(), config.getMode() ? "compensated" : "raw");

    const bool sixAxis = daq.getVersion() == 5 || daq.getVersion() == 8;
    const auto start = std::chrono::steady_clock::now();
    auto printed = start;
    long samples = 0;
    int sincePrint = 0;
    bool lost = false;           // the DAQ went away and could not be opened again
    KinePackage* all = nullptr;  // resized by every waitReadAll; ours to delete[]
    KinePackage6D* all6 = nullptr;
    while (!stopRequested) {
        const auto now = std::chrono::steady_clock::now();
        if (seconds > 0 && std::chrono::duration<double>(now - start).count() >= seconds) break;
        // Sleeps until samples arrive; at most 200 ms, so that Ctrl-C is seen.
        const int r = sixAxis ? daq.waitReadAll6D(all6, 200) : daq.waitReadAll(all, 200);
        if (r > 0) sincePrint += r;
        // Every sample is in hand at once; print the newest ten times a second.
        if (r > 0 && now - printed >= std::chrono::milliseconds(100)) {
            printed = now;
            if (sixAxis) {
                const KinePackage6D& s = all6[r - 1];
                std::printf("F %6d %6d %6d   T %6d %6d %6d", s.Fx, s.Fy, s.Fz, s.Tx, s.Ty, s.Tz);
            } else {
                // Sensor-major: sensor k's samples at k*r .. k*r + r - 1.
                for (int k = 0; k < daq.getSensorSize(); ++k) {
                    const KinePackage& s = all[k * r + r - 1];
                    std::printf("%s[%d] x %6d y %6d z %6d", k ? "  " : "", k, s.x, s.y, s.z);
                }
            }
            std::printf("   (%d new)\n", sincePrint);
            sincePrint = 0;
        }
        if (r >= 0) {
            samples += r;
        } else if (r == KINE_READ_OVERFLOW) {
            // Read too slowly: old samples were dropped. The next read is clean.
            std::printf("overflow: samples were dropped\n");
        } else if (r == KINE_NOT_OPEN || r == KINE_READER_STOPPED) {
            // The DAQ went away (unplugged, silent, port failure): open it again.
            std::printf("the DAQ stopped sending; opening it again\n");
            daq.close();
            if (!daq.open(port)) {
                lost = true;
                break;
            }
        } else {
            std::fprintf(stderr, "read failed: %d\n", r);
            break;
        }
        std::fflush(stdout);
    }
    delete[] all;
    delete[] all6;
    daq.close();
    std::printf("%ld samples per sensor%s\n", samples, lost ? "; the DAQ could not be opened again" : "");
    return lost && samples == 0 ? 1 : 0;
}
