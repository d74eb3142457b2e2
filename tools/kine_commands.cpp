#include "kine_commands.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daq_session.h"
#include "kine/Calibration.h"
#include "kine/KineDAQ.h"
#include "kine/kine_library_version.h"
#include "kine_sim/simulated_daq.h"
#include "option_checks.h"
#include "port_list.h"
#include "recording.h"
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

// --speed, --filter and --mode, shared by config and stream.
void addSettingOptions(CLI::App& cmd, Settings& s) {
    cmd.add_option("--speed", s.speed, "sampling speed in Hz")->check(wholeNumber({1000, 333, 100, 30}));
    cmd.add_option("--filter", s.filter, "filter cut-off in Hz, 0 for none")->check(wholeNumber({0, 150, 50, 15}));
    cmd.add_option("--mode", s.mode, "output mode")->check(CLI::IsMember({"raw", "compensated"}));
}

struct StreamArgs {
    DeviceRequest device;
    double duration = 0;
    std::string csv;
    bool sixAxis = false;
    bool reconnect = false;
    RecordingOptions recording;
};

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The DAQ a stream with --reconnect waits for after it went away.
struct Awaited {
    KinePorts* ports = nullptr;
    std::string given;          // PORT as the user gave it
    std::string port;           // discovery's name of its port; empty when discovery did not know it
    std::string serial;         // empty when unknown: then the same port counts
    std::string deviceVersion;  // given, or learnt through discovery
};

bool isAwaited(const KPort& p, const Awaited& w) {
    if (!w.serial.empty()) return w.serial == p.deviceSerial;
    if (!w.port.empty() && w.port == p.portName) return true;
    const std::string node = deviceNode(p.portName);
    return !node.empty() && node == deviceNode(w.given);
}

enum class WaitEnd { back, interrupted, timedOut };

