// SPDX-License-Identifier: MIT
// The HTTP side of `kine serve`, against simulated DAQs: pages, status
// codes, the token and cross-origin rules, bad input, zeroing and the
// configuration, and a browser tab that stops reading.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

#include "kine/KineDAQ.h"
#include "kine_sim/simulated_daq.h"
#include "serve.h"
#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/sim_daq.h"

namespace {

using kine_test::waitFor;
using kine_tools::DaqServer;
using kine_tools::ServeOptions;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr kine_sim::SensorValues kLevel = {1200, -300, 4000, 7, {0}};

// A one-sensor DAQ with constant compensated forces.
std::unique_ptr<kine_sim::SimulatedDaq> constantDaq() {
    kine_sim::SimulatedDaq::Options o;
    o.version = 3;
    o.compensated = true;
    auto sim = std::make_unique<kine_sim::SimulatedDaq>(o);
    sim->setConstant(kLevel);
    return sim;
}

struct Served {
    std::unique_ptr<kine_sim::SimulatedDaq> sim;
    std::unique_ptr<DaqServer> server;
    std::unique_ptr<httplib::Client> client;

    explicit Served(const std::string& bind, std::unique_ptr<kine_sim::SimulatedDaq> daq = constantDaq())
        : sim(std::move(daq)) {
        ServeOptions o;
        o.bind = bind;
        o.windowSeconds = 5;
        o.ports.push_back({sim->devicePath(), sim->deviceVersionText()});
        server = std::make_unique<DaqServer>(o);
        std::string error;
        if (!server->start(error)) throw std::runtime_error(error);
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(10, 0);
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(server->port()); }
    bool streaming() {
        return waitFor(
            [&] {
                auto r = client->Get("/api/daqs");
                return r && r->body.find("\"state\":\"streaming\"") != std::string::npos;
            },
            seconds(20), milliseconds(20));
    }
    httplib::Result post(const std::string& path, httplib::Headers headers = {}) {
        return client->Post(path.c_str(), headers, "", "text/plain");
    }
};

// The last row of a CSV text, split at commas; empty when only the header is there.
std::vector<long> lastRow(const std::string& csv) {
    const size_t end = csv.find_last_not_of('\n');
    if (end == std::string::npos || csv.rfind('\n', end) == std::string::npos) return {};
    const size_t start = csv.rfind('\n', end) + 1;
    std::vector<long> values;
    std::string row = csv.substr(start, end + 1 - start);
    for (size_t at = 0; at != std::string::npos;) {
        const size_t comma = row.find(',', at);
        values.push_back(std::atol(row.substr(at, comma == std::string::npos ? comma : comma - at).c_str()));
        at = comma == std::string::npos ? comma : comma + 1;
    }
    return values;
}

TEST(ServeHttp, ServesThePageAndRefusesBadRequestsWithReasons) {
    Served s("127.0.0.1:0");
    ASSERT_TRUE(s.streaming());

    auto page = s.client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
    EXPECT_NE(page->body.find("/kine.js"), std::string::npos);
    for (const char* asset :
         {"/kine.js", "/kine.css", "/vendor/uplot/uPlot.iife.min.js", "/vendor/uplot/uPlot.min.css"}) {
        auto r = s.client->Get(asset);
        ASSERT_TRUE(r) << asset;
        EXPECT_EQ(r->status, 200) << asset;
        EXPECT_GT(r->body.size(), 500u) << asset;
    }

    struct Case {
        const char* method;
        std::string path;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"GET", "/nothing", 404, "no such page: /nothing"},
        {"POST", "/api/daqs/9/zero", 404, "no DAQ with id 9"},
        {"GET", "/api/daqs/1/zero", 405, "send it as POST"},
        {"POST", "/api/daqs/1/config?speed=7", 400, "speed must be 1000, 333, 100 or 30 (Hz); got \"7\""},
        {"POST", "/api/daqs/1/config?filter=abc", 400, "filter must be 0 (none), 150, 50 or 15"},
        {"POST", "/api/daqs/1/config?mode=fast", 400, "mode must be raw or compensated"},
        {"POST", "/api/daqs/1/config", 400, "give speed, filter or mode"},
        {"POST", "/api/daqs/1/zero?sensor=1", 400, "sensor must be a sensor of the DAQ, 0 to 0"},
        {"POST", "/api/daqs/1/zero?sensor=-1", 400, "sensor must be"},
        {"GET", "/api/daqs/1/csv?seconds=0", 400, "seconds must be a number above 0 and at most 5"},
        {"GET", "/api/daqs/1/csv?seconds=1e9", 400, "seconds must be"},
        {"GET", "/api/daqs/1/csv?seconds=nan", 400, "seconds must be"},
    };
    for (const Case& c : cases) {
        auto r = std::string(c.method) == "GET" ? s.client->Get(c.path.c_str()) : s.post(c.path);
        ASSERT_TRUE(r) << c.path;
        EXPECT_EQ(r->status, c.status) << c.method << " " << c.path << ": " << r->body;
        EXPECT_NE(r->body.find(c.says), std::string::npos) << c.path << ": " << r->body;
    }
}

