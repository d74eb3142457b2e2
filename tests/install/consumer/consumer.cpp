// SPDX-License-Identifier: MIT
// Opens the DAQ named on the command line and reads samples from it.
#include <kine/KineDAQ.h>
#include <kine/kine_library_version.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer DEVICE VERSION-TEXT\n");
        return 2;
    }
    KPort port;
    KPort::storeField(port.portName, argv[1]);
    KPort::storeField(port.deviceVersion, argv[2]);
    KineDAQ daq;
    if (!daq.open(port)) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    KinePackage sample;
    int n = 0;
    for (int i = 0; i < 200 && n <= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        n = daq.read(sample, 0);
    }
    std::printf("libkine %s: %d samples, version %d\n", callGetLibraryVersion(), n, daq.getVersion());
    return n > 0 ? 0 : 1;
}
