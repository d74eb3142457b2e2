// SPDX-License-Identifier: MIT
// Recording with the kine tool: settings at the start, a tare, calibrated
// values, per-sample times and the metadata beside the file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kine_sim/simulated_daq.h"
#include "sample_clock.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using kine_tools::SampleClock;

// Samples taken every millisecond from 5.0 s on, read in batches every
// 2 to 12 ms, each batch late by 0.05 to 3 ms: the times come out strictly
// increasing, never after their arrival, and once the model has seen
// 2.5 s (and a second after the loss), within 0.5 ms of the times the samples were taken, with the
// DAQ's clock 150 ppm fast and 300 samples lost on the way.
TEST(SampleClock, FollowsTheLowerEnvelopeOfArrivals) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> gap(0.002, 0.012), late(0.00005, 0.003);
    SampleClock clock(1000.0);
    const double period = 1e-3 * (1 - 150e-6);
    double lastTime = -1;
    uint64_t k = 0;  // next sample taken
    double worst = 0;
    std::vector<double> times;
    for (double now = 5.0; now < 25.0; now += gap(rng)) {
        if (k == 10000) k += 300;  // lost
        const uint64_t first = k;
        while (5.0 + static_cast<double>(k) * period <= now) ++k;
        if (k == first) continue;
        const double arrival = now + late(rng);
        times.clear();
        clock.timeBatch(arrival, static_cast<int>(k - first), times);
        for (size_t i = 0; i < times.size(); ++i) {
            ASSERT_GT(times[i], lastTime);
            ASSERT_LE(times[i], arrival + 1e-4);
            lastTime = times[i];
            const double taken = 5.0 + static_cast<double>(first + i) * period;
            if (now > 7.5 && std::fabs(now - 15.0) > 1.0) worst = std::max(worst, std::fabs(times[i] - taken));
        }
    }
    EXPECT_LT(worst, 0.0005);
}

#ifdef KINE_TOOL

using kine_sim::SimulatedDaq;
using kine_test::ChildProcess;
using nlohmann::json;
using namespace std::chrono;

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun kine(const std::vector<std::string>& args) {
    ChildProcess p(KINE_TOOL, args);
    const int status = p.exitStatus(seconds(60));
    return {status, p.output(), p.errors()};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::stringstream s(text);
    for (std::string part; std::getline(s, part, sep);) parts.push_back(part);
    return parts;
}

struct Csv {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

Csv readCsv(const std::string& path) {
    Csv c;
    const std::vector<std::string> lines = split(readFile(path), '\n');
    if (lines.empty()) return c;
    c.header = split(lines[0], ',');
    for (size_t i = 1; i < lines.size(); ++i) c.rows.push_back(split(lines[i], ','));
    return c;
}

std::unique_ptr<SimulatedDaq> constantSim(int version, const kine_sim::SensorValues& v) {
    SimulatedDaq::Options o;
    o.version = version;
    o.compensated = true;
    auto sim = std::make_unique<SimulatedDaq>(o);
    sim->setConstant(v);
    return sim;
}

const std::string kSampleCalibration = KINE_SOURCE_DIR "/examples/calibration/SIM00001-sensor0.json";

// The sample calibration on a constant signal: newtons as worked out by
// hand from its matrix, the units in the header, and the sidecar naming
// the file, its checksum, the configuration and the columns.
TEST(KineRecording, CalibratedNewtonsWithMetadata) {
    kine_sim::SensorValues v;
    v.x = 800, v.y = -400, v.z = 2000, v.aux = 7;
    auto sim = constantSim(3, v);
    TempDir dir;
    const std::string csv = dir.path + "/run.csv";
    const ToolRun r =
        kine({"stream", sim->devicePath(), "--duration", "1", "--csv", csv, "--calibration", kSampleCalibration});
    ASSERT_EQ(r.status, 0) << r.err;
    const Csv c = readCsv(csv);
    const std::vector<std::string> header{"host_monotonic_s", "host_time", "sample", "Fx (N)",
                                          "Fy (N)",           "Fz (N)",    "aux",    "host_arrival_s"};
    EXPECT_EQ(c.header, header);
    ASSERT_GE(c.rows.size(), 20u);
    for (const auto& row : c.rows) {
        ASSERT_EQ(row.size(), header.size());
        EXPECT_DOUBLE_EQ(std::stod(row[3]), 10.0);                  // 0.0125 * 800
        EXPECT_DOUBLE_EQ(std::stod(row[4]), -5.0);                  // 0.0125 * -400
        EXPECT_NEAR(std::stod(row[5]), 0.32 + 0.08 + 100.0, 1e-9);  // 0.0004*800 - 0.0002*-400 + 0.05*2000
        EXPECT_EQ(row[6], "7");
        EXPECT_LE(std::stod(row[0]), std::stod(row[7]) + 1e-3);  // not after its arrival
    }
    const json meta = json::parse(readFile(csv + ".json"));
    EXPECT_EQ(meta["columns"], json({"Fx (N)", "Fy (N)", "Fz (N)", "aux"}));
    EXPECT_EQ(meta["units"], json({"N", "N", "N", "counts"}));
    EXPECT_EQ(meta["protocol_version"], 3);
    EXPECT_EQ(meta["port"], sim->devicePath());
    EXPECT_EQ(meta["config"]["mode"], "compensated");
    EXPECT_TRUE(meta["zero_offsets"].is_null());
    ASSERT_EQ(meta["calibrations"].size(), 1u);
    EXPECT_EQ(meta["calibrations"][0]["sensor_serial"], "FS3-000123");
    FILE* sum = popen(("sha256sum '" + kSampleCalibration + "'").c_str(), "r");
    char hex[65] = {};
    ASSERT_EQ(std::fread(hex, 1, 64, sum), 64u);
    pclose(sum);
    EXPECT_EQ(meta["calibrations"][0]["sha256"], hex);

    // The file is not overwritten without --force.
    const std::string before = readFile(csv);
    const ToolRun again = kine({"stream", sim->devicePath(), "--duration", "0.5", "--csv", csv});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "kine: " + csv + " exists; pass --force to overwrite it\n");
    EXPECT_EQ(readFile(csv), before);
    EXPECT_EQ(kine({"stream", sim->devicePath(), "--duration", "0.5", "--csv", csv, "--force"}).status, 0);
    EXPECT_NE(readFile(csv), before);
}