TEST(ServeHttp, RefusesCrossOriginChangesAndForeignHostNames) {
    Served s("127.0.0.1:0");
    ASSERT_TRUE(s.streaming());
    const char* refusal = "refused: a request from another site may not change a DAQ";
    for (const httplib::Headers& h :
         {httplib::Headers{{"Origin", "http://attacker.example"}}, httplib::Headers{{"Origin", "null"}},
          httplib::Headers{{"Sec-Fetch-Site", "cross-site"}}, httplib::Headers{{"Sec-Fetch-Site", "same-site"}}}) {
        auto r = s.post("/api/daqs/1/zero", h);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403);
        EXPECT_NE(r->body.find(refusal), std::string::npos) << r->body;
    }
    // A page of another site that made its name point here (DNS rebinding)
    // reads nothing either.
    auto rebound = s.client->Get("/api/daqs", {{"Host", "attacker.example:80"}});
    ASSERT_TRUE(rebound);
    EXPECT_EQ(rebound->status, 403);
    EXPECT_NE(rebound->body.find("answers only requests for 127.0.0.1 or localhost"), std::string::npos);

    // The page itself: same origin. No token is needed on loopback.
    EXPECT_FALSE(s.server->tokenRequired());
    EXPECT_EQ(s.server->url().find("token"), std::string::npos);
    auto ok = s.post("/api/daqs/1/zero", {{"Origin", s.origin()}, {"Sec-Fetch-Site", "same-origin"}});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200) << ok->body;
}

TEST(ServeHttp, BeyondLoopbackChangesNeedTheToken) {
    Served s("0.0.0.0:0");
    ASSERT_TRUE(s.streaming());
    ASSERT_TRUE(s.server->tokenRequired());
    const std::string token = s.server->token();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(s.server->url().find("?token=" + token), std::string::npos);

    auto none = s.post("/api/daqs/1/zero");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 403);
    EXPECT_NE(none->body.find("needs the token that kine serve printed"), std::string::npos) << none->body;
    std::string wrong = token;
    wrong[5] = wrong[5] == 'a' ? 'b' : 'a';
    auto bad = s.post("/api/daqs/1/zero", {{"X-Kine-Token", wrong}});
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 403);
    EXPECT_NE(bad->body.find("wrong token"), std::string::npos);
    // The token does not excuse a request from another site.
    auto foreign = s.post("/api/daqs/1/zero", {{"X-Kine-Token", token}, {"Origin", "http://attacker.example"}});
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->status, 403);

    auto byHeader = s.post("/api/daqs/1/zero", {{"X-Kine-Token", token}});
    ASSERT_TRUE(byHeader);
    EXPECT_EQ(byHeader->status, 200) << byHeader->body;
    auto byQuery = s.post("/api/daqs/1/unzero?token=" + token);
    ASSERT_TRUE(byQuery);
    EXPECT_EQ(byQuery->status, 200) << byQuery->body;
    // Looking needs no token.
    auto look = s.client->Get("/api/daqs");
    ASSERT_TRUE(look);
    EXPECT_EQ(look->status, 200);
}

