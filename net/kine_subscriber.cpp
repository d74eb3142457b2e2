// SPDX-License-Identifier: MIT
#include "kine/kine_subscriber.h"

#include <cerrno>
#include <map>
#include <stdexcept>
#include <zmq.hpp>

namespace kine_zmq {

namespace {

// What the subscriber knows of one DAQ (one topic).
struct TopicState {
    kine_wire::Metadata metadata;
    uint64_t expected = 0;  // number of the next sample
};

}  // namespace

struct Subscriber::Impl {
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::sub};
    std::string topic;
    std::map<std::string, TopicState> topics;
    uint64_t missed = 0, rejected = 0, unannounced = 0;

    // Turns one received message into an event; false when it needs none
    // (a repeat of known metadata, samples whose metadata has not come).
    bool interpret(const std::string& name, const zmq::message_t& body, Event& e) {
        e = Event();
        e.topic = name;
        kine_wire::Decoded m = kine_wire::decode(body.data(), body.size());
        if (m.ok() && m.kind == kine_wire::Kind::metadata && m.metadata.topic != name)
            m.error = "metadata for \"" + m.metadata.topic + "\" arrived under another topic";
        if (!m.ok()) return reject(e, m.error);

        auto known = topics.find(name);
        if (m.kind == kine_wire::Kind::metadata) {
            const kine_wire::Metadata& meta = m.metadata;
            if (known != topics.end() && known->second.metadata.session == meta.session &&
                known->second.metadata.width == meta.width && known->second.metadata.config == meta.config) {
                known->second.metadata.overflows = meta.overflows;
                return false;
            }
            e.kind = Event::Kind::metadata;
            e.restarted = known != topics.end() && known->second.metadata.session != meta.session;
            TopicState& t = topics[name];
            // A DAQ reopened with another layout within a session keeps its count.
            if (known == topics.end() || e.restarted) t.expected = meta.nextSample;
            t.metadata = meta;
            e.metadata = meta;
            return true;
        }

        kine_wire::Data& data = m.data;
        if (known == topics.end() || known->second.metadata.session != data.session) {
            unannounced += data.count;
            return false;
        }
        TopicState& t = known->second;
        if (data.width != t.metadata.width)
            return reject(e, "data message has " + std::to_string(data.width) + " values per sample; its metadata " +
                                 std::to_string(t.metadata.width));
        if (data.firstSample < t.expected)
            return reject(e, "sample numbers went back from " + std::to_string(t.expected) + " to " +
                                 std::to_string(data.firstSample));
        e.kind = Event::Kind::samples;
        e.missed = data.firstSample - t.expected;
        missed += e.missed;
        t.expected = data.firstSample + data.count;
        t.metadata.overflows = data.overflows;
        e.metadata = t.metadata;
        e.data = std::move(data);
        return true;
    }

    bool next(Event& event, std::chrono::milliseconds timeout);

    bool reject(Event& e, const std::string& why) {
        ++rejected;
        e.kind = Event::Kind::rejected;
        e.error = why;
        return true;
    }
};

Subscriber::Subscriber(const std::string& url, const std::string& topic, SubscriberOptions options)
    : d(std::make_unique<Impl>()) {
    d->topic = topic;
    try {
        if (options.receiveHwm > 0) d->socket.set(zmq::sockopt::rcvhwm, options.receiveHwm);
        if (options.receiveBuffer > 0) d->socket.set(zmq::sockopt::rcvbuf, options.receiveBuffer);
        d->socket.set(zmq::sockopt::linger, 0);
        d->socket.set(zmq::sockopt::subscribe, topic);
        d->socket.connect(url);
    } catch (const zmq::error_t& e) {
        throw std::runtime_error("cannot subscribe to " + url + ": " + e.what());
    }
}

Subscriber::~Subscriber() = default;

bool Subscriber::next(Event& event, std::chrono::milliseconds timeout) {
    try {
        return d->next(event, timeout);
    } catch (const zmq::error_t& e) {
        // A signal (Ctrl-C) interrupts the wait: the caller decides what it means.
        if (e.num() == EINTR) return false;
        throw std::runtime_error(std::string("cannot receive: ") + e.what());
    }
}

bool Subscriber::Impl::next(Event& event, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
        if (zmq::poll(&item, 1, left.count() > 0 ? left : std::chrono::milliseconds(0)) == 0) return false;
        zmq::message_t name, body;
        if (!socket.recv(name, zmq::recv_flags::dontwait)) continue;
        bool wellFramed = name.more();
        if (wellFramed) {
            (void)socket.recv(body, zmq::recv_flags::none);
            // Frames beyond the second are read and discarded.
            for (bool more = body.more(); more;) {
                zmq::message_t extra;
                (void)socket.recv(extra, zmq::recv_flags::none);
                more = extra.more();
                wellFramed = false;
            }
        }
        const std::string topicName = name.to_string();
        // Subscriptions match prefixes; a subscriber to one DAQ takes only that DAQ.
        if (!topic.empty() && topicName != topic) continue;
        if (!wellFramed) {
            event = Event();
            event.topic = topicName;
            return reject(event, "message is not a topic and one body");
        }
        if (interpret(topicName, body, event)) return true;
    }
}

uint64_t Subscriber::missed() const { return d->missed; }
uint64_t Subscriber::rejected() const { return d->rejected; }
uint64_t Subscriber::unannounced() const { return d->unannounced; }

}  // namespace kine_zmq
