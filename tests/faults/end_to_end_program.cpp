// One short end-to-end session through the C interface, run under valgrind
// memcheck by the test suite: a four-sensor 0xAA unit (configuration
// exchange, reads into library arrays, zeroing, a configuration change) and a
// six-axis unit, each opened, read, closed and disposed. Exits 0 when every
// step did what it should.
#include <time.h>

#include <cstdio>

#include "kine/kine_c.h"
#include "kine/kine_result.h"
#include "kine_sim/simulated_daq.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "end_to_end_program: %s\n", what);
    ++failures;
}

// Reads until a read returns samples, for at most about two seconds.
template <typename Read>
int readSome(Read read) {
    for (int i = 0; i < 200; ++i) {
        const int r = read();
        if (r != 0) return r;
        struct timespec ts{0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    return 0;
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

}  // namespace

int main() {
    fourSensorUnit();
    sixAxisUnit();
    return failures == 0 ? 0 : 1;
}
