// SPDX-License-Identifier: MIT
#include "publish.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "daq_session.h"
#include "option_checks.h"
#include "port_list.h"
#include "publisher.h"
#include "stream_output.h"
#include "text_escape.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

// Applies --speed; false (message printed) when the DAQ does not take it.
bool applySpeed(KineDAQ& daq, int speed, const std::string& path) {
    if (!speed) return true;
    SensorConfig c = daq.getConfig();
    c.setSpeed(speed);
    daq.sendConfig(c);
    if (daq.getConfig().getSpeed() == speed) return true;
    std::fprintf(stderr, "%s: the DAQ on %s did not take --speed %d; it runs at %d Hz\n", kProgram, path.c_str(), speed,
                 daq.getConfig().getSpeed());
    return false;
}

// Hands an open DAQ to the publisher and says so.
void publishDaq(Publisher& pub, std::unique_ptr<KineDAQ> daq, const Publisher::Identity& id, int speed) {
    applySpeed(*daq, speed, id.path);
    StreamLayout layout;
    std::string error;
    StreamLayout::of(*daq, id.path, false, layout, error);
    std::printf("publishing %s as topic %s: %s\n", id.path.c_str(), shownText(id.topic).c_str(),
                layout.description.c_str());
    std::fflush(stdout);
    pub.add(std::move(daq), id);
}

Publisher::Identity identityOf(const KPort& known, const std::string& path, const std::string& deviceVersion) {
    Publisher::Identity id;
    id.serial = known.deviceSerial;
    id.path = known.portName[0] ? std::string(known.portName) : path;
    id.topic = id.serial.empty() ? id.path : id.serial;
    id.deviceVersion = deviceVersion.empty() ? std::string(known.deviceVersion) : deviceVersion;
    return id;
}

// An open of a DAQ announced by discovery, on a thread of its own so that
// the other DAQs are read meanwhile.
struct Opening {
    KPort port;
    std::unique_ptr<KineDAQ> daq = std::make_unique<KineDAQ>();
    std::string node, version;
    OpenAttempt result;
    std::atomic<bool> done{false};
    std::thread thread;

    bool quiet;  // a retry: a failure is not news

    Opening(const KPort& p, const std::string& given, bool retry)
        : port(p), node(deviceNode(p.portName)), quiet(retry) {
        const std::string announced = p.deviceVersion;
        version = !given.empty() || announced.empty() || announced == "unknown" ? given : announced;
        thread = std::thread([this] {
            result = attemptOpen(*daq, node, version, std::chrono::seconds(5));
            done = true;
        });
    }
    ~Opening() {
        if (thread.joinable()) thread.join();
    }
};

// Every DAQ discovery reports, now and later; a DAQ that went away is
// published again under its topic when it comes back: when discovery
// announces it, or, since one that only stopped sending keeps its device
// node, when it answers at its port again (tried every few seconds).
class AllDaqs {
public:
    AllDaqs(Publisher& pub, const PublishArgs& args) : pub_(pub), args_(args) {
        KPort* list = ports_.listPorts();
        for (int i = 0; i < std::min(ports_.getLastSize(), 100); ++i) start(list[i]);
    }

    void step() {
        while (ports_.isLostPort()) {
            const KPort p = ports_.getLostPort();
            std::printf("%s was unplugged\n", shownText(p.portName).c_str());
            std::fflush(stdout);
            retry_.erase(p.portName);  // discovery announces it when it is back
        }
        while (ports_.isNewPort()) start(ports_.getNewPort());
        for (auto& [name, due] : retry_)
            if (Clock::now() >= due.second) {
                due.second = Clock::now() + std::chrono::seconds(3);
                start(due.first, true);
            }
        for (auto it = opening_.begin(); it != opening_.end();) {
            Opening& o = **it;
            if (!o.done) {
                ++it;
                continue;
            }
            o.thread.join();
            if (o.result.opened) {
                const std::string version = o.version.empty() ? KPort::readField(o.port.deviceVersion) : o.version;
                const Publisher::Identity id = identityOf(o.port, o.node, version);
                open_[o.port.portName] = id.topic;
                retry_.erase(o.port.portName);
                publishDaq(pub_, std::move(o.daq), id, args_.speed);
            } else if (!o.result.interrupted && !o.quiet) {
                const std::string version = o.version.empty() ? KPort::readField(o.port.deviceVersion) : o.version;
                std::fprintf(stderr, "%s: %s\n", kProgram,
                             openFailureMessage(o.result.reason, o.node, o.result.err, version).c_str());
            }
            it = opening_.erase(it);
        }
        for (const Publisher::Identity& id : pub_.pump()) {
            std::fprintf(stderr, "%s: the DAQ on %s (topic %s) went away; waiting for it to come back\n", kProgram,
                         id.path.c_str(), shownText(id.topic).c_str());
            for (auto it = open_.begin(); it != open_.end();) {
                if (it->second != id.topic) {
                    ++it;
                    continue;
                }
                retry_[it->first] = {known_[it->first], Clock::now() + std::chrono::seconds(3)};
                it = open_.erase(it);
            }
        }
    }

private:
    void start(const KPort& p, bool retry = false) {
        const std::string name = p.portName;
        if (name.empty() || open_.count(name)) return;
        for (const auto& o : opening_)
            if (o->port.portName == name) return;
        if (!retry) known_[name] = p;
        opening_.push_back(std::make_unique<Opening>(p, args_.deviceVersion, retry));
    }

