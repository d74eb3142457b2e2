// kine: streams, configures and zeroes DAQs from the command line, and runs
// simulated DAQs for trying the library without hardware.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "daq_session.h"
#include "kine/KineDAQ.h"
#include "kine/kine_library_version.h"
#include "kine_sim/simulated_daq.h"
#include "option_checks.h"
#include "sim_options.h"
#include "stream_output.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

// PORT and --device-version, shared by the commands that open a DAQ.
void addDeviceOptions(CLI::App& cmd, DeviceRequest& device) {
    cmd.add_option("PORT", device.port, "device path of the DAQ, e.g. /dev/ttyACM0 or a /dev/serial/by-id/... link")
        ->required();
    cmd.add_option("--device-version", device.deviceVersion,
                   "device version text of the DAQ, e.g. \"34 v0.9\"; needed for the 0xAA family "
                   "(versions 6-8), whose DAQs answer only after a configuration exchange");
}

struct StreamArgs {
    DeviceRequest device;
    double duration = 0;
    std::string csv;
    bool sixAxis = false;
};

// Streams from an open DAQ into the live view or CSV until the duration,
// Ctrl-C or the DAQ going away; returns the exit status.
int streamFrom(KineDAQ& daq, const std::string& path, double duration, const std::string& csv, bool sixAxis) {
    StreamLayout layout;
    std::string error;
    if (!StreamLayout::of(daq, path, sixAxis, layout, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    std::unique_ptr<StreamOutput> out = csv.empty() ? makeLiveView() : makeCsvWriter(csv);
    if (!out) return 1;
    out->start(layout);
    StreamStatus status;
    const StreamEnd end = streamSamples(daq, layout, duration, Clock::now(), *out, status);
    const bool written = end != StreamEnd::outputFailed && out->finish(status);
    daq.close();
    if (end == StreamEnd::daqGone) {
        std::fprintf(stderr, "%s: the DAQ on %s went away (unplugged, or it stopped sending)\n", kProgram,
                     path.c_str());
        return 1;
    }
    return written ? 0 : 1;
}

int runStream(const StreamArgs& a) {
    KineDAQ daq;
    std::string path;
    if (!openDaq(daq, a.device, path)) return 1;
    return streamFrom(daq, path, a.duration, a.csv, a.sixAxis);
}

struct ConfigArgs {
    DeviceRequest device;
    int speed = 0;   // 0: unchanged
    int filter = -1;  // -1: unchanged
    std::string mode;  // empty: unchanged
};

std::string configText(const SensorConfig& c) {
    return "speed " + std::to_string(c.getSpeed()) + " Hz, filter " +
           (c.getFilter() ? std::to_string(c.getFilter()) + " Hz" : std::string("none")) + ", mode " +
           (c.getMode() ? "compensated" : "raw");
}

int runConfig(const ConfigArgs& a) {
    KineDAQ daq;
    std::string path;
    if (!openDaq(daq, a.device, path)) return 1;
    const SensorConfig current = daq.getConfig();
    std::printf("%s: %s\n", path.c_str(), configText(current).c_str());
    if (a.speed == 0 && a.filter < 0 && a.mode.empty()) return 0;

    SensorConfig wanted = current;
    if (a.speed) wanted.setSpeed(a.speed);
    if (a.filter >= 0) wanted.setFilter(a.filter);
    if (!a.mode.empty()) wanted.setMode(a.mode == "compensated" ? 1 : 0);
    daq.sendConfig(wanted);
    const SensorConfig got = daq.getConfig();
    // The DAQ's own report decides: every field asked for must read back.
    const bool taken = (!a.speed || got.getSpeed() == a.speed) && (a.filter < 0 || got.getFilter() == a.filter) &&
                       (a.mode.empty() || got.getMode() == wanted.getMode());
    if (!taken) {
        std::fprintf(stderr, "%s: the DAQ did not take the change; it reports %s\n", kProgram,
                     configText(got).c_str());
        return 1;
    }
    std::printf("applied: %s\n", configText(got).c_str());
    return 0;
}

struct ZeroArgs {
    DeviceRequest device;
    int sensor = -1;  // -1: every sensor
};

int runZero(const ZeroArgs& a) {
    KineDAQ daq;
    std::string path;
    if (!openDaq(daq, a.device, path)) return 1;
    const int version = daq.getVersion();
    const int sensors = daq.getSensorSize();
    if (a.sensor >= 0) {
        if (!daq.zero(a.sensor)) {
            std::fprintf(stderr, "%s: sensor %d is not a sensor of the DAQ on %s (it has %d)\n", kProgram, a.sensor,
                         path.c_str(), sensors);
            return 1;
        }
    } else if (version == 5 || version == 8) {
        KinePackage6D before;
        daq.read6D(before, true);
        daq.zeroAll();
        std::printf("six-axis offset: Fx %d Fy %d Fz %d Tx %d Ty %d Tz %d\n", before.Fx, before.Fy, before.Fz,
                    before.Tx, before.Ty, before.Tz);
    } else {
        daq.zeroAll();
    }
    if (version != 5 && version != 8)
        for (int k = 0; k < sensors; ++k) {
            if (a.sensor >= 0 && k != a.sensor) continue;
            const KinePackage o = daq.getOffset(k);
            std::printf("sensor %d offset: x %d y %d z %d aux %d\n", k, o.x, o.y, o.z, o.aux);
        }
    else if (a.sensor >= 0) {
        const KinePackage o = daq.getOffset(a.sensor);
        std::printf("sensor %d offset: x %d y %d z %d aux %d\n", a.sensor, o.x, o.y, o.z, o.aux);
    }
    return 0;
}

struct DemoArgs {
    int version = 7;
    double duration = 5;
};

int runDemo(const DemoArgs& a) {
    kine_sim::SimulatedDaq::Options o;
    o.version = a.version;
    kine_sim::SimulatedDaq sim(o);
    std::printf("simulated DAQ (version %d) on %s\n", a.version, sim.devicePath().c_str());
    KineDAQ daq;
    std::string path;
    if (!openDaq(daq, DeviceRequest{sim.devicePath(), sim.deviceVersionText()}, path)) return 1;
    return streamFrom(daq, path, a.duration, std::string(), false);
}

std::string versionText() {
    return std::string("kine ") + KINE_LIBRARY_VERSION + " (libkine " + callGetLibraryVersion() + ")";
}

}  // namespace

int runKine(int argc, char** argv) {
    CLI::App app{"Streams, configures and zeroes force-sensor DAQs; runs simulated DAQs.", kProgram};
    app.set_version_flag("--version", versionText(), "print the versions of kine and libkine");
    app.require_subcommand(1);
    app.footer("Run 'kine COMMAND --help' for the options of a command.");

    StreamArgs stream;
    CLI::App* streamCmd = app.add_subcommand("stream", "stream samples: a live view, or CSV rows");
    addDeviceOptions(*streamCmd, stream.device);
    streamCmd->add_option("--duration", stream.duration, "seconds to stream (default: until Ctrl-C)")
        ->check(realNumber(true));
    streamCmd->add_option("--csv", stream.csv,
                          "write CSV rows to FILE ('-': standard output): host_monotonic_s (seconds since the "
                          "start), host_time (UTC), sample, then the values; one row per sample, read time")
        ->type_name("FILE|-");
    streamCmd->add_flag("--six-axis", stream.sixAxis, "force and torque of a four-sensor DAQ instead of its sensors");
    streamCmd->footer("Ends with status 0 after --duration or Ctrl-C, 1 when the DAQ goes away.");

    ConfigArgs config;
    CLI::App* configCmd =
        app.add_subcommand("config", "print the sensor configuration; apply the changes given");
    addDeviceOptions(*configCmd, config.device);
    configCmd->add_option("--speed", config.speed, "sampling speed in Hz")->check(wholeNumber({1000, 333, 100, 30}));
    configCmd->add_option("--filter", config.filter, "filter cut-off in Hz, 0 for none")
        ->check(wholeNumber({0, 150, 50, 15}));
    configCmd->add_option("--mode", config.mode, "output mode")->check(CLI::IsMember({"raw", "compensated"}));

    ZeroArgs zero;
    CLI::App* zeroCmd = app.add_subcommand("zero", "zero the sensors and print their offsets");
    addDeviceOptions(*zeroCmd, zero.device);
    zeroCmd->add_option("--sensor", zero.sensor, "zero only this sensor (default: all)")->check(countNumber());
    zeroCmd->footer("Offsets belong to the connection: they hold until this command closes it.");

    SimSettings sim;
    CLI::App* simCmd = app.add_subcommand("sim", "run a simulated DAQ and print its device path");
    addSimOptions(*simCmd, sim);

    DemoArgs demo;
    CLI::App* demoCmd = app.add_subcommand("demo", "stream from a built-in simulated DAQ: no hardware needed");
    demoCmd->add_option("--sim-version", demo.version, "protocol version of the simulated DAQ, 3..8 (default 7)")
        ->check(wholeNumber({3, 4, 5, 6, 7, 8}));
    demoCmd->add_option("--duration", demo.duration, "seconds to stream, 0 until Ctrl-C (default 5)")
        ->check(realNumber(true));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return parseFailure(app, e);
    }

    if (simCmd->parsed()) return runSim(*simCmd, sim, "kine sim");
    installInterruptHandler();
    if (streamCmd->parsed()) return runStream(stream);
    if (configCmd->parsed()) return runConfig(config);
    if (zeroCmd->parsed()) return runZero(zero);
    return runDemo(demo);
}

}  // namespace kine_tools

int main(int argc, char** argv) { return kine_tools::runKine(argc, argv); }
