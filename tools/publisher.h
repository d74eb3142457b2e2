// SPDX-License-Identifier: MIT
// Publishing the samples of open DAQs on one ZeroMQ socket, in the wire
// format of kine_wire.h. Used by `kine publish`, and by the tests and the
// benchmark in-process.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kine/KineDAQ.h"

namespace kine_tools {

class Publisher {
public:
    struct Options {
        std::string bind = "tcp://127.0.0.1:5556";
        int sendHwm = 20000;  // messages queued per subscriber before it loses samples
        int sendBuffer = 0;   // kernel send buffer in bytes; 0: the system's default
        std::chrono::milliseconds metadataInterval{1000};
    };
    // What the publisher knows of a DAQ beyond what the connection tells.
    struct Identity {
        std::string topic;          // its serial, or its port when it has none
        std::string path;           // device node
        std::string deviceVersion;  // device version text
        std::string serial;
    };

    // Binds the socket; throws std::runtime_error("cannot listen on ...: why").
    explicit Publisher(const Options& options);
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // The address it listens on, with the port chosen when the bind asked for any ("*").
    const std::string& endpoint() const;

    // Publishes the samples of an open DAQ. A topic seen before goes on
    // with its sample numbers, so subscribers see a DAQ that came back as
    // the same stream.
    void add(std::unique_ptr<KineDAQ> daq, const Identity& id);
    // Takes the subscriptions that arrived, reads every DAQ once, sends what
    // it read and the metadata that is due. Returns the DAQs that went away
    // since the last pass (closed and no longer published).
    std::vector<Identity> pump();

    size_t active() const;
    std::vector<std::string> topics() const;             // every topic published so far
    uint64_t published(const std::string& topic) const;  // samples sent
    // Messages sent while some subscriber's queue was full: each starts a
    // loss for that subscriber, whose gaps tell how many samples it lost.
    uint64_t overflows(const std::string& topic) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Waits for the next read of the DAQs: long enough for a few frames to
// arrive, short enough to keep the latency low.
void waitForSamples();

}  // namespace kine_tools
