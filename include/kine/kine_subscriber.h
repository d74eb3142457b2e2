// SPDX-License-Identifier: MIT
// A subscriber to `kine publish`: receives the DAQ streams of a publisher
// over ZeroMQ, decodes them (kine_wire.h) and tells what was lost.
//
// Part of libkine_zmq, which is built when ZeroMQ is found; libkine itself
// does not depend on ZeroMQ. Samples of a DAQ are delivered only after its
// metadata; gaps in the sample numbers are reported with the batch that
// follows them; a publisher that restarts shows up as new metadata with
// `restarted` set. Malformed messages never end the subscription: they come
// back as events of kind `rejected` with the reason.
//
// Threads: one Subscriber is used from one thread at a time.
#ifndef KINE_KINE_SUBSCRIBER_H
#define KINE_KINE_SUBSCRIBER_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "kine_export.h"
#include "kine_wire.h"

namespace kine_zmq {

struct SubscriberOptions {
    int receiveHwm = 0;     // messages ZeroMQ queues before it drops; 0: its default (1000)
    int receiveBuffer = 0;  // kernel receive buffer in bytes; 0: the system's default
};

struct Event {
    enum class Kind { metadata, samples, rejected };
    Kind kind = Kind::metadata;
    std::string topic;
    kine_wire::Metadata metadata;  // the DAQ's newest metadata (kinds metadata and samples)
    kine_wire::Data data;          // kind samples: the batch
    uint64_t missed = 0;           // kind samples: samples lost just before this batch
    bool restarted = false;        // kind metadata: a new publisher session (sample numbers start again)
    std::string error;             // kind rejected: what is wrong with the message
};

class KINE_API Subscriber {
public:
    // Connects to `url` (e.g. tcp://host:5556) and subscribes to `topic`, or
    // to every DAQ when it is empty. Throws std::runtime_error when the URL
    // is not one ZeroMQ can connect to. The connection itself is made (and
    // remade after a publisher restart) in the background.
    explicit Subscriber(const std::string& url, const std::string& topic = std::string(),
                        SubscriberOptions options = SubscriberOptions());
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Waits up to `timeout` for the next event; false when none came or a
    // signal interrupted the wait. Periodic repeats of unchanged metadata
    // are absorbed. Throws std::runtime_error only when ZeroMQ itself fails.
    bool next(Event& event, std::chrono::milliseconds timeout);

    uint64_t missed() const;       // samples lost in gaps so far, all DAQs
    uint64_t rejected() const;     // malformed messages so far
    uint64_t unannounced() const;  // samples skipped because their metadata had not come yet

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace kine_zmq

#endif  // KINE_KINE_SUBSCRIBER_H
