// SPDX-License-Identifier: MIT
// Two simulated DAQs behind a fake /dev and sysfs tree, served as
// `kine serve --all` would serve them, for the browser test:
//   A  version 7, four sensors, compensated, sine waves on x, y and z
//   B  version 3, one sensor, constant compensated forces x 1200, y -300, z 4000
// Prints "url URL", "port A NAME" and "port B NAME", then obeys lines on
// standard input: "unplug B" (B hangs up and its device node goes away,
// answered "unplugged B") and "quit". Ends at end of input too.
#include <cstdio>
#include <iostream>
#include <string>

#include "kine_sim/simulated_daq.h"
#include "serve.h"
#include "support/fake_port_tree.h"

int main() {
    using kine_sim::Channel;
    using kine_sim::Signal;
    kine_test::FakePortTree tree;
    tree.use();

    kine_sim::SimulatedDaq::Options a;
    a.version = 7;
    a.serial = "SIMA";
    a.compensated = true;
    kine_sim::SimulatedDaq simA(a);
    const Channel channels[] = {Channel::x, Channel::y, Channel::z};
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 3; ++c) simA.setSignal(channels[c], Signal::sine(1500.0, 0.5 + 0.25 * c, 400.0 * k, c), k);

    kine_sim::SimulatedDaq::Options b;
    b.version = 3;
    b.compensated = true;
    kine_sim::SimulatedDaq simB(b);
    kine_sim::SensorValues level;
    level.x = 1200;
    level.y = -300;
    level.z = 4000;
    simB.setConstant(level);

    const std::string portA = tree.plugUsb("ttyACM0", simA.devicePath(), "0403", "6001", "FTA");
    const std::string portB = tree.plugUsb("ttyACM1", simB.devicePath(), "0403", "6001", "FTB");

    kine_tools::ServeOptions o;
    o.bind = "127.0.0.1:0";
    o.all = true;
    o.windowSeconds = 10;
    kine_tools::DaqServer server(o);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "kine-serve-fixture: %s\n", error.c_str());
        return 1;
    }
    std::printf("url %s\nport A %s\nport B %s\n", server.url().c_str(), portA.c_str(), portB.c_str());
    std::fflush(stdout);

    for (std::string line; std::getline(std::cin, line) && line != "quit";) {
        if (line == "unplug B") {
            simB.hangUp();
            tree.unplug("ttyACM1");
            std::printf("unplugged B\n");
        } else {
            std::printf("unknown command: %s\n", line.c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}
