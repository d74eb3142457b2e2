// SPDX-License-Identifier: MIT
#include "serve.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "kine/KinePorts.h"
#include "port_list.h"
#include "serve_assets.h"
#include "serve_daq.h"
#include "text_escape.h"

namespace kine_tools {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kClientQueueFrames = 50;  // about two seconds of view frames per browser tab
constexpr auto kTick = std::chrono::milliseconds(40);
constexpr auto kStatusInterval = std::chrono::milliseconds(500);
constexpr auto kRetryInterval = std::chrono::seconds(3);

// A DAQ on the page: one that discovery reports, or one named on the command line.
struct Entry {
    int id = 0;
    std::string port;     // as discovery or the user named it
    std::string node;     // the device node it leads to
    std::string version;  // device version text; empty when unknown
    std::string serial;
    bool plugged = true;
    bool wanted = false;  // opened now, and again when plugged back in
    std::shared_ptr<ServedDaq> daq;
    uint64_t sent = 0;                                // sequence number of the next row to send to the page
    std::chrono::steady_clock::time_point retryAt{};  // next open after a failed or lost one
};

// One browser tab's event stream. The hub queues frames; the tab's own
// HTTP thread writes them. A full queue drops the frame, never a sample of
// the DAQ: the tab is told how much it missed.
struct Client {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> frames;
    uint64_t lostFrames = 0, lostSamples = 0;
    bool lostChanged = false;
    bool closed = false;
};

struct Reply {
    int status;
    std::string message;
};

void sendText(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(message + "\n", "text/plain; charset=utf-8");
}

bool isLoopbackHost(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

// HOST:PORT or [IPv6]:PORT.
bool parseBind(const std::string& text, std::string& host, int& port, std::string& error) {
    const size_t colon = text.rfind(':');
    error = "--bind takes HOST:PORT, e.g. 127.0.0.1:8080 (port 0: any free port); got \"" + text + "\"";
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const std::string digits = text.substr(colon + 1);
    const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    return !digits.empty() && r.ec == std::errc() && r.ptr == digits.data() + digits.size() && port >= 0 &&
           port <= 65535;
}

std::string randomToken() {
    std::random_device random;
    char text[33];
    for (int i = 0; i < 4; ++i) std::snprintf(text + 8 * i, 9, "%08x", static_cast<unsigned>(random()));
    return text;
}

// Comparison whose time does not depend on where the texts differ.
bool sameToken(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool parseInt(const std::string& text, int& value) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && r.ec == std::errc() && r.ptr == text.data() + text.size();
}

void appendNumber(std::string& out, double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v);
    out += text;
}

void appendNumber(std::string& out, int64_t v) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, v);
    out.append(text, r.ptr);
}

std::string configJson(const SensorConfig& c) {
    return "{\"speed\":" + std::to_string(c.getSpeed()) + ",\"filter\":" + std::to_string(c.getFilter()) +
           ",\"mode\":\"" + (c.getMode() ? "compensated" : "raw") +
           "\",\"sensorState\":" + std::to_string(static_cast<int>(c.getState())) + "}";
}

// A frame of samples for the page: times and one array per column.
std::string samplesFrame(int id, const ServedDaq::Rows& rows) {
    const size_t n = rows.times.size();
    std::string out =
        "event: samples\ndata: {\"id\":" + std::to_string(id) + ",\"first\":" + std::to_string(rows.first) + ",\"t\":[";
    out.reserve(n * (rows.width + 1) * 8 + 64);
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        appendNumber(out, rows.times[i]);
    }
    out += "],\"v\":[";
    for (size_t c = 0; c < rows.width; ++c) {
        out += c ? ",[" : "[";
        for (size_t i = 0; i < n; ++i) {
            if (i) out += ',';
            appendNumber(out, static_cast<int64_t>(rows.values[i * rows.width + c]));
        }
        out += ']';
    }
    out += "]}\n\n";
    return out;
}

}  // namespace

