// SPDX-License-Identifier: MIT
// kine list and kine stream --reconnect against simulated DAQs in a fake
// /dev and sysfs tree, through the test variant of the tool.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kine_sim/simulated_daq.h"
#include "support/child_process.h"
#include "support/fake_port_tree.h"

#ifdef KINE_FAKE_TREE_TOOL

namespace {

using kine_sim::SimulatedDaq;
using kine_test::ChildProcess;
using kine_test::FakePortTree;
using namespace std::chrono;

std::vector<std::string> inTree(const FakePortTree& tree, std::vector<std::string> args) {
    args.insert(args.begin(), {tree.dev(), tree.sys()});
    return args;
}

std::unique_ptr<SimulatedDaq> makeSim(int version, const std::string& serial, int32_t x) {
    SimulatedDaq::Options o;
    o.version = version;
    o.serial = serial;
    o.compensated = true;  // values as set
    auto sim = std::make_unique<SimulatedDaq>(o);
    kine_sim::SensorValues v;
    v.x = x;
    sim->setConstant(v);
    return sim;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string part; std::getline(s, part, ',');) f.push_back(part);
    return f;
}

// A pseudo-terminal nobody writes to and nobody holds open: a converter
// with a silent device behind it, which a probe waits for in vain.
class QuietPort {
public:
    QuietPort() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        char name[64] = {0};
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name))
            throw std::runtime_error("no pseudo-terminal");
        path_ = name;
    }
    ~QuietPort() { ::close(master_); }
    const std::string& path() const { return path_; }

private:
    int master_;
    std::string path_;
};

// A 0x37-family DAQ (no serial of its own), an 0xAA-family DAQ and a port
// that is not a DAQ: listed as text and as JSON, non-DAQs left out.
TEST(KineList, ListsTheDaqsFoundAsTextAndJson) {
    FakePortTree tree;
    auto v3 = makeSim(3, "SIM00001", 0);
    auto v7 = makeSim(7, "A1B2", 0);
    const std::string p3 = tree.plugUsb("ttyACM0", v3->devicePath());
    const std::string p7 = tree.plugUsb("ttyUSB1", v7->devicePath(), "10c4", "ea60");
    QuietPort quiet;
    tree.plugUsb("ttyACM2", quiet.path());

    // A listing shows what the monitor's first pass found. On a loaded
    // machine a probe can time out (the monitor retries it only 1.25 s
    // later) and leave a DAQ out; the listing is then run again.
    auto list = [&](std::vector<std::string> args, const std::string& expected) {
        std::string out;
        for (int run = 0; run < 3 && out != expected; ++run) {
            ChildProcess p(KINE_FAKE_TREE_TOOL, inTree(tree, args));
            EXPECT_EQ(p.exitStatus(seconds(60)), 0) << p.errors();
            out = p.output();
        }
        return out;
    };
    std::ostringstream expected;
    char line[160];
    std::snprintf(line, sizeof line, "%-24s  %-8s  %s\n", p3.c_str(), "68 v1.1", "-");
    expected << line;
    std::snprintf(line, sizeof line, "%-24s  %-8s  %s\n", p7.c_str(), "34 v0.9", "A1B2");
    expected << line;
    EXPECT_EQ(list({"list"}, expected.str()), expected.str());

    const std::string json = "[{\"port\": \"" + p3 +
                             "\", \"device_version\": \"68 v1.1\", \"serial\": \"\"},\n {\"port\": \"" + p7 +
                             "\", \"device_version\": \"34 v0.9\", \"serial\": \"A1B2\"}]\n";
    EXPECT_EQ(list({"list", "--json"}, json), json);
}

std::string lineWith(const std::string& text, const std::string& part) {
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);)
        if (line.find(part) != std::string::npos) return line;
    return "";
}

// Three silent converters sorted before the DAQ cost a probe each: the list
// waits for them instead of saying that no DAQ is there.
TEST(KineList, WaitsUntilEveryCandidateHasBeenProbed) {
    FakePortTree tree;
    std::vector<std::unique_ptr<QuietPort>> quiet;
    for (int i = 0; i < 3; ++i) {
        quiet.push_back(std::make_unique<QuietPort>());
        tree.plugUsb("ttyACM" + std::to_string(i), quiet.back()->path());
    }
    auto daq = makeSim(3, "SIM00001", 0);
    const std::string port = tree.plugUsb("ttyACM3", daq->devicePath());
    ChildProcess p(KINE_FAKE_TREE_TOOL, inTree(tree, {"list"}));
    EXPECT_EQ(p.exitStatus(seconds(60)), 0) << p.errors();
    EXPECT_EQ(p.output().rfind(port + " ", 0), 0u) << p.output();
}