// --zero tares on the first samples; zero --save puts the same tare into a
// calibration file, which stream --calibration then subtracts.
TEST(KineRecording, TareAtStartAndSavedOffsets) {
    kine_sim::SensorValues v;
    v.x = 321, v.y = -654, v.z = 987, v.aux = 3;
    auto sim = constantSim(3, v);
    TempDir dir;
    const std::string csv = dir.path + "/tared.csv";
    // With a setting, the samples buffered before it are dropped: the tare
    // waits for a fresh one.
    ToolRun r = kine({"stream", sim->devicePath(), "--duration", "1", "--csv", csv, "--zero", "--speed", "1000"});
    ASSERT_EQ(r.status, 0) << r.err;
    Csv c = readCsv(csv);
    ASSERT_GE(c.rows.size(), 20u);
    for (const auto& row : c.rows)
        for (size_t i = 3; i < 7; ++i) EXPECT_EQ(row[i], "0") << c.header[i];
    EXPECT_EQ(json::parse(readFile(csv + ".json"))["zero_offsets"], json::parse("[[321, -654, 987, 3]]"));

    const std::string cal = dir.path + "/cal.json";
    std::ofstream(cal) << readFile(kSampleCalibration);
    r = kine({"zero", sim->devicePath(), "--save", cal});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sensor 0 offset (force counts) saved to " + cal + ": 321 -654 987\n");
    const std::string tared = dir.path + "/calibrated.csv";
    r = kine({"stream", sim->devicePath(), "--duration", "1", "--csv", tared, "--calibration", cal});
    ASSERT_EQ(r.status, 0) << r.err;
    c = readCsv(tared);
    ASSERT_GE(c.rows.size(), 20u);
    for (const auto& row : c.rows)
        for (size_t i = 3; i < 6; ++i) EXPECT_DOUBLE_EQ(std::stod(row[i]), 0.0) << c.header[i];
}

// The sample rate after the first half second (which may hold frames the
// DAQ sent before the open's configuration exchange): one over the median
// step between sample times, which frames a loaded machine's simulator skips
// do not move.
double sampleRate(const Csv& c) {
    std::vector<double> t;
    for (const auto& row : c.rows)
        if (std::stod(row[0]) >= 0.5) t.push_back(std::stod(row[0]));
    if (t.size() < 3) return 0;
    std::vector<double> steps;
    for (size_t i = 1; i < t.size(); ++i) steps.push_back(t[i] - t[i - 1]);
    std::nth_element(steps.begin(), steps.begin() + static_cast<long>(steps.size() / 2), steps.end());
    return 1.0 / steps[steps.size() / 2];
}