struct DaqServer::Impl {
    ServeOptions options;
    std::string host;
    int port = 0;
    bool loopback = true;
    std::string token = randomToken();
    const Clock::time_point epoch = Clock::now();

    httplib::Server http;
    std::thread listener, hub;
    std::unique_ptr<KinePorts> discovery;
    std::mutex hubMutex;
    std::condition_variable hubWake;
    bool stopping = false;

    std::mutex entriesMutex;  // entries, nextId
    std::vector<Entry> entries;
    int nextId = 1;

    std::mutex clientsMutex;
    std::vector<std::shared_ptr<Client>> clients;

    ~Impl() { stop(); }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(hubMutex);
            if (stopping && !hub.joinable() && !listener.joinable()) return;
            stopping = true;
        }
        hubWake.notify_all();
        {
            std::lock_guard<std::mutex> lock(clientsMutex);
            for (auto& c : clients) {
                std::lock_guard<std::mutex> cl(c->mutex);
                c->closed = true;
                c->ready.notify_all();
            }
        }
        http.stop();
        if (listener.joinable()) listener.join();
        if (hub.joinable()) hub.join();
        std::lock_guard<std::mutex> lock(entriesMutex);
        entries.clear();  // closes the DAQs
        discovery.reset();
    }

    void open(Entry& e) {
        e.daq.reset();  // the old connection ends first: the port is held exclusively
        e.daq = std::make_shared<ServedDaq>(e.node, e.version, options.windowSeconds, epoch);
        e.sent = 0;
    }

    Entry* find(int id) {
        for (Entry& e : entries)
            if (e.id == id) return &e;
        return nullptr;
    }

    // Discovery's news: plugged DAQs are listed (and opened when wanted),
    // unplugged ones marked.
    void pollDiscovery() {
        std::lock_guard<std::mutex> lock(entriesMutex);
        while (discovery && discovery->isLostPort()) {
            const KPort p = discovery->getLostPort();
            const std::string name = KPort::readField(p.portName);
            for (Entry& e : entries)
                if (e.port == name || e.node == name) e.plugged = false;
        }
        while (discovery && discovery->isNewPort()) {
            const KPort p = discovery->getNewPort();
            const std::string name = KPort::readField(p.portName);
            const std::string node = deviceNode(name);
            Entry* known = nullptr;
            for (Entry& e : entries)
                if (e.port == name || (!node.empty() && e.node == node)) known = &e;
            if (!known) {
                entries.emplace_back();
                known = &entries.back();
                known->id = nextId++;
                known->port = name;
                known->wanted = options.all;
            }
            known->node = node.empty() ? name : node;
            known->plugged = true;
            const std::string version = KPort::readField(p.deviceVersion);
            if (version != "unknown" && !version.empty()) known->version = version;
            known->serial = KPort::readField(p.deviceSerial);
            if (known->wanted && !(known->daq && known->daq->running())) open(*known);
        }
        // A wanted DAQ whose open failed (a busy port, a slow first frame) or
        // that fell silent is tried again while its device node is there.
        const Clock::time_point now = Clock::now();
        for (Entry& e : entries) {
            if (!e.wanted || !e.plugged || !e.daq || e.daq->running()) continue;
            if (e.retryAt == Clock::time_point{}) e.retryAt = now + kRetryInterval;
            if (now < e.retryAt) continue;
            e.retryAt = Clock::time_point{};
            if (!deviceNode(e.node).empty()) open(e);
        }
    }

    std::string statusJson() {
        size_t tabs = 0;
        {
            std::lock_guard<std::mutex> lock(clientsMutex);
            tabs = clients.size();
        }
        std::string out = "{\"window\":" + std::to_string(options.windowSeconds) + ",\"tabs\":" + std::to_string(tabs) +
                          ",\"tokenRequired\":" + (loopback ? "false" : "true") + ",\"daqs\":[";
        std::lock_guard<std::mutex> lock(entriesMutex);
        bool first = true;
        for (const Entry& e : entries) {
            out += first ? "{" : ",{";
            first = false;
            out += "\"id\":" + std::to_string(e.id) + ",\"port\":" + jsonString(e.port) +
                   ",\"version\":" + jsonString(e.version) + ",\"serial\":" + jsonString(e.serial) +
                   ",\"plugged\":" + (e.plugged ? "true" : "false") + ",\"wanted\":" + (e.wanted ? "true" : "false");
            if (!e.daq) {
                out += ",\"state\":\"closed\"}";
                continue;
            }
            const ServedDaq::Status s = e.daq->status();
            out += ",\"state\":\"" + std::string(stateName(s.state)) + "\",\"message\":" + jsonString(s.message);
            if (s.state == ServedDaq::State::streaming || !s.layout.columns.empty()) {
                out += std::string(",\"kind\":\"") +
                       (s.layout.kind == StreamLayout::Kind::sensors ? "sensors" : "six-axis") +
                       "\",\"sensors\":" + std::to_string(s.layout.sensors) + ",\"columns\":[";
                for (size_t c = 0; c < s.layout.columns.size(); ++c)
                    out += (c ? "," : "") + jsonString(s.layout.columns[c]);
                out += "],\"description\":" + jsonString(s.layout.description) + ",\"config\":" + configJson(s.config);
            }
            char counters[200];
            std::snprintf(counters, sizeof counters,
                          ",\"rate\":%.1f,\"samples\":%llu,\"checksumErrors\":%llu,\"overflows\":%llu,\"zeroed\":%s}",
                          s.rate, static_cast<unsigned long long>(s.samples),
                          static_cast<unsigned long long>(s.checksumErrors),
                          static_cast<unsigned long long>(s.overflows), s.zeroed ? "true" : "false");
            out += counters;
        }
        return out + "]}";
    }

    // Queues a frame for every tab; a tab whose queue is full misses it.
    // `skipped` rows left the history before the hub got to them: every tab
    // misses those.
    void publish(const std::string& frame, size_t samples, uint64_t skipped = 0) {
        std::lock_guard<std::mutex> lock(clientsMutex);
        for (auto& c : clients) {
            std::lock_guard<std::mutex> cl(c->mutex);
            if (skipped) {
                c->lostSamples += skipped;
                c->lostChanged = true;
            }
            if (c->frames.size() >= kClientQueueFrames) {
                ++c->lostFrames;
                c->lostSamples += samples;
                c->lostChanged = true;
                continue;
            }
            c->frames.push_back(frame);
            c->ready.notify_all();
        }
    }

    void hubLoop() {
        Clock::time_point lastStatus{};
        std::unique_lock<std::mutex> lock(hubMutex);
        while (!stopping) {
            lock.unlock();
            pollDiscovery();
            std::vector<std::string> frames;
            std::vector<size_t> counts;
            std::vector<uint64_t> skipped;
            {
                std::lock_guard<std::mutex> el(entriesMutex);
                for (Entry& e : entries) {
                    if (!e.daq) continue;
                    ServedDaq::Rows rows = e.daq->since(e.sent, 2000);
                    if (rows.times.empty()) continue;
                    e.sent = rows.first + rows.times.size();
                    frames.push_back(samplesFrame(e.id, rows));
                    counts.push_back(rows.times.size());
                    skipped.push_back(rows.skipped);
                }
            }
            for (size_t i = 0; i < frames.size(); ++i) publish(frames[i], counts[i], skipped[i]);
            if (Clock::now() - lastStatus >= kStatusInterval) {
                lastStatus = Clock::now();
                publish("event: status\ndata: " + statusJson() + "\n\n", 0);
            }
            lock.lock();
            hubWake.wait_for(lock, kTick, [&] { return stopping; });
        }
    }

    // Requests that change something: from this page only, with the token
    // where one is needed.
    bool refused(const httplib::Request& req, httplib::Response& res) {
        const std::string hostHeader = req.get_header_value("Host");
        if (loopback) {
            std::string name = hostHeader.substr(0, hostHeader.rfind(':'));
            if (name.size() > 2 && name.front() == '[') name = name.substr(1, name.size() - 2);
            if (!isLoopbackHost(name)) {
                sendText(res, 403,
                         "kine serve answers only requests for 127.0.0.1 or localhost; this one named \"" + hostHeader +
                             "\"");
                return true;
            }
        }
        if (req.method == "GET" || req.method == "HEAD") return false;
        const std::string site = req.get_header_value("Sec-Fetch-Site");
        const std::string origin = req.get_header_value("Origin");
        if ((!site.empty() && site != "same-origin" && site != "none") ||
            (!origin.empty() && origin != "http://" + hostHeader)) {
            sendText(res, 403, "refused: a request from another site may not change a DAQ");
            return true;
        }
        if (!loopback) {
            std::string given = req.get_header_value("X-Kine-Token");
            if (given.empty()) given = req.get_param_value("token");
            if (!sameToken(given, token)) {
                sendText(res, 403,
                         given.empty() ? "this action needs the token that kine serve printed at start (the "
                                         "?token=... of its URL)"
                                       : "wrong token: use the one kine serve printed at start");
                return true;
            }
        }
        return false;
    }

    // The DAQ of a request's id, streaming; null with a reply sent otherwise.
    std::shared_ptr<ServedDaq> streamingDaq(const httplib::Request& req, httplib::Response& res) {
        int id = 0;
        parseInt(req.matches[1], id);
        std::lock_guard<std::mutex> lock(entriesMutex);
        const Entry* e = find(id);
        if (!e) {
            sendText(res, 404, "no DAQ with id " + std::string(req.matches[1]));
            return nullptr;
        }
        if (!e->daq || e->daq->status().state != ServedDaq::State::streaming) {
            sendText(res, 409, "the DAQ on " + e->port + " is not streaming");
            return nullptr;
        }
        return e->daq;
    }

    // sensor=K of a zero or unzero: -1 for all; false with a reply sent when bad.
    static bool sensorParam(const httplib::Request& req, httplib::Response& res, const ServedDaq::Status& s,
                            int& sensor) {
        sensor = -1;
        if (!req.has_param("sensor")) return true;
        const std::string text = req.get_param_value("sensor");
        if (s.layout.kind != StreamLayout::Kind::sensors) {
            sendText(res, 400, "a six-axis unit is zeroed as a whole: leave out sensor");
            return false;
        }
        if (!parseInt(text, sensor) || sensor < 0 || sensor >= s.layout.sensors) {
            sendText(res, 400,
                     "sensor must be a sensor of the DAQ, 0 to " + std::to_string(s.layout.sensors - 1) + "; got \"" +
                         text + "\"");
            return false;
        }
        return true;
    }

    void zeroing(const httplib::Request& req, httplib::Response& res, bool zero) {
        const std::shared_ptr<ServedDaq> daq = streamingDaq(req, res);
        if (!daq) return;
        int sensor = -1;
        if (!sensorParam(req, res, daq->status(), sensor)) return;
        const int sensors = daq->status().layout.sensors;
        const bool sixAxis = daq->status().layout.kind != StreamLayout::Kind::sensors;
        const ActionResult r = daq->run([&](KineDAQ& d) -> ActionResult {
            const std::string which = sensor >= 0 ? "sensor " + std::to_string(sensor) : std::string("all sensors");
            if (!zero) {
                if (sensor >= 0)
                    d.unzero(sensor);
                else
                    d.unzeroAll();
                daq->setZeroed(false);
                return {200, "offsets removed from " + which};
            }
            if (sixAxis) {
                d.zeroAll();
                daq->setZeroed(true);
                return {200, "zeroed " + which};
            }
            // A sensor is zeroed with a sample that arrives while it waits;
            // on a busy machine none may come in time, so it is tried again.
            for (int k = sensor >= 0 ? sensor : 0; k < (sensor >= 0 ? sensor + 1 : sensors); ++k) {
                bool done = false;
                for (int attempt = 0; attempt < 5 && !done; ++attempt) done = d.zero(k);
                if (!done) return {503, "no fresh sample of sensor " + std::to_string(k) + " to zero with; try again"};
            }
            daq->setZeroed(true);
            return {200, "zeroed " + which};
        });
        sendText(res, r.status, r.message);
    }

    void configure(const httplib::Request& req, httplib::Response& res) {
        const std::shared_ptr<ServedDaq> daq = streamingDaq(req, res);
        if (!daq) return;
        int speed = 0, filter = -1, mode = -1;
        if (req.has_param("speed")) {
            const std::string t = req.get_param_value("speed");
            if (!parseInt(t, speed) || (speed != 1000 && speed != 333 && speed != 100 && speed != 30))
                return sendText(res, 400, "speed must be 1000, 333, 100 or 30 (Hz); got \"" + t + "\"");
        }
        if (req.has_param("filter")) {
            const std::string t = req.get_param_value("filter");
            if (!parseInt(t, filter) || (filter != 0 && filter != 150 && filter != 50 && filter != 15))
                return sendText(res, 400, "filter must be 0 (none), 150, 50 or 15 (Hz); got \"" + t + "\"");
        }
        if (req.has_param("mode")) {
            const std::string t = req.get_param_value("mode");
            if (t != "raw" && t != "compensated")
                return sendText(res, 400, "mode must be raw or compensated; got \"" + t + "\"");
            mode = t == "compensated" ? 1 : 0;
        }
        if (!speed && filter < 0 && mode < 0) return sendText(res, 400, "give speed, filter or mode to change");
        const ActionResult r = daq->run([&](KineDAQ& d) -> ActionResult {
            SensorConfig wanted = d.getConfig();
            if (speed) wanted.setSpeed(speed);
            if (filter >= 0) wanted.setFilter(filter);
            if (mode >= 0) wanted.setMode(mode);
            d.sendConfig(wanted);
            const SensorConfig got = d.getConfig();
            daq->refreshLayout(d);
            // The DAQ's own report decides: every field asked for must read back.
            if ((speed && got.getSpeed() != speed) || (filter >= 0 && got.getFilter() != filter) ||
                (mode >= 0 && got.getMode() != mode))
                return {502, "the DAQ did not take the change; it reports " + configJson(got)};
            return {200, "applied: " + configJson(got)};
        });
        sendText(res, r.status, r.message);
    }

    void openOrClose(const httplib::Request& req, httplib::Response& res, bool wanted) {
        int id = 0;
        parseInt(req.matches[1], id);
        std::shared_ptr<ServedDaq> old;
        {
            std::lock_guard<std::mutex> lock(entriesMutex);
            Entry* e = find(id);
            if (!e) return sendText(res, 404, "no DAQ with id " + std::string(req.matches[1]));
            e->wanted = wanted;
            if (wanted && !(e->daq && e->daq->running())) open(*e);
            if (!wanted) old = std::move(e->daq);
        }
        old.reset();  // closes outside the lock
        sendText(res, 200, wanted ? "opening" : "closed");
    }

    void csv(const httplib::Request& req, httplib::Response& res) {
        double seconds = 10;
        if (req.has_param("seconds")) {
            const std::string t = req.get_param_value("seconds");
            char* end = nullptr;
            seconds = std::strtod(t.c_str(), &end);
            if (t.empty() || *end || !(seconds > 0) || seconds > options.windowSeconds)
                return sendText(res, 400,
                                "seconds must be a number above 0 and at most " +
                                    std::to_string(static_cast<int>(options.windowSeconds)) +
                                    " (the samples kept); got \"" + t + "\"");
        }
        int id = 0;
        parseInt(req.matches[1], id);
        std::shared_ptr<ServedDaq> daq;
        std::string port;
        {
            std::lock_guard<std::mutex> lock(entriesMutex);
            const Entry* e = find(id);
            if (!e) return sendText(res, 404, "no DAQ with id " + std::string(req.matches[1]));
            daq = e->daq;
            port = e->port;
        }
        if (!daq || daq->status().layout.columns.empty())
            return sendText(res, 409, "no samples of the DAQ on " + port + " yet");
        const ServedDaq::Status s = daq->status();
        const ServedDaq::Rows rows = daq->lastSeconds(seconds);
        std::string out = "host_monotonic_s,sample";
        for (const std::string& c : s.layout.columns) out += "," + c;
        out += '\n';
        for (size_t i = 0; i < rows.times.size(); ++i) {
            char prefix[64];
            std::snprintf(prefix, sizeof prefix, "%.6f,%llu", rows.times[i],
                          static_cast<unsigned long long>(rows.first + i));
            out += prefix;
            for (size_t c = 0; c < rows.width; ++c) {
                out += ',';
                appendNumber(out, static_cast<int64_t>(rows.values[i * rows.width + c]));
            }
            out += '\n';
        }
        std::string name = port.substr(port.rfind('/') + 1);
        name.erase(std::remove_if(name.begin(), name.end(),
                                  [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }),
                   name.end());
        res.set_header("Content-Disposition", "attachment; filename=\"kine-" + name + ".csv\"");
        res.set_content(out, "text/csv; charset=utf-8");
    }

    void events(httplib::Response& res) {
        auto client = std::make_shared<Client>();
        client->frames.push_back("event: status\ndata: " + statusJson() + "\n\n");
        {
            std::lock_guard<std::mutex> lock(clientsMutex);
            if (stopping) return sendText(res, 503, "kine serve is stopping");
            clients.push_back(client);
        }
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [client, last = Clock::now()](size_t, httplib::DataSink& sink) mutable {
                std::string out;
                {
                    std::unique_lock<std::mutex> lock(client->mutex);
                    client->ready.wait_for(lock, std::chrono::milliseconds(250),
                                           [&] { return !client->frames.empty() || client->closed; });
                    if (client->closed) return false;
                    if (client->lostChanged) {
                        out += "event: view\ndata: {\"lostFrames\":" + std::to_string(client->lostFrames) +
                               ",\"lostSamples\":" + std::to_string(client->lostSamples) + "}\n\n";
                        client->lostChanged = false;
                    }
                    for (; !client->frames.empty(); client->frames.pop_front()) out += client->frames.front();
                }
                // A comment now and then finds a tab that has gone away.
                if (out.empty() && Clock::now() - last < std::chrono::seconds(5)) return true;
                if (out.empty()) out = ":\n\n";
                last = Clock::now();
                return sink.write(out.data(), out.size());
            },
            [this, client](bool) {
                std::lock_guard<std::mutex> lock(clientsMutex);
                clients.erase(std::remove(clients.begin(), clients.end(), client), clients.end());
            });
    }

    void routes() {
        // Every tab keeps one thread for its event stream.
        http.new_task_queue = [] { return new httplib::ThreadPool(24); };
        // A small send buffer makes a tab that stopped reading fall behind
        // within a second or so, and lose view frames instead of holding
        // megabytes of old samples; it is cut off after 15 s without progress.
        http.set_socket_options([](int sock) {
            const int yes = 1, bytes = 64 * 1024;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        });
        http.set_write_timeout(15, 0);
        http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            return refused(req, res) ? httplib::Server::HandlerResponse::Handled
                                     : httplib::Server::HandlerResponse::Unhandled;
        });
        http.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return;
            if (res.status == 404)
                sendText(res, 404, "no such page: " + req.path);
            else if (res.status == 400)
                sendText(res, 400, "bad request: malformed HTTP (a POST needs a Content-Length, 0 for no body)");
            else
                sendText(res, res.status, "request refused");
        });
        for (size_t i = 0; i < kWebAssetCount; ++i) {
            const WebAsset& a = kWebAssets[i];
            http.Get(a.path, [&a](const httplib::Request&, httplib::Response& res) {
                res.set_content(reinterpret_cast<const char*>(a.data), a.size, a.type);
            });
        }
        http.Get("/api/daqs", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(statusJson(), "application/json");
        });
        http.Get("/api/events", [this](const httplib::Request&, httplib::Response& res) { events(res); });
        http.Get(R"(/api/daqs/(\d{1,9})/csv)",
                 [this](const httplib::Request& req, httplib::Response& res) { csv(req, res); });
        http.Get(R"(/api/daqs/\d{1,9}/(zero|unzero|config|open|close))",
                 [](const httplib::Request& req, httplib::Response& res) {
                     res.set_header("Allow", "POST");
                     sendText(res, 405, std::string(req.matches[1]) + " changes the DAQ: send it as POST");
                 });
        http.Post(R"(/api/daqs/(\d{1,9})/zero)",
                  [this](const httplib::Request& req, httplib::Response& res) { zeroing(req, res, true); });
        http.Post(R"(/api/daqs/(\d{1,9})/unzero)",
                  [this](const httplib::Request& req, httplib::Response& res) { zeroing(req, res, false); });
        http.Post(R"(/api/daqs/(\d{1,9})/config)",
                  [this](const httplib::Request& req, httplib::Response& res) { configure(req, res); });
        http.Post(R"(/api/daqs/(\d{1,9})/open)",
                  [this](const httplib::Request& req, httplib::Response& res) { openOrClose(req, res, true); });
        http.Post(R"(/api/daqs/(\d{1,9})/close)",
                  [this](const httplib::Request& req, httplib::Response& res) { openOrClose(req, res, false); });
    }
};

