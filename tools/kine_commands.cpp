// SPDX-License-Identifier: MIT
#include "kine_commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daq/Protocol.h"
#include "daq_session.h"
#include "hdf5_output.h"
#include "kine/Calibration.h"
#include "kine/KineDAQ.h"
#include "kine/kine_library_version.h"
#include "kine_sim/simulated_daq.h"
#include "option_checks.h"
#include "output_thread.h"
#include "port_list.h"
#include "recording.h"
#include "sample_loss.h"
#include "serve.h"
#include "sim_options.h"
#include "stream_output.h"
#include "text_escape.h"
#ifdef KINE_WITH_ZMQ
#include "publish.h"
#include "subscribe.h"
#endif

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

// PORT and --device-version, shared by the commands that open a DAQ.
void addDeviceOptions(CLI::App& cmd, DeviceRequest& device) {
    cmd.add_option("PORT", device.port, "device path of the DAQ, e.g. /dev/ttyACM0 or a /dev/serial/by-id/... link")
        ->required()
        ->check(CLI::Validator(
            [](std::string& text) { return text.empty() ? "needs a device path, e.g. /dev/ttyACM0" : std::string(); },
            "PATH"));
    cmd.add_option("--device-version", device.deviceVersion,
                   "device version text of the DAQ, e.g. \"34 v0.9\"; needed for the 0xAA family "
                   "(versions 6-8), whose DAQs answer only after a configuration exchange");
}

// How a stream runs and where its samples go.
struct StreamSettings {
    double duration = 0;
    std::string csv;   // empty, with hdf5 empty too: the live view
    std::string hdf5;  // an HDF5 file, beside or instead of the CSV
    bool sixAxis = false;
    double bufferSeconds = 60;  // samples the output may fall behind, in seconds at the DAQ's rate
    bool acceptLoss = false;    // lost samples do not change the exit status
};

// --speed, --filter and --mode, shared by config and stream.
void addSettingOptions(CLI::App& cmd, Settings& s) {
    cmd.add_option("--speed", s.speed, "sampling speed in Hz")->transform(wholeNumber({1000, 333, 100, 30}));
    cmd.add_option("--filter", s.filter, "filter cut-off in Hz, 0 for none")->transform(wholeNumber({0, 150, 50, 15}));
    cmd.add_option("--mode", s.mode, "output mode")->check(CLI::IsMember({"raw", "compensated"}));
}