TEST(ServeHttp, ZeroBringsTheLevelToZeroAndConfigurationReadsBack) {
    Served s("127.0.0.1:0");
    ASSERT_TRUE(s.streaming());
    auto csvRow = [&] {
        auto r = s.client->Get("/api/daqs/1/csv?seconds=0.2");
        EXPECT_TRUE(r && r->status == 200);
        return r ? lastRow(r->body) : std::vector<long>();
    };
    // The simulator's first frames may predate its constant level.
    EXPECT_TRUE(waitFor(
        [&] {
            const std::vector<long> r = csvRow();
            return r.size() == 6 && r[2] == kLevel.x && r[3] == kLevel.y && r[4] == kLevel.z;
        },
        seconds(10), milliseconds(20)));
    auto head = s.client->Get("/api/daqs/1/csv?seconds=1");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->body.substr(0, head->body.find('\n')), "host_monotonic_s,sample,x,y,z,aux");
    EXPECT_NE(head->get_header_value("Content-Disposition").find("attachment"), std::string::npos);

    auto zero = s.post("/api/daqs/1/zero");
    ASSERT_TRUE(zero);
    ASSERT_EQ(zero->status, 200) << zero->body;
    EXPECT_TRUE(waitFor(
        [&] {
            const std::vector<long> r = csvRow();
            return r.size() == 6 && r[2] == 0 && r[3] == 0 && r[4] == 0;
        },
        seconds(10), milliseconds(20)));

    auto config = s.post("/api/daqs/1/config?speed=100&filter=15");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->status, 200) << config->body;
    EXPECT_NE(config->body.find("\"speed\":100,\"filter\":15"), std::string::npos) << config->body;
    auto daqs = s.client->Get("/api/daqs");
    ASSERT_TRUE(daqs);
    EXPECT_NE(daqs->body.find("\"speed\":100,\"filter\":15"), std::string::npos) << daqs->body;
}

TEST(ServeHttp, AGoneDaqAnswersConflictAndBadBindsAreRefused) {
    Served s("127.0.0.1:0");
    ASSERT_TRUE(s.streaming());
    s.sim->hangUp();
    ASSERT_TRUE(waitFor(
        [&] {
            auto r = s.client->Get("/api/daqs");
            return r && r->body.find("\"state\":\"gone\"") != std::string::npos;
        },
        seconds(10), milliseconds(20)));
    auto r = s.post("/api/daqs/1/zero");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 409);
    EXPECT_NE(r->body.find("is not streaming"), std::string::npos);

    for (const char* bind : {"nonsense", "127.0.0.1:99999", "127.0.0.1:", ":80", "192.0.2.1:0"}) {
        ServeOptions o;
        o.bind = bind;
        DaqServer server(o);
        std::string error;
        EXPECT_FALSE(server.start(error)) << bind;
        EXPECT_FALSE(error.empty());
    }
}

// A DAQ held by another program when the server starts shows why it could
// not be opened, and is opened once the other program lets it go.
TEST(ServeHttp, ABusyDaqIsOpenedOnceReleased) {
    auto sim = constantDaq();
    KineDAQ holder;
    ASSERT_TRUE(holder.open(kine_test::portFor(*sim)));
    ServeOptions o;
    o.bind = "127.0.0.1:0";
    o.ports.push_back({sim->devicePath(), sim->deviceVersionText()});
    DaqServer server(o);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    httplib::Client client("127.0.0.1", server.port());
    auto stateIs = [&](const std::string& text) {
        return waitFor(
            [&] {
                auto r = client.Get("/api/daqs");
                return r && r->body.find(text) != std::string::npos;
            },
            seconds(20), milliseconds(20));
    };
    EXPECT_TRUE(stateIs("\"state\":\"failed\",\"message\":\"" + sim->devicePath() + ": device busy"));
    holder.close();
    EXPECT_TRUE(stateIs("\"state\":\"streaming\""));
}

