// SPDX-License-Identifier: MIT
#include "publisher.h"

#include <time.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <stdexcept>
#include <thread>
#include <zmq.hpp>

#include "kine/kine_wire.h"
#include "sample_rows.h"

namespace kine_tools {

namespace {

int64_t clockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// A ZeroMQ call, made again when a signal (Ctrl-C) interrupted it.
template <class Call>
auto retried(Call call) -> decltype(call()) {
    for (;;) try {
            return call();
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR) throw;
        }
}

// Sample numbering and loss of one topic, kept while the publisher runs.
struct TopicCount {
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> overflows{0};
};

// One open DAQ being published, with the caller-owned arrays of its reads.
struct Source {
    std::unique_ptr<KineDAQ> daq;
    Publisher::Identity id;
    kine_wire::Metadata metadata;
    std::chrono::steady_clock::time_point metadataSent{};
    bool metadataDue = true;
    KinePackage* samples = nullptr;
    KinePackage6D* samples6D = nullptr;
    std::vector<int32_t> rows;

    ~Source() {
        delete[] samples;
        delete[] samples6D;
    }

    // Reads what arrived into `rows`: the count of samples, or a negative read code.
    int read() {
        if (metadata.sixAxis) {
            const int r = daq->readAll6D(samples6D, false);
            sixAxisRows(samples6D, r, rows);
            return r;
        }
        const int r = daq->readAll(samples, false);
        sensorRows(samples, r, std::min<int>(metadata.sensors, daq->getSensorSize()), metadata.width, rows);
        return r;
    }
};

}  // namespace

struct Publisher::Impl {
    Options options;
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::xpub};
    std::string endpoint;
    uint32_t session = 0;
    std::vector<std::unique_ptr<Source>> sources;
    std::map<std::string, TopicCount> topics;

    // Sends topic and body. The socket refuses (XPUB_NODROP) a message that a
    // subscriber's full queue would lose; it then goes out in lossy mode to
    // the subscribers with room, and false tells the caller of the overflow.
    // ZeroMQ then sets that subscriber aside until it has caught up, and the
    // messages meanwhile are lost to it without a refusal: an overflow counts
    // the start of a loss, the subscriber's gaps its size.
    bool send(const std::string& topic, const std::vector<uint8_t>& body) {
        if (trySend(topic, body)) return true;
        socket.set(zmq::sockopt::xpub_nodrop, 0);
        trySend(topic, body);
        socket.set(zmq::sockopt::xpub_nodrop, 1);
        return false;
    }

    bool trySend(const std::string& topic, const std::vector<uint8_t>& body) {
        if (!retried(
                [&] { return socket.send(zmq::buffer(topic), zmq::send_flags::sndmore | zmq::send_flags::dontwait); }))
            return false;
        // The body follows the topic whatever happens: a message is never left half sent.
        return retried([&] { return socket.send(zmq::buffer(body), zmq::send_flags::none); }).has_value();
    }

    // A new subscription gets the metadata of every DAQ it covers at once,
    // so a late subscriber need not wait for the periodic one.
    void takeSubscriptions() {
        zmq::message_t m;
        while (retried([&] { return socket.recv(m, zmq::recv_flags::dontwait); })) {
            if (m.size() < 1 || static_cast<const uint8_t*>(m.data())[0] != 1) continue;
            const std::string prefix(static_cast<const char*>(m.data()) + 1, m.size() - 1);
            for (auto& s : sources)
                if (s->id.topic.compare(0, prefix.size(), prefix) == 0) s->metadataDue = true;
        }
    }

    void sendMetadata(Source& s) {
        const TopicCount& count = topics[s.id.topic];
        s.metadata.nextSample = count.next;
        s.metadata.overflows = count.overflows;
        send(s.id.topic, kine_wire::encodeMetadata(s.metadata));
        s.metadataSent = std::chrono::steady_clock::now();
        s.metadataDue = false;
    }
};

Publisher::Publisher(const Options& options) : d(std::make_unique<Impl>()) {
    d->options = options;
    d->session = std::random_device{}();
    try {
        d->socket.set(zmq::sockopt::sndhwm, options.sendHwm);
        if (options.sendBuffer > 0) d->socket.set(zmq::sockopt::sndbuf, options.sendBuffer);
        d->socket.set(zmq::sockopt::xpub_verbose, 1);
        d->socket.set(zmq::sockopt::xpub_nodrop, 1);
        d->socket.set(zmq::sockopt::linger, 200);
        d->socket.bind(options.bind);
        d->endpoint = d->socket.get(zmq::sockopt::last_endpoint);
    } catch (const zmq::error_t& e) {
        throw std::runtime_error("cannot listen on " + options.bind + ": " + e.what());
    }
}

Publisher::~Publisher() = default;

const std::string& Publisher::endpoint() const { return d->endpoint; }

void Publisher::add(std::unique_ptr<KineDAQ> daq, const Identity& id) {
    auto s = std::make_unique<Source>();
    kine_wire::Metadata& m = s->metadata;
    const SensorConfig config = daq->getConfig();
    m.session = d->session;
    m.protocolVersion = static_cast<uint8_t>(daq->getVersion());
    m.sixAxis = m.protocolVersion == 5 || m.protocolVersion == 8;
    m.sensors = static_cast<uint8_t>(std::max(1, daq->getSensorSize()));
    m.config = config.to_uin8_t();
    m.rateHz = static_cast<uint16_t>(config.getSpeed());
    m.width = kine_wire::widthFor(m.sixAxis, m.sensors);
    m.topic = id.topic;
    m.deviceVersion = id.deviceVersion;
    m.serial = id.serial;
    m.port = id.path;
    s->daq = std::move(daq);
    s->id = id;
    d->topics[id.topic];
    d->sources.push_back(std::move(s));
}

std::vector<Publisher::Identity> Publisher::pump() {
    d->takeSubscriptions();
    std::vector<Identity> gone;
    const auto now = std::chrono::steady_clock::now();
    for (auto it = d->sources.begin(); it != d->sources.end();) {
        Source& s = **it;
        if (s.metadataDue || now - s.metadataSent >= d->options.metadataInterval) d->sendMetadata(s);
        const int r = s.read();
        if (r == KINE_NOT_OPEN || r == KINE_READER_STOPPED || !s.daq->isOpen()) {
            s.daq->close();
            gone.push_back(s.id);
            it = d->sources.erase(it);
            continue;
        }
        if (r > 0) {
            TopicCount& count = d->topics[s.id.topic];
            kine_wire::Data data;
            data.session = d->session;
            data.count = static_cast<uint32_t>(r);
            data.firstSample = count.next;
            data.monotonicNs = clockNs(CLOCK_MONOTONIC);
            data.wallNs = clockNs(CLOCK_REALTIME);
            data.width = s.metadata.width;
            data.overflows = count.overflows;
            count.next += static_cast<uint64_t>(r);
            if (!d->send(s.id.topic, kine_wire::encodeData(data, s.rows.data()))) ++count.overflows;
        }
        ++it;
    }
    return gone;
}

size_t Publisher::active() const { return d->sources.size(); }

std::vector<std::string> Publisher::topics() const {
    std::vector<std::string> names;
    for (const auto& t : d->topics) names.push_back(t.first);
    return names;
}

uint64_t Publisher::published(const std::string& topic) const {
    auto it = d->topics.find(topic);
    return it == d->topics.end() ? 0 : it->second.next.load();
}

uint64_t Publisher::overflows(const std::string& topic) const {
    auto it = d->topics.find(topic);
    return it == d->topics.end() ? 0 : it->second.overflows.load();
}

void waitForSamples() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

}  // namespace kine_tools