// Waits until the awaited DAQ is back and opens it; `path` receives its
// device node. Discovery announces a DAQ plugged in again; a DAQ known by
// its port alone is also tried at that port every few seconds, since one
// that only stopped sending keeps its device node.
WaitEnd awaitDaq(KineDAQ& daq, const Awaited& w, double duration, Clock::time_point start, StreamOutput& out,
                 StreamStatus& status, std::string& path) {
    status.state = "waiting for the DAQ";
    status.rate = 0;
    Clock::time_point lastDirect = Clock::now();
    for (;;) {
        status.elapsed = secondsSince(start);
        out.show(status, false);
        if (interrupted()) return WaitEnd::interrupted;
        if (duration > 0 && status.elapsed >= duration) return WaitEnd::timedOut;

        std::vector<KPort> candidates;
        while (w.ports->isLostPort()) {
            const KPort p = w.ports->getLostPort();
            if (isAwaited(p, w)) std::fprintf(stderr, "%s: %s was unplugged\n", kProgram, p.portName);
        }
        while (w.ports->isNewPort()) {
            const KPort p = w.ports->getNewPort();
            if (isAwaited(p, w)) candidates.push_back(p);
        }
        if (candidates.empty() && w.serial.empty() && Clock::now() - lastDirect >= std::chrono::seconds(3)) {
            lastDirect = Clock::now();
            KPort p;
            KPort::storeField(p.portName, w.given);
            candidates.push_back(p);
        }
        for (const KPort& p : candidates) {
            const std::string node = deviceNode(p.portName);
            if (node.empty()) continue;
            const bool announced = p.deviceVersion[0] != '\0';
            const std::string version =
                !w.deviceVersion.empty() || !announced || std::string(p.deviceVersion) == "unknown"
                    ? w.deviceVersion
                    : std::string(p.deviceVersion);
            const OpenAttempt a = attemptOpen(daq, node, version, std::chrono::seconds(5));
            if (a.opened) {
                path = node;
                return WaitEnd::back;
            }
            if (a.interrupted) return WaitEnd::interrupted;
            if (announced)
                std::fprintf(stderr, "%s: %s is back but: %s; waiting on\n", kProgram, p.portName,
                             openFailureMessage(a.reason, node, a.err).c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Streams from an open DAQ into the live view or CSV until the duration,
// Ctrl-C or the DAQ going away; with `awaited`, a DAQ that went away is
// waited for and the stream goes on into the same output. Returns the exit
// status.
int streamFrom(KineDAQ& daq, std::string path, double duration, const std::string& csv, bool sixAxis,
               const Awaited* awaited = nullptr, Recording* recording = nullptr) {
    StreamLayout layout;
    std::string error;
    if (!StreamLayout::of(daq, path, sixAxis, layout, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }
    Recording plain;
    if (!recording) {
        recording = &plain;
        if (const int status = plain.prepare(daq, RecordingOptions(), path, "", "", sixAxis)) return status;
    }
    recording->relabel(layout);
    layout.recording = recording;
    std::unique_ptr<StreamOutput> out = csv.empty() ? makeLiveView() : makeCsvWriter(csv);
    if (!out) return kExitFailed;
    if (!csv.empty() && csv != "-" && !recording->writeSidecar(csv)) return kExitFailed;
    out->start(layout);
    StreamStatus status;
    const Clock::time_point start = Clock::now();
    int exit = kExitOk;
    bool outputFailed = false;
    for (;;) {
        if (awaited) discardEvents(*awaited->ports);
        const StreamEnd end = streamSamples(daq, layout, duration, start, *out, status);
        daq.close();
        if (end != StreamEnd::daqGone) {
            outputFailed = end == StreamEnd::outputFailed;
            exit = outputFailed ? kExitFailed : kExitOk;
            break;
        }
        std::fprintf(stderr, "%s: the DAQ on %s went away (unplugged, or it stopped sending)%s\n", kProgram,
                     path.c_str(), awaited ? "; waiting for it to come back (Ctrl-C stops)" : "");
        exit = kExitFailed;
        if (!awaited) break;
        const WaitEnd waited = awaitDaq(daq, *awaited, duration, start, *out, status, path);
        if (waited == WaitEnd::interrupted) {
            status.state = "stopped";
            exit = kExitOk;
            break;
        }
        if (waited == WaitEnd::timedOut) {
            status.state = "DAQ gone";
            std::fprintf(stderr, "%s: the DAQ did not come back within --duration\n", kProgram);
            break;
        }
        StreamLayout again;
        if (StreamLayout::of(daq, path, sixAxis, again, error)) recording->relabel(again);
        if (!error.empty() || again.columns != layout.columns) {
            daq.close();
            std::fprintf(stderr, "%s: the DAQ back on %s is not the one that went away (%s); stopping\n", kProgram,
                         path.c_str(), error.empty() ? again.description.c_str() : error.c_str());
            break;
        }
        if (recording->resume(daq, path) != kExitOk) {
            daq.close();
            break;
        }
        std::fprintf(stderr, "%s: the DAQ is back on %s; streaming on\n", kProgram, path.c_str());
    }
    const bool written = !outputFailed && out->finish(status);
    return written ? exit : kExitFailed;
}

int runStream(const StreamArgs& a) {
    if (const int status = Recording::checkOutput(a.csv, a.recording.force)) return status;
    // Discovery runs through the whole stream so that a DAQ plugged in again is seen.
    std::unique_ptr<KinePorts> ports;
    if (a.reconnect) ports = std::make_unique<KinePorts>();
    KineDAQ daq;
    std::string path;
    KPort known;
    if (const int status = openDaq(daq, a.device, path, &known, ports.get())) return status;
    Recording recording;
    const std::string deviceVersion = !a.device.deviceVersion.empty() ? a.device.deviceVersion : known.deviceVersion;
    if (const int status = recording.prepare(daq, a.recording, path, deviceVersion, known.deviceSerial, a.sixAxis))
        return status;
    if (!ports) return streamFrom(daq, path, a.duration, a.csv, a.sixAxis, nullptr, &recording);
    Awaited w;
    w.ports = ports.get();
    w.given = a.device.port;
    w.port = known.portName;
    w.serial = known.deviceSerial;
    w.deviceVersion = a.device.deviceVersion;
    if (w.deviceVersion.empty() && std::string(known.deviceVersion) != "unknown") w.deviceVersion = known.deviceVersion;
    return streamFrom(daq, path, a.duration, a.csv, a.sixAxis, &w, &recording);
}

struct ConfigArgs {
    DeviceRequest device;
    Settings settings;
};

int runConfig(const ConfigArgs& a) {
    KineDAQ daq;
    std::string path;
    if (const int status = openDaq(daq, a.device, path)) return status;
    std::printf("%s: %s\n", path.c_str(), configText(daq.getConfig()).c_str());
    if (!a.settings.any()) return 0;
    SensorConfig got;
    if (!applySettings(daq, a.settings, got)) {
        std::fprintf(stderr, "%s: the DAQ did not take the change; it reports %s\n", kProgram, configText(got).c_str());
        return 1;
    }
    std::printf("applied: %s\n", configText(got).c_str());
    const int version = daq.getVersion();
    if (a.settings.speed && version >= 6 && version <= 8)
        std::printf("note: a DAQ of the 0xAA family (version %d) is set to 100 Hz again at its next open, so this "
                    "speed lasts until then; to record at it, use kine stream --speed %d\n",
                    version, a.settings.speed);
    return 0;
}

struct ZeroArgs {
    DeviceRequest device;
    int sensor = -1;       // -1: every sensor
    std::string saveFile;  // calibration file whose offset receives the tare
};

// Writes the offsets of the sensor a calibration file is for into the file's
// offset vector, in the counts of its inputs; stream --calibration then
// subtracts them. The rest of the file is kept as it was.
int saveOffsets(KineDAQ& daq, const std::string& file) {
    kine::Calibration c;
    std::string error;
    const int version = daq.getVersion();
    const bool sixAxis = version == 5 || version == 8;
    if (!kine::Calibration::load(file, c, error) || !c.fits("", daq.getSensorSize(), sixAxis, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }
    std::vector<double> offset;
    if (sixAxis) {
        KinePackage6D now;  // offsets of a six-axis unit are its sensors'; the axes are read afresh
        daq.unzeroAll();
        daq.read6D(now, true);
        offset = c.inputsOf(now);
    } else {
        offset = c.inputsOf(daq.getOffset(c.sensor()));
    }
    if (!c.setOffset(offset, error) || !c.save(file, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }
    std::string text;
    for (double v : offset) text += (text.empty() ? "" : " ") + std::to_string(static_cast<long long>(v));
    std::printf("sensor %d offset (%s counts) saved to %s: %s\n", c.sensor(),
                c.inputs() == kine::Calibration::Inputs::raw ? "raw" : c.inputs() == kine::Calibration::Inputs::axes ? "axis" : "force",
                file.c_str(), text.c_str());
    return kExitOk;
}

int runZero(const ZeroArgs& a) {
    KineDAQ daq;
    std::string path;
    if (const int status = openDaq(daq, a.device, path)) return status;
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
    if (!a.saveFile.empty()) return saveOffsets(daq, a.saveFile);
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
    if (const int status = openDaq(daq, DeviceRequest{sim.devicePath(), sim.deviceVersionText()}, path)) return status;
    return streamFrom(daq, path, a.duration, std::string(), false);
}

std::string versionText() {
    return std::string("kine ") + KINE_LIBRARY_VERSION + " (libkine " + callGetLibraryVersion() + ")";
}

}  // namespace

int runKine(int argc, char** argv) {
    CLI::App app{"Lists, streams, configures and zeroes force-sensor DAQs; runs simulated DAQs.", kProgram};
    app.set_version_flag("--version", versionText(), "print the versions of kine and libkine");
    app.require_subcommand(1);
    app.footer("Run 'kine COMMAND --help' for the options of a command.");

    StreamArgs stream;
    CLI::App* streamCmd = app.add_subcommand("stream", "stream samples: a live view, or CSV rows");
    addDeviceOptions(*streamCmd, stream.device);
    streamCmd->add_option("--duration", stream.duration, "seconds to stream (default: until Ctrl-C)")
        ->check(realNumber(true));
    streamCmd
        ->add_option("--csv", stream.csv,
                     "write CSV rows to FILE ('-': standard output): host_monotonic_s (seconds since the "
                     "start), host_time (UTC), sample, then the values; one row per sample, read time")
        ->type_name("FILE|-");
    streamCmd->add_flag("--six-axis", stream.sixAxis, "force and torque of a four-sensor DAQ instead of its sensors");
    streamCmd->add_flag("--reconnect", stream.reconnect,
                        "when the DAQ goes away, wait for it (same serial, or same port) to come back and go on "
                        "streaming into the same output");
    addSettingOptions(*streamCmd, stream.recording.settings);
    streamCmd->add_flag("--zero", stream.recording.zero,
                        "tare: the first samples become each sensor's zero (as kine zero does), then record");
    streamCmd
        ->add_option("--calibration", stream.recording.calibrationFiles,
                     "calibration file of a sensor (repeat for each sensor): its x, y, z (or six axes) are "
                     "recorded in N and N·m; see docs/calibration.md")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    streamCmd->add_flag("--force", stream.recording.force, "overwrite an existing --csv FILE and its FILE.json");
    streamCmd->footer(
        "Ends with status 0 after --duration or Ctrl-C, 1 when the DAQ goes away (with --reconnect: "
        "when it has not come back by the end of --duration).");

    bool watch = false, json = false;
    CLI::App* listCmd = app.add_subcommand("list", "list the DAQs attached now: port, device version, serial");
    listCmd->add_flag("--watch", watch, "then print DAQs being plugged in and unplugged, until Ctrl-C");
    listCmd->add_flag("--json", json,
                      "print a JSON array of {port, device_version, serial}; with --watch one object per line, "
                      "with \"event\": present, plugged or unplugged");

    ConfigArgs config;
    CLI::App* configCmd = app.add_subcommand("config", "print the sensor configuration; apply the changes given");
    addDeviceOptions(*configCmd, config.device);
    addSettingOptions(*configCmd, config.settings);

    ZeroArgs zero;
    CLI::App* zeroCmd = app.add_subcommand("zero", "zero the sensors and print their offsets");
    addDeviceOptions(*zeroCmd, zero.device);
    zeroCmd->add_option("--sensor", zero.sensor, "zero only this sensor (default: all)")->check(countNumber());
    zeroCmd
        ->add_option("--save", zero.saveFile,
                     "write the offsets of the calibration file's sensor into its \"offset\", which "
                     "kine stream --calibration FILE then subtracts")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    zeroCmd->footer("Offsets belong to the connection: they hold until this command closes it, unless saved "
                    "into a calibration file with --save.");

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
    if (listCmd->parsed()) return runList(watch, json);
    if (streamCmd->parsed()) return runStream(stream);
    if (configCmd->parsed()) return runConfig(config);
    if (zeroCmd->parsed()) return runZero(zero);
    return runDemo(demo);
}

}  // namespace kine_tools