    Publisher& pub_;
    const PublishArgs& args_;
    KinePorts ports_;
    std::vector<std::unique_ptr<Opening>> opening_;
    std::map<std::string, std::string> open_;                           // port name -> topic
    std::map<std::string, KPort> known_;                                // port name -> discovery's record
    std::map<std::string, std::pair<KPort, Clock::time_point>> retry_;  // gone DAQs: record, next try
};

void printTotals(const Publisher& pub) {
    for (const std::string& t : pub.topics())
        std::printf("%s: %" PRIu64 " samples published; a subscriber's queue overflowed %" PRIu64 " times\n",
                    shownText(t).c_str(), pub.published(t), pub.overflows(t));
}

}  // namespace

CLI::App* addPublishCommand(CLI::App& app, PublishArgs& a) {
    CLI::App* cmd = app.add_subcommand("publish", "publish the samples of DAQs over ZeroMQ, for kine subscribe");
    cmd->add_option("PORT", a.ports, "device paths of the DAQs to publish");
    cmd->add_flag("--all", a.all,
                  "publish every DAQ discovery finds, now and later; a DAQ that went away is published again "
                  "under the same topic when it comes back")
        ->excludes(cmd->get_option("PORT"));
    cmd->add_option("--bind", a.bind,
                    "ZeroMQ address to listen on (default tcp://127.0.0.1:5556; tcp://*:5556 for every "
                    "network interface)");
    cmd->add_option("--device-version", a.deviceVersion,
                    "device version text for DAQs discovery does not know, e.g. \"34 v0.9\"");
    cmd->add_option("--speed", a.speed, "set the sampling speed of every DAQ, in Hz")
        ->check(wholeNumber({1000, 333, 100, 30}));
    cmd->add_option("--hwm", a.hwm,
                    "messages queued for each subscriber before its samples are dropped (default 20000)")
        ->check(wholeNumber());
    cmd->add_option("--duration", a.duration, "seconds to publish (default: until Ctrl-C)")->check(realNumber(true));
    cmd->footer(
        "Each DAQ is a topic: its serial, or its port when it has none. See docs/wire-format.md for the messages.");
    return cmd;
}

int runPublish(const PublishArgs& a) {
    if (a.ports.empty() && !a.all) {
        std::fprintf(stderr, "%s publish: name the DAQs' ports, or give --all\n", kProgram);
        return 2;
    }
    Publisher::Options o;
    o.bind = a.bind;
    o.sendHwm = a.hwm;
    std::unique_ptr<Publisher> pub;
    try {
        pub = std::make_unique<Publisher>(o);
    } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return kExitFailed;
    }
    std::printf("listening on %s\n", pub->endpoint().c_str());
    std::fflush(stdout);

    std::unique_ptr<AllDaqs> all;
    if (a.all) {
        all = std::make_unique<AllDaqs>(*pub, a);
    } else {
        for (const std::string& port : a.ports) {
            auto daq = std::make_unique<KineDAQ>();
            std::string path;
            KPort known;
            if (const int status = openDaq(*daq, DeviceRequest{port, a.deviceVersion}, path, &known)) return status;
            const Publisher::Identity id = identityOf(known, path, a.deviceVersion);
            publishDaq(*pub, std::move(daq), id, a.speed);
        }
    }

    const Clock::time_point start = Clock::now();
    int exit = kExitOk;
    while (!interrupted() && (a.duration <= 0 || Clock::now() - start < std::chrono::duration<double>(a.duration))) {
        if (all) {
            all->step();
        } else {
            for (const Publisher::Identity& id : pub->pump())
                std::fprintf(stderr, "%s: the DAQ on %s went away (unplugged, or it stopped sending)\n", kProgram,
                             id.path.c_str());
            if (pub->active() == 0) {
                exit = kExitFailed;
                break;
            }
        }
        waitForSamples();
    }
    printTotals(*pub);
    return exit;
}

}  // namespace kine_tools
