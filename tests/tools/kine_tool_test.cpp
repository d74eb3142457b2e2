// SPDX-License-Identifier: MIT
// The kine tool as a user runs it, against simulated DAQs and stand-in devices.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kine_sim/simulated_daq.h"
#include "support/child_process.h"
#include "support/pty_pair.h"

#ifdef KINE_TOOL

namespace {

using kine_sim::SimulatedDaq;
using kine_test::ChildProcess;
using namespace std::chrono;

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun kine(const std::vector<std::string>& args, int runAsUid = -1) {
    ChildProcess p(KINE_TOOL, args, runAsUid);
    const int status = p.exitStatus(seconds(60));
    return {status, p.output(), p.errors()};
}

std::unique_ptr<SimulatedDaq> makeSim(int version, bool compensated = false) {
    SimulatedDaq::Options o;
    o.version = version;
    o.compensated = compensated;
    return std::make_unique<SimulatedDaq>(o);
}

bool isOneLine(const std::string& text) {
    return !text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1;
}

// Standard error without the notice of a long open wait.
std::string withoutWaitNotice(const std::string& err) {
    return std::regex_replace(err, std::regex("kine: waiting for the DAQ[^\n]*\n"), "");
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::stringstream s(text);
    for (std::string part; std::getline(s, part, sep);) parts.push_back(part);
    return parts;
}

// A temporary folder, removed with what it holds.
struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/kine-tool-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

class OptionErrors : public testing::TestWithParam<std::vector<std::string>> {};

// Every mistake in the options: status 2, one line on standard error naming
// the command, nothing on standard output, and no device touched.
TEST_P(OptionErrors, AreOneLineAndStatus2) {
    const ToolRun r = kine(GetParam());
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(isOneLine(r.err)) << r.err;
    EXPECT_EQ(r.err.rfind("kine", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Kine, OptionErrors,
                         testing::Values(std::vector<std::string>{}, std::vector<std::string>{"stream"},
                                         std::vector<std::string>{"stream", "/dev/null", "--duration", "-1"},
                                         std::vector<std::string>{"stream", "/dev/null", "--duration", "abc"},
                                         std::vector<std::string>{"stream", "/dev/null", "--bogus"},
                                         std::vector<std::string>{"config", "/dev/null", "--speed", "77"},
                                         std::vector<std::string>{"config", "/dev/null", "--mode", "fast"},
                                         std::vector<std::string>{"zero", "/dev/null", "--sensor", "-1"},
                                         std::vector<std::string>{"demo", "--sim-version", "9"},
                                         std::vector<std::string>{"sim", "--frequency", "0"},
                                         // numbers are decimal only
                                         std::vector<std::string>{"stream", "/dev/null", "--duration", "0x10"},
                                         std::vector<std::string>{"stream", "/dev/null", "--duration", "inf"},
                                         std::vector<std::string>{"config", "/dev/null", "--speed", "0x64"},
                                         std::vector<std::string>{"sim", "--frequency", "0x1"},
                                         // no path, no command, an unknown command
                                         std::vector<std::string>{"stream", ""}, std::vector<std::string>{"foo"}));

// What an option error says: what is wrong, in the user's terms.
TEST(KineTool, OptionErrorsNameTheProblem) {
    const std::string unknown = kine({"foo"}).err;
    EXPECT_EQ(unknown.rfind("kine: unknown command 'foo'; the commands are ", 0), 0u) << unknown;
    for (const char* command : {" list,", " stream,", " config,", " zero,", " sim,", " demo"})
        EXPECT_NE(unknown.find(command), std::string::npos) << command << " in " << unknown;
    EXPECT_NE(unknown.find(" (see 'kine --help')\n"), std::string::npos) << unknown;
    EXPECT_NE(kine({"stream", ""}).err.find("PORT: needs a device path"), std::string::npos);
    EXPECT_NE(kine({"stream", "/dev/null", "--duration", "0x10"}).err.find("--duration: needs a decimal number"),
              std::string::npos);
}

TEST(KineTool, HelpOnEveryCommandAndVersions) {
    const ToolRun v = kine({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(std::regex_search(v.out, std::regex(R"(^kine \d+\.\d+\.\d+ \(libkine \d+\.\d+\.\d+\)\n$)"))) << v.out;
    for (const char* command : {"list", "stream", "config", "zero", "sim", "demo"}) {
        const ToolRun h = kine({command, "--help"});
        EXPECT_EQ(h.status, 0) << command;
        EXPECT_NE(h.out.find(std::string("Usage: kine ") + command), std::string::npos) << h.out;
    }
}

// Devices that cannot be a DAQ: one line that says why, status 1.
TEST(KineTool, OpenFailuresSayWhy) {
    TempDir dir;  // its paths fit a port record: at most 25 characters
    const std::string file = dir.path + "/f";
    std::fclose(std::fopen(file.c_str(), "w"));
    kine_test::PtyPair silent;  // a terminal that never sends anything

    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"stream", dir.path + "/A9"}, "kine: " + dir.path + "/A9: no such device; is the DAQ plugged in?"},
        {{"stream", dir.path + "/no-such-device-with-a-long-name"},
         "kine: " + dir.path + "/no-such-device-with-a-long-name: invalid port name; a device path has at most 25"},
        {{"config", file}, "kine: " + file + ": not a serial device; give the serial device of the DAQ"},
        {{"zero", silent.slavePath()}, "kine: " + silent.slavePath() + ": no data arrived within the wait; "},
        {{"stream", silent.slavePath(), "--device-version", "68 v1.1"}, "kine: " + silent.slavePath() + ": no data"},
    };
    for (const Case& c : cases) {
        const ToolRun r = kine(c.args);
        EXPECT_EQ(r.status, 1) << c.says;
        const std::string err = withoutWaitNotice(r.err);
        EXPECT_TRUE(isOneLine(err)) << err;
        EXPECT_EQ(err.rfind(c.says, 0), 0u) << err;
        EXPECT_EQ(r.out, "");
    }
}

// A node the user may not open: the message says how to get access. Run as
// an unprivileged user, since root opens any node.
TEST(KineTool, PermissionDeniedSaysHowToFixIt) {
    kine_test::PtyPair pty;
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0), 0);
    const ToolRun r = kine({"stream", pty.slavePath()}, geteuid() == 0 ? 65534 : -1);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(isOneLine(r.err)) << r.err;
    EXPECT_EQ(r.err.rfind("kine: " + pty.slavePath() + ": permission denied; ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("dialout"), std::string::npos);
    EXPECT_NE(r.err.find("60-kine.rules"), std::string::npos);
}

// Parses CSV rows and checks their form: strictly increasing host times, a
// running sample number, integer values, then the arrival time. Returns the number of rows.
size_t checkCsv(const std::string& csv, const std::vector<std::string>& valueColumns) {
    const std::vector<std::string> lines = split(csv, '\n');
    EXPECT_GE(lines.size(), 2u);
    if (lines.empty()) return 0;
    std::vector<std::string> header{"host_monotonic_s", "host_time", "sample"};
    header.insert(header.end(), valueColumns.begin(), valueColumns.end());
    header.push_back("host_arrival_s");
    EXPECT_EQ(split(lines[0], ','), header);
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
    const std::regex integer(R"(-?\d+)");
    double lastTime = -1e9;  // samples buffered during the open were taken before the start
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = split(lines[i], ',');
        EXPECT_EQ(f.size(), header.size()) << lines[i];
        if (f.size() != header.size()) return 0;
        const double t = std::stod(f[0]);
        EXPECT_GT(t, lastTime);
        lastTime = t;
        EXPECT_TRUE(std::regex_match(f[1], iso)) << f[1];
        EXPECT_EQ(f[2], std::to_string(i - 1));
        for (size_t c = 3; c + 1 < f.size(); ++c) EXPECT_TRUE(std::regex_match(f[c], integer)) << lines[i];
    }
    return lines.size() - 1;
}

struct CsvCase {
    int version;
    bool sixAxis;
    std::vector<std::string> columns;
};

void PrintTo(const CsvCase& c, std::ostream* os) { *os << "version " << c.version << (c.sixAxis ? " --six-axis" : ""); }

class StreamToCsv : public testing::TestWithParam<CsvCase> {};

// One sensor, four sensors as sensors or as a force/torque vector, and a
// six-axis unit: the rows a spreadsheet reads, in a file named by a long
// link, the way /dev/serial/by-id names a DAQ.
TEST_P(StreamToCsv, WritesParsableRows) {
    const CsvCase& c = GetParam();
    auto sim = makeSim(c.version);
    TempDir dir;
    const std::string link = dir.path + "/usb-Kine_DAQ_SIM00001-if00-port0";
    ASSERT_EQ(symlink(sim->devicePath().c_str(), link.c_str()), 0);
    const std::string csv = dir.path + "/samples.csv";
    std::vector<std::string> args{"stream", link, "--device-version", sim->deviceVersionText(), "--duration", "1.5",
                                  "--csv",  csv};
    if (c.sixAxis) args.push_back("--six-axis");
    const ToolRun r = kine(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::FILE* f = std::fopen(csv.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::string text;
    for (int ch; (ch = std::fgetc(f)) != EOF;) text += static_cast<char>(ch);
    std::fclose(f);
    const size_t rows = checkCsv(text, c.columns);
    EXPECT_GE(rows, 20u);
    EXPECT_NE(r.err.find("kine: wrote " + std::to_string(rows) + " samples to " + csv), std::string::npos) << r.err;
}

std::vector<std::string> fourSensorColumns() {
    std::vector<std::string> c;
    for (int k = 0; k < 4; ++k)
        for (const char* n : {"x", "y", "z", "aux"}) c.push_back("s" + std::to_string(k) + "_" + n);
    return c;
}

const std::vector<std::string> kSixAxes{"Fx", "Fy", "Fz", "Tx", "Ty", "Tz"};

INSTANTIATE_TEST_SUITE_P(Kine, StreamToCsv,
                         testing::Values(CsvCase{3, false, {"x", "y", "z", "aux"}},
                                         CsvCase{7, false, fourSensorColumns()}, CsvCase{4, true, kSixAxes},
                                         CsvCase{8, false, kSixAxes}),
                         [](const testing::TestParamInfo<CsvCase>& i) {
                             return "Version" + std::to_string(i.param.version) + (i.param.sixAxis ? "SixAxis" : "");
                         });

// A stream that ends because the DAQ went away is an error.
TEST(KineTool, StreamFailsWhenTheDaqGoesAway) {
    auto sim = makeSim(3);
    ChildProcess p(KINE_TOOL, {"stream", sim->devicePath(), "--csv", "-"});
    EXPECT_EQ(p.outputLine(seconds(10)).rfind("host_monotonic_s,", 0), 0u);
    EXPECT_FALSE(p.outputLine(seconds(10)).empty());  // a first row
    sim->hangUp();
    EXPECT_EQ(p.exitStatus(seconds(10)), 1);
    EXPECT_NE(p.errors().find("kine: the DAQ on " + sim->devicePath() + " went away"), std::string::npos) << p.errors();
}

// One owner per DAQ: a second stream on a DAQ in use is told it is busy.
TEST(KineTool, SecondStreamOnADaqIsBusy) {
    auto sim = makeSim(3);
    ChildProcess first(KINE_TOOL, {"stream", sim->devicePath(), "--csv", "-"});
    EXPECT_EQ(first.outputLine(seconds(10)).rfind("host_monotonic_s,", 0), 0u) << first.errors();
    const ToolRun second = kine({"stream", sim->devicePath(), "--device-version", sim->deviceVersionText()});
    EXPECT_EQ(second.status, 1);
    const std::string err = withoutWaitNotice(second.err);
    EXPECT_TRUE(isOneLine(err)) << err;
    EXPECT_EQ(err.rfind("kine: " + sim->devicePath() + ": device busy", 0), 0u) << err;
    first.signal(SIGINT);
    EXPECT_EQ(first.exitStatus(seconds(10)), 0);
}

// Ctrl-C ends a long open wait at once: a silent DAQ of the 0xAA family
// would keep the configuration exchange waiting for up to 50 s.
TEST(KineTool, CtrlCEndsTheOpenWait) {
    auto sim = makeSim(7);
    sim->setSilent(true);
    ChildProcess p(KINE_TOOL, {"stream", sim->devicePath(), "--device-version", sim->deviceVersionText()});
    ASSERT_TRUE(p.errorContains("kine: waiting for the DAQ", seconds(10))) << p.errors();
    // Unanswered, the exchange would go on for 50 s; the bound leaves room
    // for a loaded machine while telling a prompt end from that.
    const auto start = steady_clock::now();
    p.signal(SIGINT);
    EXPECT_EQ(p.exitStatus(seconds(30)), 130) << p.errors();
    EXPECT_LT(steady_clock::now() - start, seconds(10));
    EXPECT_NE(p.errors().find("interrupted"), std::string::npos) << p.errors();
}

TEST(KineTool, ConfigAppliesWhatTheDaqTakes) {
    auto sim = makeSim(3);
    // 0100 is a hundred, not the octal 64.
    const ToolRun r = kine({"config", sim->devicePath(), "--speed", "0100", "--filter", "15", "--mode", "compensated"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(sim->devicePath() + ": speed 1000 Hz, filter none, mode raw\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("applied: speed 100 Hz, filter 15 Hz, mode compensated\n"), std::string::npos) << r.out;
    EXPECT_EQ(sim->configByte() & 0x1F, (2 << 3) | (3 << 1) | 1);

    SimulatedDaq::Options o;
    o.refuseConfig = true;
    SimulatedDaq refusing(o);
    const ToolRun refused = kine({"config", refusing.devicePath(), "--speed", "30"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(isOneLine(refused.err)) << refused.err;
    EXPECT_NE(refused.err.find("did not take"), std::string::npos) << refused.err;
}

TEST(KineTool, ZeroPrintsTheOffsets) {
    auto sim = makeSim(3, true);
    kine_sim::SensorValues v;
    v.x = 123;
    v.y = -45;
    v.z = 678;
    v.aux = 9;
    sim->setConstant(v);
    const ToolRun r = kine({"zero", sim->devicePath()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sensor 0 offset: x 123 y -45 z 678 aux 9\n");
    const ToolRun bad = kine({"zero", sim->devicePath(), "--sensor", "2"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err, "kine zero: --sensor 2: the DAQ on " + sim->devicePath() +
                           " has one sensor, number 0; give --sensor 0 or leave it out\n");
    // A six-axis unit has four sensors, zeroed only together.
    auto sixAxis = makeSim(5);
    const ToolRun one = kine({"zero", sixAxis->devicePath(), "--sensor", "1"});
    EXPECT_EQ(one.status, 2);
    EXPECT_NE(one.err.find("is a six-axis unit, whose sensors are zeroed together; leave out --sensor"),
              std::string::npos)
        << one.err;
}

// An 0xAA-family DAQ that is streaming, opened without its device version
// text: the message says the text is needed, not that it does not match.
TEST(KineTool, AnAaDaqWithoutItsTextIsToldToGiveIt) {
    auto sim = makeSim(7);
    const ToolRun r = kine({"stream", sim->devicePath(), "--duration", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(withoutWaitNotice(r.err).find("no device version text was given, and the DAQ sends the frames of "
                                            "the 0xAA family, which need it: give it, e.g. --device-version"),
              std::string::npos)
        << r.err;
}

TEST(KineTool, DemoAndSimRunWithoutHardware) {
    const ToolRun demo = kine({"demo", "--duration", "1"});
    EXPECT_EQ(demo.status, 0) << demo.err;
    EXPECT_NE(demo.out.find("sensor 3   x"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("samples/s"), std::string::npos) << demo.out;

    ChildProcess sim(KINE_TOOL, {"sim", "--version", "5"});
    const std::string path = sim.outputLine();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    const ToolRun r = kine({"stream", path, "--duration", "0.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("version 5, six-axis unit"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("torque   Tx"), std::string::npos) << r.out;
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.exitStatus(), 0);
}

}  // namespace

#endif
