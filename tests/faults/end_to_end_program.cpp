// SPDX-License-Identifier: MIT
// One short end-to-end session through the C interface, run under valgrind
// memcheck by the test suite: a four-sensor 0xAA unit (configuration
// exchange, reads into library arrays, zeroing, a configuration change), a
// six-axis unit, each opened, read, closed and disposed, and a discovery
// session in a fake tree (a DAQ found, listed, opened, unplugged and lost).
// Exits 0 when every step did what it should.
#include <time.h>

#include <cstdio>
#include <string>

#include "kine/kine_c.h"
#include "kine/kine_result.h"
#include "kine_sim/simulated_daq.h"
#include "support/fake_port_tree.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "end_to_end_program: %s\n", what);
    ++failures;
}

void pause10ms() {
    struct timespec ts {
        0, 10 * 1000 * 1000
    };
    nanosleep(&ts, nullptr);
}

// Reads until a read returns samples, for at most about two seconds.
template <typename Read>
int readSome(Read read) {
    for (int i = 0; i < 200; ++i) {
        const int r = read();
        if (r != 0) return r;
        pause10ms();
    }
    return 0;
}

// Polls `event` for at most about 30 seconds (a probe under valgrind is slow).
template <typename Event>
bool pollFor(Event event) {
    for (int i = 0; i < 3000; ++i) {
        if (event()) return true;
        pause10ms();
    }
    return false;
}

void fourSensorUnit() {
    kine_sim::SimulatedDaq::Options o;
    o.version = 7;
    kine_sim::SimulatedDaq sim(o);
    KineDAQHandle* daq = callKineDAQ_Create();
    check(callOpen(daq, sim.devicePath().c_str(), sim.deviceVersionText()), "open version 7");

    kine_package* samples = nullptr;
    int* values = nullptr;
    check(readSome([&] { return callReadAll(daq, &samples, false); }) > 0, "readAll");
    check(readSome([&] { return callReadAll(daq, &samples, false); }) > 0, "readAll into the same array");
    check(readSome([&] { return callReadAll6Axis(daq, &values, false); }) > 0, "readAll6Axis");
    callZeroAll(daq);
    bool sent = false;  // the reply may come late on a busy machine
    for (int attempt = 0; attempt < 10 && !sent; ++attempt) sent = callSendConfig(daq, 1, 100, 50);
    check(sent, "sendConfig");
    unsigned char config = 0;
    check(callGetConfig(daq, &config) == config, "getConfig");
    callDeletePackageArray(&samples);
    callDeleteIntArray(&values);
    callClose(daq);
    check(callReadAll(daq, &samples, false) == KINE_NOT_OPEN, "read after close");
    callKineDAQ_Dispose(daq);
}

void sixAxisUnit() {
    kine_sim::SimulatedDaq::Options o;
    o.version = 8;
    kine_sim::SimulatedDaq sim(o);
    KineDAQHandle* daq = callKineDAQ_Create();
    check(callOpen(daq, sim.devicePath().c_str(), sim.deviceVersionText()), "open version 8");
    kine_package6d sample;
    check(readSome([&] { return callRead6D(daq, &sample, false); }) > 0, "read6D");
    callKineDAQ_Dispose(daq);  // closes it
}

void discovery() {
    kine_sim::SimulatedDaq::Options o;
    o.version = 4;
    kine_sim::SimulatedDaq sim(o);
    kine_test::FakePortTree tree;
    const std::string port = tree.plugUsb("ttyUSB0", sim.devicePath());
    tree.use();
    KinePortsHandle* ports = callKinePorts_Create();

    char* found[3] = {nullptr, nullptr, nullptr};
    check(pollFor([&] { return callIsNewPort(ports); }), "the DAQ is found");
    callGetNewPort(ports, found);
    check(port == found[0] && std::string(found[1]) == "94 v0.9", "the new port's triple");
    char** list = callListPorts(ports);
    const int n = callGetLastSize(ports);
    check(n == 1 && port == list[0], "the list");

    KineDAQHandle* daq = callKineDAQ_Create();
    check(callOpen(daq, found[0], found[1]), "open the port found");
    kine_package samples[16];
    check(readSome([&] { return callReadVirtual(daq, samples, false); }) > 0, "readVirtual");
    callKineDAQ_Dispose(daq);
    callDeleteKPORT(found);
    callDeletePORTLIST(&list, n);

    tree.unplug("ttyUSB0");
    check(pollFor([&] { return callIsLostPort(ports); }), "the DAQ is lost");
    callGetLostPort(ports, found);
    check(port == found[0], "the lost port's triple");
    callDeleteKPORT(found);
    callKinePorts_Dispose(ports);
}

}  // namespace

int main() {
    fourSensorUnit();
    sixAxisUnit();
    discovery();
    return failures == 0 ? 0 : 1;
}