// A tab that stops reading its event stream: the DAQ is read at full rate
// all the same, another tab goes on receiving, and the stalled tab, once it
// reads again, is told how many samples it missed.
TEST(ServeHttp, AStalledTabLosesViewFramesNotSamples) {
    kine_sim::SimulatedDaq::Options o;
    o.version = 7;  // four sensors: sixteen values per sample fill the buffers fast
    o.speedHz = 1000;
    Served s("127.0.0.1:0", std::make_unique<kine_sim::SimulatedDaq>(o));
    ASSERT_TRUE(s.streaming());
    ASSERT_EQ(s.post("/api/daqs/1/config?speed=1000")->status, 200);

    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    const int small = 4096;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(s.server->port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_EQ(::write(sock, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    // The other tab counts the samples it is sent meanwhile.
    size_t frames = 0;
    httplib::Client other("127.0.0.1", s.server->port());
    std::thread reader([&] {
        other.Get("/api/events", [&](const char* data, size_t n) {
            frames += std::string(data, n).find("event: samples") != std::string::npos;
            return frames < 100;
        });
    });
    std::this_thread::sleep_for(seconds(6));
    reader.join();
    EXPECT_GE(frames, 100u);

    std::string seen;
    char buffer[65536];
    const bool told = waitFor(
        [&] {
            const ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) seen.append(buffer, static_cast<size_t>(n));
            return seen.find("event: view\ndata: {\"lostFrames\":") != std::string::npos;
        },
        seconds(10), milliseconds(1));
    ::close(sock);
    EXPECT_TRUE(told) << "no view-lost report in " << seen.size() << " bytes";
    auto daqs = s.client->Get("/api/daqs");
    ASSERT_TRUE(daqs);
    EXPECT_NE(daqs->body.find("\"overflows\":0"), std::string::npos) << daqs->body;
}

// The commands: `kine demo --serve` prints the URL of a page whose DAQ
// streams, and Ctrl-C ends it with status 0; mistakes end with one line.
TEST(ServeCommand, DemoServesUntilInterruptedAndMistakesEndWithOneLine) {
    kine_test::ChildProcess demo(KINE_TOOL, {"demo", "--serve", "--bind", "127.0.0.1:0"});
    std::string line = demo.outputLine(seconds(20));
    if (line.rfind("simulated DAQ", 0) == 0) line = demo.outputLine(seconds(20));
    const std::string prefix = "kine serve: open http://127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line << demo.errors();
    const int port = std::atoi(line.c_str() + prefix.size());
    EXPECT_NE(line.find("/ in a browser (Ctrl-C stops)"), std::string::npos) << line;
    httplib::Client client("127.0.0.1", port);
    EXPECT_TRUE(waitFor(
        [&] {
            auto r = client.Get("/api/daqs");
            return r && r->body.find("\"state\":\"streaming\"") != std::string::npos &&
                   r->body.find("\"samples\":0,") == std::string::npos;
        },
        seconds(20), milliseconds(50)));
    demo.signal(SIGINT);
    EXPECT_EQ(demo.exitStatus(), 0) << demo.errors();
    EXPECT_NE(demo.output().find("kine serve: stopped"), std::string::npos);

    struct Mistake {
        std::vector<std::string> args;
        int status;
        const char* says;
    };
    const Mistake mistakes[] = {
        {{"serve", "--bind", "nonsense"}, 1, "kine: --bind takes HOST:PORT"},
        {{"serve", "--bind", "127.0.0.1:0", "/nonexistent/daq"}, 1, "kine: /nonexistent/daq: no such device"},
        {{"serve", "--all", "/dev/null"}, 2, "excludes"},
        {{"serve", "--window", "0"}, 2, "--window"},
    };
    for (const Mistake& m : mistakes) {
        kine_test::ChildProcess p(KINE_TOOL, m.args);
        EXPECT_EQ(p.exitStatus(), m.status) << m.args.back() << ": " << p.errors();
        EXPECT_NE(p.errors().find(m.says), std::string::npos) << p.errors();
    }
}

}  // namespace
