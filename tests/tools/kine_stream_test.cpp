// SPDX-License-Identifier: MIT
// kine stream accounts for every sample: a slow reader of its output, a
// signal, a closed pipe and a DAQ that pauses, against simulated DAQs whose
// values carry their frame number.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kine_sim/simulated_daq.h"
#include "support/child_process.h"
#include "support/fake_port_tree.h"

#if defined(KINE_TOOL) && defined(KINE_FAKE_TREE_TOOL)

namespace {

using kine_sim::Channel;
using kine_sim::Signal;
using kine_sim::SimulatedDaq;
using kine_test::ChildProcess;
using namespace std::chrono;

// A DAQ whose x carries the number of each data frame it sends.
std::unique_ptr<SimulatedDaq> countingSim(int version, const std::string& serial = "SIM00001") {
    SimulatedDaq::Options o;
    o.version = version;
    o.serial = serial;
    o.compensated = true;
    auto sim = std::make_unique<SimulatedDaq>(o);
    sim->setSignal(Channel::x, Signal::frameCounter());
    return sim;
}

struct Row {
    double time;     // the sample's own time
    double arrival;  // when the tool read it
    uint64_t sample;
    uint16_t counter;  // the frame number the DAQ sent, in 16 bits
};

// The rows of a CSV whose fourth column is x; fails on any malformed row.
std::vector<Row> rowsOf(const std::string& csv) {
    std::vector<Row> rows;
    std::stringstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line.rfind("host_monotonic_s,host_time,sample,x,", 0), 0u) << line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string part; std::getline(fields, part, ',');) f.push_back(part);
        EXPECT_GE(f.size(), 4u) << line;
        if (f.size() < 4) break;
        rows.push_back(
            {std::stod(f[0]), std::stod(f.back()), std::stoull(f[2]), static_cast<uint16_t>(std::stol(f[3]))});
    }
    EXPECT_TRUE(csv.empty() || csv.back() == '\n') << "the output ends inside a row";
    return rows;
}

// The totals of the "lost N samples" lines on standard error.
uint64_t lossLinesTotal(const std::string& err) {
    uint64_t total = 0;
    const std::regex line(R"(kine: lost (\d+) samples, numbers (\d+) to (\d+): )");
    for (std::sregex_iterator i(err.begin(), err.end(), line), end; i != end; ++i) {
        const uint64_t n = std::stoull((*i)[1]);
        EXPECT_EQ(std::stoull((*i)[3]) - std::stoull((*i)[2]) + 1, n) << i->str();
        total += n;
    }
    return total;
}

// A reader that stalls for 6 s loses nothing: the reading never waits for
// the output, and every frame the DAQ sent is a row, numbered in order.
TEST(KineStream, ASlowReaderLosesNothing) {
    auto sim = countingSim(3);
    ChildProcess p(KINE_TOOL, {"stream", sim->devicePath(), "--duration", "7", "--csv", "-"});
    std::this_thread::sleep_for(seconds(6));  // the stall: the pipe is not read
    ASSERT_EQ(p.exitStatus(seconds(60)), 0) << p.errors();
    const std::vector<Row> rows = rowsOf(p.output());
    ASSERT_GE(rows.size(), 3000u) << p.errors();
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].sample, i);
        if (i > 0) {
            ASSERT_EQ(static_cast<uint16_t>(rows[i].counter - rows[i - 1].counter), 1) << "after sample " << i - 1;
        }
    }
    EXPECT_NE(p.errors().find("kine: wrote " + std::to_string(rows.size()) + " samples to standard output"),
              std::string::npos)
        << p.errors();
    EXPECT_EQ(p.errors().find("lost"), std::string::npos) << p.errors();
}

class KineStreamLoss : public testing::TestWithParam<bool> {};

// With a buffer too small for the stall, samples are lost and said so in
// three places: a line on standard error per gap, sample numbers that skip
// exactly as the DAQ's frame numbers do, and the summary. The exit status
// is 3 unless --accept-loss.
TEST_P(KineStreamLoss, IsToldInThreePlaces) {
    const bool accept = GetParam();
    auto sim = countingSim(3);
    std::vector<std::string> args{"stream", sim->devicePath(), "--csv", "-", "--buffer", "0.1"};
    if (accept) args.push_back("--accept-loss");
    ChildProcess p(KINE_TOOL, args);
    // The stall: the pipe is not read while the DAQ sends 3000 frames, far
    // more than the pipe and the buffer hold, however slowly a loaded
    // machine runs the simulator. Then the rows flow again for a while.
    for (const auto end = steady_clock::now() + seconds(60); sim->framesSent() < 3000 && steady_clock::now() < end;)
        std::this_thread::sleep_for(milliseconds(20));
    for (int i = 0; i < 1500 && !p.outputLine(seconds(10)).empty(); ++i) {
    }
    p.signal(SIGINT);
    ASSERT_EQ(p.exitStatus(seconds(60)), accept ? 0 : 3) << p.errors();

    const std::vector<Row> rows = rowsOf(p.output());
    ASSERT_GE(rows.size(), 1000u);
    uint64_t skipped = rows.front().sample;
    for (size_t i = 1; i < rows.size(); ++i) {
        const uint64_t step = rows[i].sample - rows[i - 1].sample;
        ASSERT_EQ(static_cast<uint16_t>(rows[i].counter - rows[i - 1].counter), static_cast<uint16_t>(step))
            << "sample " << rows[i].sample;
        skipped += step - 1;
    }
    EXPECT_GT(skipped, 0u);
    EXPECT_EQ(lossLinesTotal(p.errors()), skipped) << p.errors();
    EXPECT_TRUE(std::regex_search(p.errors(), std::regex("kine: wrote " + std::to_string(rows.size()) +
                                                         " samples to standard output in [0-9.]+ s; lost " +
                                                         std::to_string(skipped) + " samples in \\d+ gaps?\n")))
        << p.errors();
}

