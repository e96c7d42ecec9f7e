// The HTTP front as an exposed server meets it: request heads whose framing a
// proxy could read differently are refused, idle connections make room for
// prompt ones, sessions are capped per client (as a trusted proxy names it),
// sids cannot be guessed, and /healthz and /metrics report the server's state.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "raw_client.h"
#include "server_fixture.h"

namespace asrserver {
namespace {

class HttpFrontTest : public ServerTest {
  protected:
    // One raw request on its own connection from `from`; the whole answer, once the server closed.
    std::string exchange(const std::string& request, const char* from = "127.0.0.1") {
        RawClient client(http_->port(), from);
        client.send(request);
        return client.readAll();
    }

    // A session creation from `from` carrying `fields`; its err_no.
    int createFrom(const char* from, const std::string& fields) {
        const std::string reply =
            exchange("POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\nConnection: close\r\n" +
                         fields + "\r\n",
                     from);
        const Json::Value v = [&] {
            Json::Value out;
            std::istringstream(bodyOf(reply)) >> out;
            return out;
        }();
        return errNo(v);
    }

    // Samples of the exposition by name with labels, e.g. asr_http_requests_total{code="404"};
    // fails the test where a sample's family lacks its HELP or TYPE line.
    std::map<std::string, double> scrape() {
        const std::string reply = exchange("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(200, statusOf(reply));
        EXPECT_NE(std::string::npos, reply.find("Content-Type: text/plain; version=0.0.4"));
        std::map<std::string, double> samples;
        std::set<std::string> helped, typed;
        std::istringstream in(bodyOf(reply));
        for (std::string line; std::getline(in, line);) {
            const size_t blank = line.rfind(' ');
            const std::string name = line.substr(0, std::min(line.find('{'), blank));
            if (line.rfind("# HELP ", 0) == 0) {
                helped.insert(line.substr(7, line.find(' ', 7) - 7));
            } else if (line.rfind("# TYPE ", 0) == 0) {
                typed.insert(line.substr(7, line.find(' ', 7) - 7));
            } else if (blank != std::string::npos && !name.empty() &&
                       name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos) {
                std::string family = name;
                for (const char* suffix : {"_bucket", "_sum", "_count"}) {
                    const size_t at = family.rfind(suffix);
                    if (at != std::string::npos && at + std::strlen(suffix) == family.size() &&
                        typed.count(family.substr(0, at)) != 0) {
                        family.erase(at);
                    }
                }
                EXPECT_TRUE(helped.count(family) && typed.count(family)) << line;
                samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
            } else {
                ADD_FAILURE() << "not a sample: " << line;
            }
        }
        return samples;
    }
};

TEST_F(HttpFrontTest, RefusesAmbiguousFramingAndServesNothingAfterIt) {
    start();
    // Each request is followed by a second one on the same connection: served
    // only after a request whose end is beyond doubt.
    const std::string next = "GET /asr/v2?sid=x HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string post = "POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\n";
    const struct Case {
        const char* what;
        std::string request;
        int status;  // of the first reply; 200: both are served
    } cases[] = {
        {"gzip coding", post + "Transfer-Encoding: gzip\r\n\r\n", 400},
        {"gzip then chunked", post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 501},
        {"chunked not last", post + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 400},
        {"chunked twice", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         400},
        {"empty coding", post + "Transfer-Encoding: \r\n\r\n", 400},
        {"chunked in HTTP/1.0",
         "POST /asr/v2?rate=8 HTTP/1.0\r\nTransfer-Encoding: chunked\r\nConnection: "
         "keep-alive\r\n\r\n0\r\n\r\n",
         400},
        {"length and chunked", post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         400},
        {"folded length", post + "Content-Length:\r\n 0\r\n\r\n", 400},
        {"folded coding", post + "Transfer-Encoding:\r\n\tchunked\r\n\r\n0\r\n\r\n", 400},
        {"folded other field", post + "Content-Length: 0\r\nX-Note: a\r\n b\r\n\r\n", 400},
        {"no Host", "POST /asr/v2?rate=8 HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 400},
        {"two Hosts", post + "Host: y\r\nContent-Length: 0\r\n\r\n", 400},
        {"chunked, one Host", post + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 200},
        {"HTTP/1.0 without Host", "POST /asr/v2?rate=8 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 200},
    };
    for (const Case& c : cases) {
        const std::string answer = exchange(c.request + next);
        EXPECT_EQ(c.status, statusOf(answer)) << c.what << ": " << answer;
        size_t replies = 0;
        for (size_t at = answer.find("HTTP/1.1 "); at != std::string::npos;
             at = answer.find("HTTP/1.1 ", at + 1)) {
            ++replies;
        }
        EXPECT_EQ(c.status == 200 ? 2u : 1u, replies) << c.what << ": " << answer;
        if (c.status != 200) {
            EXPECT_NE(std::string::npos, answer.find("\r\nConnection: close\r\n")) << c.what;
            EXPECT_EQ(R"({"asr_param":{"err_msg":"HTTP )" + std::to_string(c.status) + R"(","err_no":1}})",
                      bodyOf(answer))
                << c.what;
        }
    }
}

TEST_F(HttpFrontTest, IdleConnectionsMakeRoomForPromptOnes) {
    HttpConfig http;
    http.max_connections = 6;
    http.max_per_client = 3;
    start(fastConfig(), nullptr, http);
    // Two connections in the middle of a request body (the server has read their
    // heads: it said 100 Continue), then four idle ones: the cap is reached.
    const std::string create = "POST /asr/v2?rate=8 HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n";
    std::vector<std::unique_ptr<RawClient>> busy, idle;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        busy.push_back(std::make_unique<RawClient>(http_->port(), from));
        busy.back()->send(create + "Expect: 100-continue\r\n\r\nab");
        ASSERT_EQ("HTTP/1.1 100 Continue\r\n\r\n", busy.back()->readReply());
    }
    for (const char* from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.4"}) {
        idle.push_back(std::make_unique<RawClient>(http_->port(), from));
    }
    // A prompt client is served; the oldest idle connection, not an older busy one, made room.
    const std::string reply = exchange(create + "Connection: close\r\n\r\nabcd", "127.0.0.5");
    EXPECT_EQ(200, statusOf(reply)) << reply;
    EXPECT_NE(std::string::npos, bodyOf(reply).find(R"("err_no":0)")) << reply;
    EXPECT_EQ(408, statusOf(idle[0]->readAll()));
    for (auto& b : busy) {
        b->send("cd");
        EXPECT_EQ(200, statusOf(b->readReply()));
    }
}

TEST_F(HttpFrontTest, CapsSessionsPerClientAsATrustedProxyNamesIt) {
    ServiceConfig config = fastConfig();
    config.max_sessions_per_client = 2;
    HttpConfig http;
    http.trusted_proxies = {"127.0.0.2"};
    start(config, nullptr, http);
    const struct Step {
        const char* from;
        std::string fields;
        int err_no;
    } steps[] = {
        // Not a trusted proxy: what it claims is ignored, its own address counts.
        {"127.0.0.3", "X-Real-IP: 10.0.0.1\r\n", 0},
        {"127.0.0.3", "X-Real-IP: 10.0.0.2\r\n", 0},
        {"127.0.0.3", "X-Forwarded-For: 10.0.0.3\r\n", kLimitReached},
        // The proxy: X-Real-IP, else the last X-Forwarded-For entry, else the proxy itself.
        {"127.0.0.2", "X-Real-IP: 10.0.0.1\r\n", 0},
        {"127.0.0.2", "X-Forwarded-For: 127.0.0.3, 10.0.0.1\r\n", 0},
        {"127.0.0.2", "X-Real-IP: 10.0.0.1\r\nX-Forwarded-For: 10.0.0.2\r\n", kLimitReached},
        {"127.0.0.2", "X-Forwarded-For: 10.0.0.1\r\nX-Forwarded-For: 10.0.0.2\r\n", 0},
        {"127.0.0.2", "X-Real-IP: not an address\r\n", 0},
        {"127.0.0.2", "", 0},
        {"127.0.0.2", "", kLimitReached},
    };
    for (const Step& s : steps)
        EXPECT_EQ(s.err_no, createFrom(s.from, s.fields)) << s.from << " " << s.fields;
    EXPECT_EQ(3, scrape()[R"(asr_refused_total{reason="client_sessions"})"]);

    // A finished session, kept until it expires, no longer counts against its client.
    const std::string sid = newSession();
    newSession();
    EXPECT_EQ(kLimitReached, errNo(create()));
    EXPECT_EQ(0, errNo(upload(sid, -1, std::string(kFillerSize, '\0'))));
    EXPECT_EQ(3, status(fetchFinal(sid)));
    EXPECT_EQ(0, errNo(create()));
}

TEST_F(HttpFrontTest, HealthAndMetricsOnTheRoot) {
    start();
    const std::string health = "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string ok = exchange(health);
    EXPECT_EQ(200, statusOf(ok));
    EXPECT_EQ(R"({"status":"ok"})", bodyOf(ok));

    const auto before = scrape();
    EXPECT_EQ(1, before.at("asr_accepting"));
    newSession();
    EXPECT_EQ(404, statusOf(exchange("GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")));
    EXPECT_EQ(400, statusOf(exchange("GET /metrics HTTP/1.1\r\n\r\n")));  // no Host
    const auto after = scrape();
    const auto moved = [&](const std::string& name) {
        const auto b = before.find(name);
        return after.at(name) - (b == before.end() ? 0 : b->second);
    };
    EXPECT_EQ(1, after.at("asr_sessions_live"));
    EXPECT_EQ(1, moved(R"(asr_http_requests_total{code="404"})"));
    EXPECT_EQ(1, moved(R"(asr_http_requests_total{code="400"})"));
    EXPECT_EQ(1, moved("asr_http_framing_refused_total"));
    EXPECT_EQ(2, moved(R"(asr_http_requests_total{code="200"})"));  // the first scrape and the creation
    EXPECT_EQ(after.at("asr_final_latency_seconds_count"),
              after.at(R"(asr_final_latency_seconds_bucket{le="+Inf"})"));

    service_->shutdown();  // draining: no new sessions
    EXPECT_EQ(503, statusOf(exchange(health)));
    EXPECT_EQ(0, scrape().at("asr_accepting"));
}

TEST_F(HttpFrontTest, SidsAre128RandomBits) {
    for (const std::string node : {"", "n1"}) {
        EchoRecognizer recognizer;
        ServiceConfig config;
        config.node = node;
        config.max_sessions_per_client = 200;
        Service service(recognizer, config);
        const std::string prefix = node.empty() ? "" : node + ".";
        std::set<std::string> sids;
        uint64_t any[2] = {0, 0}, all[2] = {~0ull, ~0ull};  // bits set in any sid, in all of them
        for (int i = 0; i < 200; ++i) {
            Json::Value v;
            std::istringstream(service.post(Query(), {}, true, "c").body) >> v;
            const std::string sid = v["asr_param"]["sid"].asString();
            const std::string hex = sid.substr(std::min(prefix.size(), sid.size()));
            ASSERT_TRUE(sid.compare(0, prefix.size(), prefix) == 0 && hex.size() == 32 &&
                        hex.find_first_not_of("0123456789abcdef") == std::string::npos)
                << sid;
            sids.insert(sid);
            for (int half = 0; half < 2; ++half) {
                const uint64_t bits = std::stoull(hex.substr(16 * half, 16), nullptr, 16);
                any[half] |= bits;
                all[half] &= bits;
            }
        }
        EXPECT_EQ(200u, sids.size());
        // Each of the 128 bits took both values (a fixed bit would show in 200 sids).
        EXPECT_EQ(~0ull, any[0] & any[1]);
        EXPECT_EQ(0ull, all[0] | all[1]);
    }
}

}  // namespace
}  // namespace asrserver
