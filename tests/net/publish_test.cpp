// SPDX-License-Identifier: MIT
// The publisher and libkine_zmq's subscriber on loopback, in one process:
// simulated DAQs of both families, several subscribers, a late joiner and a
// subscriber that stalls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>
#include <zmq.hpp>

#include "kine/kine_subscriber.h"
#include "kine_sim/simulated_daq.h"
#include "publisher.h"
#include "support/sim_daq.h"

namespace {

using kine_sim::Channel;
using kine_sim::SimulatedDaq;
using kine_tools::Publisher;
using kine_zmq::Event;
using kine_zmq::Subscriber;
using namespace std::chrono;

// A compensated simulated DAQ (values as fed) of the given version.
std::unique_ptr<SimulatedDaq> makeSim(int version, const std::string& serial) {
    SimulatedDaq::Options o;
    o.version = version;
    o.serial = serial;
    o.compensated = true;
    return std::make_unique<SimulatedDaq>(o);
}

// The publisher with its DAQs, pumped on a thread of its own until destroyed.
class Publishing {
public:
    explicit Publishing(Publisher::Options o) : pub(o) {}
    ~Publishing() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void add(SimulatedDaq& sim, const std::string& topic) {
        auto daq = std::make_unique<KineDAQ>();
        ASSERT_TRUE(daq->open(kine_test::portFor(sim)));
        Publisher::Identity id;
        id.topic = topic;
        id.path = sim.devicePath();
        id.deviceVersion = sim.deviceVersionText();
        pub.add(std::move(daq), id);
    }
    void start() {
        thread_ = std::thread([this] {
            while (!stop_) {
                pub.pump();
                kine_tools::waitForSamples();
            }
        });
    }
    Publisher pub;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What one subscriber received, per topic.
struct Received {
    std::map<std::string, std::vector<int32_t>> firstValues;  // first value of each sample
    std::map<std::string, uint64_t> next;                     // number of the next sample
    std::map<std::string, bool> announced;                    // metadata came before samples
    uint64_t missed = 0, outOfOrder = 0, overflows = 0;