INSTANTIATE_TEST_SUITE_P(Kine, KineStreamLoss, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "AcceptLoss" : "Default"; });

class KineStreamSignal : public testing::TestWithParam<int> {};

// SIGINT, SIGTERM and SIGHUP end the CSV after its last whole row, with
// the summary and status 0.
TEST_P(KineStreamSignal, EndsOnAWholeRow) {
    auto sim = countingSim(3);
    ChildProcess p(KINE_TOOL, {"stream", sim->devicePath(), "--csv", "-"});
    ASSERT_EQ(p.outputLine(seconds(10)).rfind("host_monotonic_s,", 0), 0u) << p.errors();
    ASSERT_FALSE(p.outputLine(seconds(10)).empty());
    p.signal(GetParam());
    ASSERT_EQ(p.exitStatus(seconds(10)), 0) << p.errors();
    EXPECT_GE(rowsOf(p.output()).size(), 1u);
    EXPECT_NE(p.errors().find("samples to standard output"), std::string::npos) << p.errors();
}

INSTANTIATE_TEST_SUITE_P(Kine, KineStreamSignal, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& i) {
                             return i.param == SIGINT ? "Sigint" : i.param == SIGTERM ? "Sigterm" : "Sighup";
                         });

// A reader that closes the pipe ends the stream quietly, with the status of
// a program ended by SIGPIPE.
TEST(KineStream, AClosedPipeEndsQuietly) {
    auto sim = countingSim(3);
    ChildProcess p("/bin/bash", {"-c", std::string(KINE_TOOL) + " stream " + sim->devicePath() +
                                           " --csv - | head -1 >/dev/null; exit ${PIPESTATUS[0]}"});
    EXPECT_EQ(p.exitStatus(seconds(30)), 141) << p.errors();
    EXPECT_EQ(p.errors(), "");
}

std::vector<std::string> inTree(const kine_test::FakePortTree& tree, std::vector<std::string> args) {
    args.insert(args.begin(), {tree.dev(), tree.sys()});
    return args;
}

class KineStreamPause : public testing::TestWithParam<int> {};

// A DAQ that stays plugged in but is silent for 2 s goes away for the
// stream; --reconnect finds it again at the same port, for either family
// (an 0xAA-family DAQ is known to discovery by its serial, and no new port
// is announced for it). The gap is marked
// by two event lines and a jump in the host times; the sample numbers go on.
TEST_P(KineStreamPause, ReconnectResumesAtTheSamePort) {
    kine_test::FakePortTree tree;
    auto sim = countingSim(GetParam());
    const std::string port = tree.plugUsb("ttyACM0", sim->devicePath());
    ChildProcess p(KINE_FAKE_TREE_TOOL, inTree(tree, {"stream", port, "--reconnect", "--csv", "-"}));
    ASSERT_EQ(p.outputLine(seconds(20)).rfind("host_monotonic_s,", 0), 0u) << p.errors();
    ASSERT_FALSE(p.outputLine(seconds(10)).empty());

    sim->setSilent(true);
    ASSERT_TRUE(p.errorContains("went away", seconds(10))) << p.errors();
    std::this_thread::sleep_for(seconds(2));
    sim->setSilent(false);
    ASSERT_TRUE(p.errorContains("kine: the DAQ is back on", seconds(30))) << p.errors();
    // The event line is a separate write that follows the message above.
    ASSERT_TRUE(p.errorContains(" is next\n", seconds(10))) << p.errors();
    // Rows from after the gap: the time column passes the time of the event.
    const std::regex backLine(R"(event: DAQ back at host_monotonic_s ([0-9.]+))");
    std::smatch m;
    const std::string sofar = p.errors();
    ASSERT_TRUE(std::regex_search(sofar, m, backLine)) << sofar;
    const double backTime = std::stod(m[1]);
    bool after = false;
    for (const auto end = steady_clock::now() + seconds(10); !after && steady_clock::now() < end;) {
        const std::string line = p.outputLine(seconds(10));
        after = !line.empty() && std::stod(line) >= backTime;
    }
    ASSERT_TRUE(after);
    p.signal(SIGINT);
    ASSERT_EQ(p.exitStatus(seconds(10)), 0) << p.errors();

    std::smatch gone, back;
    const std::string err = p.errors();
    ASSERT_TRUE(std::regex_search(
        err, gone, std::regex(R"(kine: event: DAQ gone at host_monotonic_s ([0-9.]+), after (\d+) samples\n)")))
        << err;
    ASSERT_TRUE(std::regex_search(
        err, back,
        std::regex(
            R"(kine: event: DAQ back at host_monotonic_s ([0-9.]+), a gap of [0-9.]+ s; sample (\d+) is next\n)")))
        << err;
    EXPECT_EQ(gone[2], back[2]);
    const std::vector<Row> rows = rowsOf(p.output());
    const uint64_t next = std::stoull(back[2]);
    ASSERT_GT(rows.size(), next);
    for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i].sample, i);
    EXPECT_GE(rows[next].time - rows[next - 1].time, 2.0);
    // A sample's own time is estimated from the DAQ's rate and may precede the
    // message a little; the tool read it after the DAQ was back.
    EXPECT_GE(rows[next].arrival, std::stod(back[1]));
}

INSTANTIATE_TEST_SUITE_P(Kine, KineStreamPause, testing::Values(3, 6),
                         [](const testing::TestParamInfo<int>& i) { return "Version" + std::to_string(i.param); });

}  // namespace

#endif