// --all: every port with its USB ids and the decision, the holder of a busy
// port by PID and command; a plain list names the busy candidate too.
TEST(KineList, AllShowsEveryPortAndWhatDiscoveryDecided) {
    FakePortTree tree;
    auto daq = makeSim(3, "SIM00001", 0);
    const std::string daqPort = tree.plugUsb("ttyACM0", daq->devicePath());
    tree.plugPlain("ttyS0");
    tree.plugUsb("ttyUSB1", "/dev/null", "2341", "0043");
    QuietPort held;
    const std::string heldPort = tree.plugUsb("ttyUSB2", held.path(), "10c4", "ea60");
    ChildProcess holder("/bin/sh", {"-c", "exec 3<>" + heldPort + "; echo held; exec sleep 60"});
    ASSERT_EQ(holder.outputLine(seconds(10)), "held");

    ChildProcess all(KINE_FAKE_TREE_TOOL, inTree(tree, {"list", "--all"}));
    ASSERT_EQ(all.exitStatus(seconds(60)), 0) << all.errors();
    const std::string out = all.output();
    EXPECT_NE(lineWith(out, daqPort).find("0403:6001  DAQ 68 v1.1 -"), std::string::npos) << out;
    EXPECT_NE(lineWith(out, tree.port("ttyS0")).find("-          not USB"), std::string::npos) << out;
    EXPECT_NE(lineWith(out, tree.port("ttyUSB1")).find("2341:0043  other vendor"), std::string::npos) << out;
    EXPECT_NE(lineWith(out, heldPort).find("10c4:ea60  busy: held by PID "), std::string::npos) << out;
    EXPECT_NE(lineWith(out, heldPort).find("(sleep)"), std::string::npos) << out;

    ChildProcess list(KINE_FAKE_TREE_TOOL, inTree(tree, {"list"}));
    ASSERT_EQ(list.exitStatus(seconds(60)), 0) << list.errors();
    EXPECT_NE(lineWith(list.output(), heldPort).find("busy: held by PID"), std::string::npos) << list.output();
}

// The kernel makes a node root's alone; udev opens it up a moment later. A
// monitor run by a normal user reports the DAQ once it may open it, and a
// port that never opens up is listed with the fix.
TEST(KineList, PermissionThatComesLateIsWaitedForAndOneThatNeverComesIsNamed) {
    constexpr int kNobody = 65534;
    FakePortTree tree;
    ::chmod(tree.dev().c_str(), 0755);
    ::chmod(tree.sys().c_str(), 0755);
    auto late = makeSim(3, "SIM00001", 0);
    auto never = makeSim(4, "SIM00002", 0);
    ::chmod(late->devicePath().c_str(), 0600);
    ::chmod(never->devicePath().c_str(), 0600);
    const std::string latePort = tree.plugUsb("ttyACM0", late->devicePath());
    const std::string neverPort = tree.plugUsb("ttyACM1", never->devicePath());

    ChildProcess list(KINE_FAKE_TREE_TOOL, inTree(tree, {"list"}), kNobody);
    ASSERT_EQ(list.exitStatus(seconds(60)), 0) << list.errors();
    EXPECT_NE(lineWith(list.output(), neverPort).find("no permission: join the dialout group"), std::string::npos)
        << list.output();

    // The listing ends (and the watch begins) once the first pass has been
    // refused the node.
    ChildProcess watch(KINE_FAKE_TREE_TOOL, inTree(tree, {"list", "--watch"}), kNobody);
    ASSERT_TRUE(watch.errorContains("watching", seconds(30))) << watch.errors();
    ::chmod(late->devicePath().c_str(), 0666);
    std::string line;
    const auto end = steady_clock::now() + seconds(20);
    while (line.rfind("plugged", 0) != 0 && steady_clock::now() < end) line = watch.outputLine(seconds(1));
    EXPECT_NE(line.find(latePort + " "), std::string::npos) << line;
    EXPECT_NE(line.find("68 v1.1"), std::string::npos) << line;
    watch.signal(SIGINT);
    EXPECT_EQ(watch.exitStatus(seconds(10)), 0);
}

TEST(KineList, SaysWhenNoDaqIsFound) {
    FakePortTree tree;
    ChildProcess text(KINE_FAKE_TREE_TOOL, inTree(tree, {"list"}));
    EXPECT_EQ(text.exitStatus(seconds(30)), 0);
    EXPECT_EQ(text.output(), "no DAQ found\n");
    EXPECT_NE(text.errors().find("kine list --all"), std::string::npos) << text.errors();
    ChildProcess json(KINE_FAKE_TREE_TOOL, inTree(tree, {"list", "--json"}));
    EXPECT_EQ(json.exitStatus(seconds(30)), 0);
    EXPECT_EQ(json.output(), "[]\n");
}