    void take(const Event& e) {
        if (e.kind == Event::Kind::metadata) announced[e.topic] = true;
        if (e.kind != Event::Kind::samples) return;
        EXPECT_TRUE(announced[e.topic]) << "samples of " << e.topic << " before its metadata";
        if (next.count(e.topic) && e.data.firstSample != next[e.topic] + e.missed) ++outOfOrder;
        next[e.topic] = e.data.firstSample + e.data.count;
        missed += e.missed;
        overflows = std::max(overflows, e.data.overflows);
        for (uint32_t i = 0; i < e.data.count; ++i) firstValues[e.topic].push_back(e.data.values[i * e.data.width]);
    }
};

// Receives until `done` says so or the deadline passes.
template <class Done>
void receive(Subscriber& s, Received& r, Done done, milliseconds limit = seconds(20)) {
    Event e;
    for (const auto end = steady_clock::now() + limit; !done() && steady_clock::now() < end;)
        if (s.next(e, milliseconds(20))) r.take(e);
}

// Whether `values` holds from..to-1 in order, without a gap.
bool holdsRun(const std::vector<int32_t>& values, int32_t from, int32_t to) {
    auto it = std::find(values.begin(), values.end(), from);
    for (int32_t v = from; v < to; ++v, ++it)
        if (it == values.end() || *it != v) return false;
    return true;
}

Publisher::Options loopback() {
    Publisher::Options o;
    o.bind = "tcp://127.0.0.1:*";
    return o;
}

// Both families (a version-3 unit and a six-axis version-8 unit), three
// subscribers: each receives every fed value, in order, numbered without gaps.
TEST(Publish, ThreeSubscribersReceiveEverySampleOfBothFamilies) {
    auto v3 = makeSim(3, "SIM00001");
    auto v8 = makeSim(8, "C3D4");
    Publishing p(loopback());
    p.add(*v3, "v3");
    p.add(*v8, "C3D4");
    p.start();
    std::vector<std::unique_ptr<Subscriber>> subs;
    std::vector<Received> got(3);
    for (int i = 0; i < 3; ++i) subs.push_back(std::make_unique<Subscriber>(p.pub.endpoint()));
    for (int i = 0; i < 3; ++i) receive(*subs[i], got[i], [&] { return got[i].next.size() == 2; });

    // 200 values: two seconds of the version-8 unit, which runs at 100 Hz once opened.
    std::vector<int32_t> fed(200);
    for (int32_t i = 0; i < 200; ++i) fed[i] = 1000 + i;
    v3->feed(Channel::x, fed);
    v8->feed(Channel::Fx, fed);
    for (int i = 0; i < 3; ++i) {
        receive(*subs[i], got[i], [&] {
            return holdsRun(got[i].firstValues["v3"], 1000, 1200) && holdsRun(got[i].firstValues["C3D4"], 1000, 1200);
        });
        EXPECT_TRUE(holdsRun(got[i].firstValues["v3"], 1000, 1200)) << "subscriber " << i;
        EXPECT_TRUE(holdsRun(got[i].firstValues["C3D4"], 1000, 1200)) << "subscriber " << i;
        EXPECT_EQ(got[i].missed, 0u);
        EXPECT_EQ(got[i].outOfOrder, 0u);
        EXPECT_EQ(subs[i]->rejected(), 0u);
    }
    EXPECT_EQ(p.pub.overflows("v3") + p.pub.overflows("C3D4"), 0u);
}

// Metadata is repeated only once a minute here: a subscriber that joins
// while samples flow still has it first, because the subscription brings it.
TEST(Publish, LateSubscriberGetsMetadataBeforeSamples) {
    auto v7 = makeSim(7, "A1B2");
    Publisher::Options o = loopback();
    o.metadataInterval = minutes(1);
    Publishing p(o);
    p.add(*v7, "A1B2");
    p.start();
    std::this_thread::sleep_for(milliseconds(300));  // samples are being published to nobody
    Subscriber late(p.pub.endpoint(), "A1B2");
    Event e;
    ASSERT_TRUE(late.next(e, seconds(10)));
    EXPECT_EQ(e.kind, Event::Kind::metadata);
    EXPECT_EQ(e.metadata.protocolVersion, 7);
    EXPECT_EQ(e.metadata.sensors, 4);
    EXPECT_EQ(e.metadata.deviceVersion, "34 v0.9");
    ASSERT_TRUE(late.next(e, seconds(10)));
    EXPECT_EQ(e.kind, Event::Kind::samples);
    EXPECT_EQ(e.data.width, 16);
}

// A subscriber that stops reading fills its queues: it sees a gap and the
// publisher's count of its overflows; a subscriber that keeps up loses none.
TEST(Publish, StalledSubscriberLosesVisiblyWhileOthersLoseNone) {
    auto v3 = makeSim(3, "SIM00001");
    Publisher::Options o = loopback();
    o.sendHwm = 20;
    o.sendBuffer = 4096;
    Publishing p(o);
    p.add(*v3, "v3");
    kine_zmq::SubscriberOptions small;
    small.receiveHwm = 20;
    small.receiveBuffer = 4096;
    Subscriber stalled(p.pub.endpoint(), "", small), keeping(p.pub.endpoint());
    p.start();
    Received s, k;
    receive(stalled, s, [&] { return s.next.size() == 1; });
    receive(keeping, k, [&] { return p.pub.overflows("v3") > 0; });
    ASSERT_GT(p.pub.overflows("v3"), 0u) << "the stalled subscriber's queues never filled";
    receive(
        keeping, k, [] { return false; }, milliseconds(300));
    receive(stalled, s, [&] { return s.missed > 0 && s.overflows > 0; });
    EXPECT_GT(s.missed, 0u);
    EXPECT_GT(s.overflows, 0u);  // the publisher's count, as the data messages carry it
    EXPECT_EQ(k.missed, 0u);
    EXPECT_EQ(k.outOfOrder, 0u);
    EXPECT_EQ(keeping.missed(), 0u);
}

// A publisher that is not kine's: messages of the wrong shape, bad bodies,
// metadata under another topic and sample numbers going back are rejected
// with their reason, and the good messages around them still arrive.
TEST(Subscribe, RejectsMalformedMessagesAndGoesOn) {
    zmq::context_t context;
    zmq::socket_t pub(context, zmq::socket_type::pub);
    pub.bind("tcp://127.0.0.1:*");
    Subscriber sub(pub.get(zmq::sockopt::last_endpoint));
    kine_wire::Metadata m;
    m.session = 1;
    m.protocolVersion = 3;
    m.topic = "T";
    kine_wire::Data d;
    d.session = 1;
    d.count = 1;
    d.width = 4;
    d.values = {1, 2, 3, 4};
    auto send = [&](std::vector<std::vector<uint8_t>> frames) {
        for (size_t i = 0; i < frames.size(); ++i)
            pub.send(zmq::buffer(frames[i]), i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none);
    };
    const std::vector<uint8_t> topic = {'T'};
    // Until the subscription has reached the publisher, metadata is what is sent.
    Event e;
    do send({topic, kine_wire::encodeMetadata(m)});
    while (!sub.next(e, milliseconds(20)));
    ASSERT_EQ(e.kind, Event::Kind::metadata);

    std::vector<uint8_t> wrongVersion = kine_wire::encodeData(d);
    wrongVersion[4] = 9;
    kine_wire::Metadata other = m;
    other.topic = "U";
    kine_wire::Data back = d;
    back.firstSample = 0;
    d.firstSample = 5;
    send({topic});
    send({topic, kine_wire::encodeData(d), kine_wire::encodeData(d)});
    send({topic, {'K', 'I'}});
    send({topic, wrongVersion});
    send({topic, kine_wire::encodeMetadata(other)});
    send({topic, kine_wire::encodeData(d)});
    send({topic, kine_wire::encodeData(back)});
    const char* reasons[] = {"not a topic and one body", "not a topic and one body", "shorter than the 8-byte header",
                             "wire format version 9", "arrived under another topic"};
    for (const char* reason : reasons) {
        ASSERT_TRUE(sub.next(e, seconds(5)));
        EXPECT_EQ(e.kind, Event::Kind::rejected);
        EXPECT_NE(e.error.find(reason), std::string::npos) << e.error;
    }
    ASSERT_TRUE(sub.next(e, seconds(5)));
    EXPECT_EQ(e.kind, Event::Kind::samples);
    EXPECT_EQ(e.missed, 5u);
    EXPECT_EQ(e.data.values, d.values);
    ASSERT_TRUE(sub.next(e, seconds(5)));
    EXPECT_NE(e.error.find("sample numbers went back from 6 to 0"), std::string::npos) << e.error;
    EXPECT_EQ(sub.rejected(), 6u);
}

}  // namespace