DaqServer::DaqServer(ServeOptions options) : impl_(std::make_unique<Impl>()) { impl_->options = std::move(options); }

DaqServer::~DaqServer() { impl_->stop(); }

bool DaqServer::start(std::string& error) {
    Impl& s = *impl_;
    int wantedPort = 0;
    if (!parseBind(s.options.bind, s.host, wantedPort, error)) return false;
    s.loopback = isLoopbackHost(s.host);
    for (const DeviceRequest& d : s.options.ports) {
        const std::string node = deviceNode(d.port);
        if (node.empty()) {
            error = openFailureMessage(KINE_OPEN_NO_DEVICE, d.port, ENOENT, d.deviceVersion);
            return false;
        }
        Entry e;
        e.id = s.nextId++;
        e.port = d.port;
        e.node = node;
        e.version = d.deviceVersion;
        e.wanted = true;
        s.entries.push_back(std::move(e));
    }
    s.routes();
    const bool bound = wantedPort == 0 ? (s.port = s.http.bind_to_any_port(s.host)) > 0
                                       : s.http.bind_to_port(s.host, s.port = wantedPort);
    if (!bound) {
        error = "cannot listen on " + s.options.bind + " (address in use, or not an address of this machine)";
        return false;
    }
    for (Entry& e : s.entries) s.open(e);
    s.discovery = std::make_unique<KinePorts>();
    s.listener = std::thread([&s] { s.http.listen_after_bind(); });
    s.hub = std::thread([&s] { s.hubLoop(); });
    return true;
}

int DaqServer::port() const { return impl_->port; }
const std::string& DaqServer::token() const { return impl_->token; }
bool DaqServer::tokenRequired() const { return !impl_->loopback; }

std::string DaqServer::url() const {
    std::string host = impl_->host;
    if (host == "0.0.0.0" || host == "::") {
        char name[256] = {};
        host = ::gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    }
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(impl_->port) + "/" + (tokenRequired() ? "?token=" + token() : "");
}

int runServe(const ServeOptions& options) {
    DaqServer server(options);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return kExitFailed;
    }
    std::printf("kine serve: open %s in a browser (Ctrl-C stops)\n", server.url().c_str());
    if (server.tokenRequired())
        std::printf("kine serve: listening beyond this machine; changes to a DAQ need the token in that URL\n");
    std::fflush(stdout);
    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::printf("kine serve: stopped\n");
    return kExitOk;
}

}  // namespace kine_tools