TEST(KineList, WatchPrintsPlugAndUnplugEventsUntilCtrlC) {
    FakePortTree tree;
    auto present = makeSim(3, "SIM00001", 0);
    const std::string first = tree.plugUsb("ttyACM0", present->devicePath());
    ChildProcess p(KINE_FAKE_TREE_TOOL, inTree(tree, {"list", "--watch", "--json"}));
    EXPECT_EQ(p.outputLine(seconds(20)), "{\"event\": \"present\", \"port\": \"" + first +
                                             "\", \"device_version\": \"68 v1.1\", \"serial\": \"\"}");

    auto plugged = makeSim(6, "B7", 0);
    const std::string second = tree.plugUsb("ttyUSB3", plugged->devicePath(), "04d8", "000a");
    const std::string record = "\"port\": \"" + second + "\", \"device_version\": \"31 v0.9\", \"serial\": \"B7\"}";
    EXPECT_EQ(p.outputLine(seconds(20)), "{\"event\": \"plugged\", " + record);
    tree.unplug("ttyUSB3");
    EXPECT_EQ(p.outputLine(seconds(20)), "{\"event\": \"unplugged\", " + record);
    p.signal(SIGINT);
    EXPECT_EQ(p.exitStatus(seconds(10)), 0);
}

struct ReconnectCase {
    int version;
    std::string replugAs;  // port name of the DAQ when it comes back
};

void PrintTo(const ReconnectCase& c, std::ostream* os) { *os << "version " << c.version << " back as " << c.replugAs; }

class KineReconnect : public testing::TestWithParam<ReconnectCase> {};

// The DAQ hangs up and is unplugged; a DAQ with the same serial (version 7,
// at another port) or at the same port (version 3, which has no serial)
// comes back, and the rows go on in the same CSV: one header, a running
// sample number, the first DAQ's values, then the second's. No device
// version is given: the tool learns it through discovery.
TEST_P(KineReconnect, StreamGoesOnWhenTheDaqComesBack) {
    const ReconnectCase& c = GetParam();
    FakePortTree tree;
    auto before = makeSim(c.version, "SIM00001", 111);
    const std::string port = tree.plugUsb("ttyACM0", before->devicePath());
    ChildProcess p(KINE_FAKE_TREE_TOOL, inTree(tree, {"stream", port, "--reconnect", "--csv", "-"}));
    ASSERT_EQ(p.outputLine(seconds(20)).rfind("host_monotonic_s,", 0), 0u) << p.errors();
    ASSERT_EQ(fields(p.outputLine(seconds(10))).at(3), "111");

    before->hangUp();
    ASSERT_TRUE(
        p.errorContains("went away (unplugged, or it stopped sending); waiting for it to come back", seconds(10)))
        << p.errors();
    tree.unplug("ttyACM0");
    ASSERT_TRUE(p.errorContains("kine: " + port + " was unplugged", seconds(10))) << p.errors();

    auto after = makeSim(c.version, "SIM00001", 222);
    tree.plugUsb(c.replugAs, after->devicePath());
    ASSERT_TRUE(p.errorContains("kine: the DAQ is back on " + after->devicePath() + "; streaming on", seconds(30)))
        << p.errors();
    bool secondRows = false;
    for (const auto end = steady_clock::now() + seconds(10); !secondRows && steady_clock::now() < end;) {
        const std::vector<std::string> f = fields(p.outputLine(seconds(10)));
        secondRows = f.size() > 3 && f[3] == "222";
    }
    EXPECT_TRUE(secondRows);
    p.signal(SIGINT);
    EXPECT_EQ(p.exitStatus(seconds(10)), 0) << p.errors();

    std::stringstream out(p.output());
    std::string line;
    std::getline(out, line);
    uint64_t sample = 0;
    std::string value = "111";
    for (; std::getline(out, line); ++sample) {
        const std::vector<std::string> f = fields(line);
        ASSERT_GT(f.size(), 3u) << line;
        ASSERT_EQ(f[2], std::to_string(sample)) << line;
        if (f[3] != value) {
            ASSERT_EQ(value, "111") << line;  // one change only, from the first DAQ to the second
            ASSERT_EQ(f[3], "222") << line;
            value = f[3];
        }
    }
    EXPECT_EQ(value, "222");
}

INSTANTIATE_TEST_SUITE_P(Kine, KineReconnect, testing::Values(ReconnectCase{3, "ttyACM0"}, ReconnectCase{7, "ttyACM1"}),
                         [](const testing::TestParamInfo<ReconnectCase>& i) {
                             return "Version" + std::to_string(i.param.version) + "BackAs" + i.param.replugAs;
                         });

}  // namespace

#endif
