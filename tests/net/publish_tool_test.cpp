// SPDX-License-Identifier: MIT
// kine publish --all and kine subscribe as programs, with simulated DAQs in
// a fake /dev and sysfs tree: a DAQ unplugged and plugged in again, and a
// publisher that restarts under a running subscriber.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kine/kine_subscriber.h"
#include "kine_sim/simulated_daq.h"
#include "support/child_process.h"
#include "support/fake_port_tree.h"

#if defined(KINE_FAKE_TREE_TOOL) && defined(KINE_TOOL)

namespace {

using kine_sim::SimulatedDaq;
using kine_test::ChildProcess;
using kine_test::FakePortTree;
using kine_zmq::Event;
using namespace std::chrono;

std::unique_ptr<SimulatedDaq> makeSim(int version, const std::string& serial, int32_t x) {
    SimulatedDaq::Options o;
    o.version = version;
    o.serial = serial;
    o.compensated = true;
    auto sim = std::make_unique<SimulatedDaq>(o);
    kine_sim::SensorValues v;
    v.x = x;
    sim->setConstant(v);
    return sim;
}

// kine publish --all in the fake tree; `bind` defaults to a free port.
std::unique_ptr<ChildProcess> publishAll(const FakePortTree& tree, const std::string& bind, std::string& endpoint) {
    auto p = std::make_unique<ChildProcess>(
        KINE_FAKE_TREE_TOOL, std::vector<std::string>{tree.dev(), tree.sys(), "publish", "--all", "--bind", bind});
    const std::string line = p->outputLine(seconds(20));
    EXPECT_EQ(line.rfind("listening on tcp://127.0.0.1:", 0), 0u) << line << p->errors();
    endpoint = line.substr(line.find("tcp://"));
    return p;
}

// Receives until a batch of `topic` has `x` as first value; returns that batch.
Event samplesOf(kine_zmq::Subscriber& sub, const std::string& topic, int32_t x, std::vector<Event>* seen = nullptr) {
    Event e;
    for (const auto end = steady_clock::now() + seconds(30); steady_clock::now() < end;) {
        if (!sub.next(e, milliseconds(50))) continue;
        if (seen) seen->push_back(e);
        if (e.kind == Event::Kind::samples && e.topic == topic && e.data.values[0] == x) return e;
    }
    ADD_FAILURE() << "no samples with x " << x << " on topic " << topic;
    return e;
}

struct ReplugCase {
    int version;
    std::string replugAs;  // port name of the DAQ when it comes back
};

void PrintTo(const ReplugCase& c, std::ostream* os) { *os << "version " << c.version << " back as " << c.replugAs; }

class PublishAll : public testing::TestWithParam<ReplugCase> {};

// The DAQ hangs up and is unplugged; one with the same serial (version 7,
// at another port) or at the same port (version 3, which has no serial)
// comes back and is published on the same topic, its sample numbers going
// on where they stopped.
TEST_P(PublishAll, DaqPluggedInAgainResumesOnTheSameTopic) {
    const ReplugCase& c = GetParam();
    FakePortTree tree;
    auto before = makeSim(c.version, "A1B2", 111);
    const std::string port = tree.plugUsb("ttyACM0", before->devicePath());
    const std::string topic = c.version == 3 ? port : "A1B2";
    std::string endpoint;
    auto pub = publishAll(tree, "tcp://127.0.0.1:*", endpoint);
    kine_zmq::Subscriber sub(endpoint);
    const Event first = samplesOf(sub, topic, 111);

    before->hangUp();
    ASSERT_TRUE(pub->errorContains("went away; waiting for it to come back", seconds(10))) << pub->errors();
    tree.unplug("ttyACM0");
    ASSERT_TRUE(pub->outputLine(seconds(10)).find("publishing") == 0);  // the first DAQ's line
    EXPECT_EQ(pub->outputLine(seconds(10)), port + " was unplugged");
    auto after = makeSim(c.version, "A1B2", 222);
    tree.plugUsb(c.replugAs, after->devicePath());
    std::vector<Event> seen;
    const Event resumed = samplesOf(sub, topic, 222, &seen);
    EXPECT_GT(resumed.data.firstSample, first.data.firstSample);
    for (const Event& e : seen) {
        EXPECT_FALSE(e.restarted);
        EXPECT_EQ(e.missed, 0u) << "a gap at sample " << e.data.firstSample;
        EXPECT_NE(e.kind, Event::Kind::rejected) << e.error;
    }
    pub->signal(SIGINT);
    EXPECT_EQ(pub->exitStatus(seconds(10)), 0) << pub->errors();
}

INSTANTIATE_TEST_SUITE_P(Kine, PublishAll, testing::Values(ReplugCase{3, "ttyACM0"}, ReplugCase{7, "ttyACM1"}),
                         [](const testing::TestParamInfo<ReplugCase>& i) {
                             return "Version" + std::to_string(i.param.version) + "BackAs" + i.param.replugAs;
                         });

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string part; std::getline(s, part, ',');) f.push_back(part);
    return f;
}