// Every open of an 0xAA-family DAQ sets 100 Hz; --speed applies the rate
// after the open and the recording runs at it.
TEST(KineRecording, SpeedAtStartOnAVersion7Daq) {
    SimulatedDaq::Options o;
    o.version = 7;
    SimulatedDaq sim(o);
    TempDir dir;
    const std::string fast = dir.path + "/fast.csv", plain = dir.path + "/plain.csv";
    ToolRun r = kine({"stream", sim.devicePath(), "--device-version", sim.deviceVersionText(), "--duration", "2",
                      "--csv", fast, "--speed", "1000", "--filter", "15"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.framesPerSecond(), 1000);
    r = kine(
        {"stream", sim.devicePath(), "--device-version", sim.deviceVersionText(), "--duration", "2", "--csv", plain});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.framesPerSecond(), 100);
    // The recordings ran at those rates, not at a neighbouring one (333, or
    // 30 and 333 Hz): bounds at the midpoints.
    const double fastRate = sampleRate(readCsv(fast)), plainRate = sampleRate(readCsv(plain));
    EXPECT_GT(fastRate, 666);
    EXPECT_LT(fastRate, 1500);
    EXPECT_GT(plainRate, 65);
    EXPECT_LT(plainRate, 216);
    const json meta = json::parse(readFile(fast + ".json"));
    EXPECT_EQ(meta["config"]["speed_hz"], 1000);
    EXPECT_EQ(meta["config"]["filter_hz"], 15);
}

// Settings the DAQ does not take and calibration files that do not fit end
// the command before anything is recorded.
TEST(KineRecording, RefusesBeforeRecording) {
    SimulatedDaq::Options o;
    o.version = 7;
    o.refuseConfig = true;
    SimulatedDaq sim(o);
    TempDir dir;
    const std::string csv = dir.path + "/x.csv";
    ToolRun r =
        kine({"stream", sim.devicePath(), "--device-version", sim.deviceVersionText(), "--csv", csv, "--speed", "333"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("did not take the settings; it reports speed 1000 Hz"), std::string::npos) << r.err;

    const std::string bad = dir.path + "/bad.json";
    std::string text = readFile(kSampleCalibration);
    text.replace(text.find("[0, 0.0125, 0],"), 15, "");
    std::ofstream(bad) << text;
    r = kine(
        {"stream", sim.devicePath(), "--device-version", sim.deviceVersionText(), "--csv", csv, "--calibration", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("kine: " + bad + ": field \"matrix\": has 2 rows"), std::string::npos) << r.err;
    // Sensor 0's file on the six axes of a four-sensor DAQ.
    r = kine({"stream", sim.devicePath(), "--device-version", sim.deviceVersionText(), "--csv", csv, "--six-axis",
              "--calibration", kSampleCalibration});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("samples are six axes"), std::string::npos) << r.err;
    EXPECT_NE(access(csv.c_str(), F_OK), 0);
}

#ifdef KINE_H5PY_PYTHON
// One stream into a CSV and an HDF5 file at once: Python's h5py reads the
// same samples, times and values from the HDF5 file, the sidecar's metadata
// as its attributes; doubles with a calibration, counts without.
TEST(KineRecording, Hdf5HoldsWhatTheCsvHolds) {
    SimulatedDaq::Options o;
    o.version = 4;
    SimulatedDaq sim(o);
    TempDir dir;
    for (const bool calibrated : {true, false}) {
        const std::string csv = dir.path + "/run" + std::to_string(calibrated) + ".csv",
                          h5 = dir.path + "/run" + std::to_string(calibrated) + ".h5";
        std::vector<std::string> args{"stream", sim.devicePath(), "--duration", "1", "--csv", csv, "--hdf5", h5};
        if (calibrated) args.insert(args.end(), {"--calibration", kSampleCalibration});
        const ToolRun r = kine(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("samples to " + h5 + " in "), std::string::npos) << r.err;
        ChildProcess check(KINE_H5PY_PYTHON,
                           {KINE_SOURCE_DIR "/tests/tools/compare_hdf5_csv.py", csv, h5, calibrated ? "f8" : "i4"});
        EXPECT_EQ(check.exitStatus(seconds(60)), 0) << check.errors();
    }
    // An existing file is kept without --force.
    const std::string h5 = dir.path + "/run1.h5";
    const ToolRun again = kine({"stream", sim.devicePath(), "--duration", "0.5", "--hdf5", h5});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "kine: " + h5 + " exists; pass --force to overwrite it\n");
}
#endif

#endif  // KINE_TOOL

}  // namespace