struct StreamArgs {
    DeviceRequest device;
    StreamSettings settings;
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

bool isAwaitedPort(const KPort& p, const Awaited& w);

bool isAwaited(const KPort& p, const Awaited& w) {
    if (!w.serial.empty()) return w.serial == p.deviceSerial;
    return isAwaitedPort(p, w);
}

enum class WaitEnd { back, interrupted, timedOut };

// True when `p` is the port the awaited DAQ was on.
bool isAwaitedPort(const KPort& p, const Awaited& w) {
    if (!w.port.empty() && w.port == p.portName) return true;
    const std::string node = deviceNode(p.portName);
    return !node.empty() && node == deviceNode(w.given);
}

// Waits until the awaited DAQ is back and opens it; `path` receives its
// device node. Discovery announces a DAQ plugged in again. A DAQ that only
// stopped sending keeps its device node, so the same port is also tried
// every few seconds: until it is unplugged, or always for a DAQ known by its
// port alone.
WaitEnd awaitDaq(KineDAQ& daq, const Awaited& w, double duration, Clock::time_point start, OutputThread& out,
                 StreamStatus& status, std::string& path) {
    status.state = "waiting for the DAQ";
    status.rate = 0;
    Clock::time_point lastDirect = Clock::now();
    bool unplugged = false;  // the awaited DAQ's port was unplugged
    for (;;) {
        status.elapsed = secondsSince(start);
        out.publish(status);
        if (interrupted()) return WaitEnd::interrupted;
        if (duration > 0 && status.elapsed >= duration) return WaitEnd::timedOut;

        std::vector<KPort> candidates;
        while (w.ports->isLostPort()) {
            const KPort p = w.ports->getLostPort();
            if (isAwaitedPort(p, w)) unplugged = true;
            if (isAwaited(p, w))
                std::fprintf(stderr, "%s: %s was unplugged\n", kProgram, shownText(p.portName).c_str());
        }
        while (w.ports->isNewPort()) {
            const KPort p = w.ports->getNewPort();
            if (isAwaited(p, w)) candidates.push_back(p);
        }
        if (candidates.empty() && (w.serial.empty() || !unplugged) &&
            Clock::now() - lastDirect >= std::chrono::seconds(3)) {
            lastDirect = Clock::now();
            KPort p;
            KPort::storeField(p.portName, deviceNode(w.given));
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
                std::fprintf(stderr, "%s: %s is back but: %s; waiting on\n", kProgram, shownText(p.portName).c_str(),
                             openFailureMessage(a.reason, node, a.err, version).c_str());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The samples a stream's output may fall behind by: `seconds` at the full
// rate of 1000 samples a second, whatever the DAQ's speed now.
size_t queueCapacity(double seconds) { return static_cast<size_t>(std::max(10.0, seconds * 1000.0)); }

// The live view, the CSV, the HDF5 file, or both files; null after a message.
std::unique_ptr<StreamOutput> makeOutput(const StreamSettings& how) {
    if (how.csv.empty() && how.hdf5.empty()) return makeLiveView();
    std::unique_ptr<StreamOutput> csv, hdf5;
    if (!how.csv.empty() && !(csv = makeCsvWriter(how.csv))) return nullptr;
    if (!how.hdf5.empty() && !(hdf5 = makeHdf5Writer(how.hdf5))) return nullptr;
    if (csv && hdf5) return makeBothOutputs(std::move(csv), std::move(hdf5));
    return csv ? std::move(csv) : std::move(hdf5);
}

// Streams from an open DAQ into the live view or CSV until the duration,
// Ctrl-C or the DAQ going away; with `awaited`, a DAQ that went away is
// waited for and the stream goes on into the same output. Returns the exit
// status.
int streamFrom(KineDAQ& daq, std::string path, const StreamSettings& how, const Awaited* awaited = nullptr,
               Recording* recording = nullptr) {
    StreamLayout layout;
    std::string error;
    if (!StreamLayout::of(daq, path, how.sixAxis, layout, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }
    Recording plain;
    if (!recording) {
        recording = &plain;
        if (const int status = plain.prepare(daq, RecordingOptions(), path, "", "", how.sixAxis)) return status;
    }
    recording->relabel(layout);
    layout.recording = recording;
    std::unique_ptr<StreamOutput> out = makeOutput(how);
    if (!out) return kExitFailed;
    if (!how.csv.empty() && how.csv != "-" && !recording->writeSidecar(how.csv)) return kExitFailed;
    out->start(layout);
    OutputThread writer(*out, queueCapacity(how.bufferSeconds));
    SampleLoss loss;
    StreamStatus status;
    const Clock::time_point start = Clock::now();
    int exit = kExitOk;
    for (;;) {
        if (awaited) discardEvents(*awaited->ports);
        const StreamEnd end = streamSamples(daq, layout, how.duration, start, writer, loss, status);
        daq.close();
        loss.resumed();
        if (end != StreamEnd::daqGone) {
            exit = end == StreamEnd::outputFailed ? kExitFailed : kExitOk;
            break;
        }
        const double goneAt = secondsSince(start);
        std::fprintf(stderr, "%s: the DAQ on %s went away (unplugged, or it stopped sending)%s\n", kProgram,
                     shownText(path).c_str(), awaited ? "; waiting for it to come back (Ctrl-C stops)" : "");
        std::fprintf(stderr, "%s: event: DAQ gone at host_monotonic_s %.6f, after %" PRIu64 " samples\n", kProgram,
                     goneAt, status.nextSample());
        exit = kExitFailed;
        if (!awaited) break;
        const WaitEnd waited = awaitDaq(daq, *awaited, how.duration, start, writer, status, path);
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
        error.clear();
        if (StreamLayout::of(daq, path, how.sixAxis, again, error)) recording->relabel(again);
        if (!error.empty() || again.columns != layout.columns) {
            daq.close();
            std::fprintf(stderr, "%s: the DAQ back on %s is not the one that went away (%s); stopping\n", kProgram,
                         shownText(path).c_str(), error.empty() ? again.description.c_str() : error.c_str());
            break;
        }
        if (recording->resume(daq, path) != kExitOk) {
            daq.close();
            break;
        }
        // The DAQ sent nothing in the gap: the sample numbers go on, the host times jump.
        const double backAt = secondsSince(start);
        std::fprintf(stderr, "%s: the DAQ is back on %s; streaming on\n", kProgram, shownText(path).c_str());
        std::fprintf(stderr,
                     "%s: event: DAQ back at host_monotonic_s %.6f, a gap of %.3f s; sample %" PRIu64 " is next\n",
                     kProgram, backAt, backAt - goneAt, status.nextSample());
    }
    const bool written = writer.finish(status) && out->finish(status, loss.summary());
    if (!written || exit == kExitFailed) {
        if (out->pipeClosed()) return kExitPipeClosed;
        return kExitFailed;
    }
    if (exit == kExitOk && loss.total() > 0 && !how.acceptLoss) return kExitSamplesLost;
    return exit;
}

int runStream(const StreamArgs& a) {
    if (const int status = Recording::checkOutput(a.settings.csv, a.recording.force)) return status;
    if (const int status = Recording::checkOutput(a.settings.hdf5, a.recording.force, false)) return status;
    if (!a.settings.hdf5.empty() && !hdf5Available()) {
        std::fprintf(stderr, "%s: --hdf5: this kine was built without HDF5 (install libhdf5-dev and rebuild)\n",
                     kProgram);
        return kExitFailed;
    }
    // Discovery runs through the whole stream so that a DAQ plugged in again is seen.
    std::unique_ptr<KinePorts> ports;
    if (a.reconnect) ports = std::make_unique<KinePorts>();
    KineDAQ daq;
    std::string path;
    KPort known;
    if (const int status = openDaq(daq, a.device, path, &known, ports.get())) return status;
    Recording recording;
    const std::string deviceVersion =
        !a.device.deviceVersion.empty() ? a.device.deviceVersion : KPort::readField(known.deviceVersion);
    if (const int status = recording.prepare(daq, a.recording, path, deviceVersion,
                                             KPort::readField(known.deviceSerial), a.settings.sixAxis))
        return status;
    if (!ports) return streamFrom(daq, path, a.settings, nullptr, &recording);
    Awaited w;
    w.ports = ports.get();
    w.given = a.device.port;
    w.port = known.portName;
    w.serial = known.deviceSerial;
    w.deviceVersion = a.device.deviceVersion;
    if (w.deviceVersion.empty() && std::string(known.deviceVersion) != "unknown") w.deviceVersion = known.deviceVersion;
    return streamFrom(daq, path, a.settings, &w, &recording);
}

struct ConfigArgs {
    DeviceRequest device;
    Settings settings;
};

int runConfig(const ConfigArgs& a) {
    KineDAQ daq;
    std::string path;
    if (const int status = openDaq(daq, a.device, path)) return status;
    std::printf("%s: %s\n", shownText(path).c_str(), configText(daq.getConfig()).c_str());
    if (!a.settings.any()) return 0;
    SensorConfig got;
    if (!applySettings(daq, a.settings, got)) {
        std::fprintf(stderr, "%s: the DAQ did not take the change; it reports %s\n", kProgram, configText(got).c_str());
        return 1;
    }
    std::printf("applied: %s\n", configText(got).c_str());
    const int version = daq.getVersion();
    if (a.settings.speed && version >= 6 && version <= 8)
        std::printf(
            "note: a DAQ of the 0xAA family (version %d) is set to 100 Hz again at its next open, so this "
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
                c.inputs() == kine::Calibration::Inputs::raw    ? "raw"
                : c.inputs() == kine::Calibration::Inputs::axes ? "axis"
                                                                : "force",
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
        if (version == 5 || version == 8) {
            std::fprintf(stderr,
                         "kine zero: --sensor %d: the DAQ on %s is a six-axis unit, whose sensors are zeroed "
                         "together; leave out --sensor\n",
                         a.sensor, shownText(path).c_str());
            return kExitOptionError;
        }
        if (a.sensor >= sensors) {
            std::fprintf(stderr, "kine zero: --sensor %d: the DAQ on %s has %s; give %s\n", a.sensor,
                         shownText(path).c_str(), sensors == 1 ? "one sensor, number 0" : "sensors 0 to 3",
                         sensors == 1 ? "--sensor 0 or leave it out" : "one of those");
            return kExitOptionError;
        }
        if (!daq.zero(a.sensor)) {
            std::fprintf(stderr, "%s: the DAQ on %s did not zero sensor %d\n", kProgram, shownText(path).c_str(),
                         a.sensor);
            return kExitFailed;
        }
    } else if (kine::protocol::isSixAxis(version)) {
        KinePackage6D before;
        daq.read6D(before, true);
        daq.zeroAll();
        std::printf("six-axis offset: Fx %d Fy %d Fz %d Tx %d Ty %d Tz %d\n", before.Fx, before.Fy, before.Fz,
                    before.Tx, before.Ty, before.Tz);
    } else {
        daq.zeroAll();
    }
    if (!a.saveFile.empty()) return saveOffsets(daq, a.saveFile);
    if (!kine::protocol::isSixAxis(version))
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
    bool serve = false;
    std::string bind = "127.0.0.1:8080";
};

// The simulated DAQ in the browser, with slow waves on every channel so
// that the traces move.
int serveDemo(kine_sim::SimulatedDaq& sim, const std::string& bind) {
    using kine_sim::Channel;
    const Channel channels[] = {Channel::x, Channel::y, Channel::z, Channel::aux};
    for (int k = 0; k < 4; ++k)
        for (int c = 0; c < 4; ++c)
            sim.setSignal(channels[c], kine_sim::Signal::sine(2000.0 / (c + 1), 0.3 * (c + 1), 500.0 * k, k + c), k);
    const Channel axes[] = {Channel::Fx, Channel::Fy, Channel::Fz, Channel::Tx, Channel::Ty, Channel::Tz};
    for (int c = 0; c < 6; ++c)
        sim.setSignal(axes[c], kine_sim::Signal::sine(3000.0 / (c % 3 + 1), 0.2 * (c + 1), 0, c));
    ServeOptions options;
    options.bind = bind;
    options.ports.push_back(DeviceRequest{sim.devicePath(), sim.deviceVersionText()});
    return runServe(options);
}

int runDemo(const DemoArgs& a) {
    kine_sim::SimulatedDaq::Options o;
    o.version = a.version;
    kine_sim::SimulatedDaq sim(o);
    std::printf("simulated DAQ (version %d) on %s\n", a.version, sim.devicePath().c_str());
    if (a.serve) return serveDemo(sim, a.bind);
    KineDAQ daq;
    std::string path;
    if (const int status = openDaq(daq, DeviceRequest{sim.devicePath(), sim.deviceVersionText()}, path)) return status;
    StreamSettings how;
    how.duration = a.duration;
    return streamFrom(daq, path, how);
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
    streamCmd->add_option("--duration", stream.settings.duration, "seconds to stream (default: until Ctrl-C)")
        ->transform(realNumber(true));
    streamCmd
        ->add_option("--csv", stream.settings.csv,
                     "write CSV rows to FILE ('-': standard output): host_monotonic_s (seconds since the "
                     "start), host_time (UTC), sample, then the values; one row per sample, read time")
        ->type_name("FILE|-");
    streamCmd
        ->add_option("--hdf5", stream.settings.hdf5,
                     "write the samples to an HDF5 FILE (beside --csv, or alone): datasets sample, "
                     "host_monotonic_s, host_unix_s, host_arrival_s and values, the metadata as attributes")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& text) { return text == "-" ? "needs a file; HDF5 cannot go to standard output" : ""; },
            "FILE"));
    streamCmd
        ->add_option("--buffer", stream.settings.bufferSeconds,
                     "seconds of samples (at 1000 a second) held while the output is slow (default 60); "
                     "samples beyond are lost, and said so")
        ->transform(realNumber(true));
    streamCmd->add_flag("--accept-loss", stream.settings.acceptLoss,
                        "end with status 0 even when samples were lost (they are still reported)");
    streamCmd->add_flag("--six-axis", stream.settings.sixAxis,
                        "force and torque of a four-sensor DAQ instead of its sensors");
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
    streamCmd->add_flag("--force", stream.recording.force,
                        "overwrite an existing --csv FILE and its FILE.json, or --hdf5 FILE");
    streamCmd->footer(
        "Exit status: 0 after --duration, Ctrl-C, SIGTERM or SIGHUP; 1 when the DAQ goes away (with "
        "--reconnect: when it has not come back by the end of --duration) or the output fails; 2 for a bad "
        "option; 3 when samples were lost (each loss is also told on standard error, and the CSV's sample "
        "numbers skip the lost ones), unless --accept-loss; 141 when the reader of standard output closed it.");

    ListArgs list;
    CLI::App* listCmd = app.add_subcommand("list", "list the DAQs attached now: port, device version, serial");
    CLI::Option* watchFlag =
        listCmd->add_flag("--watch", list.watch, "then print DAQs being plugged in and unplugged, until Ctrl-C");
    listCmd->add_flag("--json", list.json,
                      "print a JSON array of {port, device_version, serial}; with --watch one object per line, "
                      "with \"event\": present, plugged or unplugged");
    listCmd->add_flag("--all", list.all, "list every serial port with its USB ids and what discovery decided")
        ->excludes(watchFlag);
    listCmd
        ->add_option("--probe", list.probe,
                     "also probe this port whatever its vendor (repeatable; adds to "
                     "KINE_PROBE_PORTS)")
        ->type_name("PATH");

    ConfigArgs config;
    CLI::App* configCmd = app.add_subcommand("config", "print the sensor configuration; apply the changes given");
    addDeviceOptions(*configCmd, config.device);
    addSettingOptions(*configCmd, config.settings);

    ZeroArgs zero;
    CLI::App* zeroCmd = app.add_subcommand("zero", "zero the sensors and print their offsets");
    addDeviceOptions(*zeroCmd, zero.device);
    zeroCmd->add_option("--sensor", zero.sensor, "zero only this sensor (default: all)")->transform(countNumber());
    zeroCmd
        ->add_option("--save", zero.saveFile,
                     "write the offsets of the calibration file's sensor into its \"offset\", which "
                     "kine stream --calibration FILE then subtracts")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);
    zeroCmd->footer(
        "Offsets belong to the connection: they hold until this command closes it, unless saved "
        "into a calibration file with --save.");

    SimSettings sim;
    CLI::App* simCmd = app.add_subcommand("sim", "run a simulated DAQ and print its device path");
    addSimOptions(*simCmd, sim);

    DemoArgs demo;
    CLI::App* demoCmd = app.add_subcommand("demo", "stream from a built-in simulated DAQ: no hardware needed");
    demoCmd->add_option("--sim-version", demo.version, "protocol version of the simulated DAQ, 3..8 (default 7)")
        ->transform(wholeNumber({3, 4, 5, 6, 7, 8}));
    demoCmd->add_option("--duration", demo.duration, "seconds to stream, 0 until Ctrl-C (default 5)")
        ->transform(realNumber(true));

#ifdef KINE_WITH_ZMQ
    PublishArgs publish;
    CLI::App* publishCmd = addPublishCommand(app, publish);
    SubscribeArgs subscribe;
    CLI::App* subscribeCmd = addSubscribeCommand(app, subscribe);
#endif

    demoCmd->add_flag("--serve", demo.serve, "show the simulated DAQ in the browser, as kine serve does, until Ctrl-C");
    demoCmd->add_option("--bind", demo.bind, "with --serve: HOST:PORT to listen on (default 127.0.0.1:8080)");

    ServeOptions serve;
    std::vector<std::string> servePorts;
    std::string serveVersion;
    CLI::App* serveCmd = app.add_subcommand("serve", "live traces of the DAQs in a web browser");
    serveCmd->add_option("PORT", servePorts, "device paths of DAQs to open (default: open them from the page)");
    serveCmd->add_flag("--all", serve.all, "open every DAQ that discovery reports, also those plugged in later")
        ->excludes(serveCmd->get_option("PORT"));
    serveCmd->add_option("--bind", serve.bind,
                         "HOST:PORT to listen on (default 127.0.0.1:8080, this machine only); with another "
                         "address, changes to a DAQ need the token of the printed URL");
    serveCmd->add_option("--device-version", serveVersion, "device version text of the PORTs given, e.g. \"34 v0.9\"");
    serveCmd
        ->add_option("--window", serve.windowSeconds,
                     "seconds of samples kept per DAQ for the plot and CSV (default 30)")
        ->check(CLI::Range(1.0, 600.0));
    serveCmd->footer(
        "Prints the page's URL and serves until Ctrl-C (status 0); ends with status 1 at once when the "
        "address cannot be used or a PORT does not exist.");

    // A command first: a word that is not one is named, rather than taken
    // for a missing command.
    if (argc < 2 || argv[1][0] != '-') {
        bool known = false;
        std::string names;
        for (const CLI::App* c : app.get_subcommands({})) {
            known = known || (argc >= 2 && c->get_name() == argv[1]);
            names += (names.empty() ? "" : ", ") + c->get_name();
        }
        if (!known) {
            std::fprintf(stderr, "kine: %s; the commands are %s (see 'kine --help')\n",
                         argc < 2 ? "a command is needed" : ("unknown command '" + shownText(argv[1]) + "'").c_str(),
                         names.c_str());
            return kExitOptionError;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return parseFailure(app, e);
    }

    if (simCmd->parsed()) return runSim(*simCmd, sim, "kine sim");
    installInterruptHandler();
    if (listCmd->parsed()) return runList(list);
    if (streamCmd->parsed()) return runStream(stream);
    if (configCmd->parsed()) return runConfig(config);
    if (zeroCmd->parsed()) return runZero(zero);
#ifdef KINE_WITH_ZMQ
    if (publishCmd->parsed()) return runPublish(publish);
    if (subscribeCmd->parsed()) return runSubscribe(subscribe);
#endif
    if (serveCmd->parsed()) {
        for (const std::string& p : servePorts) serve.ports.push_back(DeviceRequest{p, serveVersion});
        return runServe(serve);
    }
    return runDemo(demo);
}

}  // namespace kine_tools