// kine subscribe writes both DAQs into one CSV (a version-3 unit by its port,
// a version-7 unit by its serial); the publisher stops and starts again on
// the same address, and the rows go on.
TEST(KineSubscribe, CsvOfTwoDaqsSurvivesAPublisherRestart) {
    FakePortTree tree;
    auto v3 = makeSim(3, "X", 111);
    auto v7 = makeSim(7, "A1B2", 222);
    const std::string port = tree.plugUsb("ttyACM0", v3->devicePath());
    tree.plugUsb("ttyUSB1", v7->devicePath(), "10c4", "ea60");
    std::string endpoint;
    auto pub = publishAll(tree, "tcp://127.0.0.1:*", endpoint);
    ChildProcess sub(KINE_TOOL, {"subscribe", endpoint, "--csv", "-"});
    const std::string header = sub.outputLine(seconds(20));
    EXPECT_EQ(header,
              "daq,host_monotonic_s,host_time,sample,x,y,z,aux,s0_x,s0_y,s0_z,s0_aux,s1_x,s1_y,s1_z,s1_aux,"
              "s2_x,s2_y,s2_z,s2_aux,s3_x,s3_y,s3_z,s3_aux")
        << sub.errors();

    // Rows of each DAQ: the right cells filled, numbered without a gap.
    std::map<std::string, long long> next;
    std::map<std::string, int> rows;
    auto readRows = [&](int each) {
        for (const auto end = steady_clock::now() + seconds(20);
             (rows[port] < each || rows["A1B2"] < each) && steady_clock::now() < end;) {
            const std::string line = sub.outputLine(seconds(5));
            const std::vector<std::string> f = fields(line);
            if (f.size() < 5) continue;
            const long long n = std::stoll(f[3]);
            if (next.count(f[0]) && n != 0) {
                EXPECT_EQ(n, next[f[0]]) << line;  // else 0: the new publisher's first
            }
            next[f[0]] = n + 1;
            ++rows[f[0]];
            EXPECT_EQ(f.at(f[0] == port ? 4 : 8), f[0] == port ? "111" : "222") << line;
        }
    };
    readRows(50);
    pub->signal(SIGINT);
    ASSERT_EQ(pub->exitStatus(seconds(10)), 0) << pub->errors();
    rows.clear();
    pub = publishAll(tree, endpoint, endpoint);
    ASSERT_TRUE(sub.errorContains("the publisher restarted; sample numbers start again", seconds(20))) << sub.errors();
    readRows(50);
    EXPECT_GE(rows[port], 50);
    EXPECT_GE(rows["A1B2"], 50);
    sub.signal(SIGINT);
    EXPECT_EQ(sub.exitStatus(seconds(10)), 0);
    EXPECT_EQ(sub.errors().find("lost"), std::string::npos) << sub.errors();
    pub->signal(SIGINT);
    EXPECT_EQ(pub->exitStatus(seconds(10)), 0);
}

}  // namespace

#endif
