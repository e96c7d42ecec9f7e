// The HTTP layer under hostile or careless clients: every broken or oversized
// request gets a status and a closed connection, slow clients neither pile up
// nor hold the server, and a normal session beside them is still served.
// Connections are kept alive within limits, and HTTPS is served alike.
#include <cstdlib>
#include <fstream>
#include <thread>

#include "raw_client.h"
#include "server_fixture.h"
#include "support/temp_dir.h"

namespace asrserver {
namespace {

long peakRssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    }
    return 0;
}

class HttpLimitsTest : public ServerTest {
  protected:
    // A whole session beside whatever a test has running.
    void normalSessionFinishes() {
        const std::string sid = newSession();
        EXPECT_EQ(0, errNo(upload(sid, -1, std::string(320, 'a'))));
        EXPECT_EQ("received 320 bytes in 1 packets", text(fetch(sid)));
    }

    std::string head(const std::string& fields) {
        return "POST " + std::string(kPath) + "?rate=8 HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n";
    }
};

TEST_F(HttpLimitsTest, RefusesBrokenAndOversizedRequestsAndCloses) {
    start();
    const struct Case {
        const char* what;
        std::string request;
        bool half_close;
        int status;
    } cases[] = {
        {"length not a number", head("Content-Length: abc\r\n"), false, 400},
        {"length twice", head("Content-Length: 3\r\nContent-Length: 3\r\n") + "abc", false, 400},
        {"length list", head("Content-Length: 3, 3\r\n") + "abc", false, 400},
        {"length and chunked",
         head("Content-Length: 3\r\nTransfer-Encoding: chunked\r\n") + "3\r\nabc\r\n0\r\n\r\n", false, 400},
        {"body cut short", head("Content-Length: 10\r\n") + "abc", true, 400},
        {"head cut short", "POST /asr/v2 HTTP/1.1\r\nHost: x", true, 400},
        {"bad chunk size", head("Transfer-Encoding: chunked\r\n") + "zz\r\nabc\r\n0\r\n\r\n", false, 400},
        {"declared body too large", head("Content-Length: 4194305\r\n"), false, 413},
        {"10,000 header lines",
         [] {
             std::string h = "GET /asr/v2 HTTP/1.1\r\n";
             for (int i = 0; i < 10000; ++i) h += "X-" + std::to_string(i) + ": y\r\n";
             return h + "\r\n";
         }(),
         false, 431},
    };
    for (const Case& c : cases) {
        RawClient client(http_->port());
        client.send(c.request);
        if (c.half_close) client.halfClose();
        const std::string reply = client.readAll();  // returns once the server has closed
        EXPECT_EQ(c.status, statusOf(reply)) << c.what << ": " << reply;
        EXPECT_NE(std::string::npos, reply.find("\r\nConnection: close\r\n")) << c.what;
        EXPECT_EQ(R"({"asr_param":{"err_msg":"HTTP )" + std::to_string(c.status) + R"(","err_no":)" +
                      (c.status == 413 ? "4" : "1") + "}}",
                  bodyOf(reply))
            << c.what;
        normalSessionFinishes();
    }
}

TEST_F(HttpLimitsTest, ChunkedBodyOverTheLimitIsRefusedWithoutGrowing) {
    start();
    const long before = peakRssKb();
    RawClient attacker(http_->port());
    attacker.send(head("Transfer-Encoding: chunked\r\n"));
    // Up to 200 MiB in 64 KiB chunks, until the server stops taking them.
    std::thread sender([&attacker] {
        const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
        for (int i = 0; i < 3200 && attacker.send(chunk); ++i) {
        }
    });
    const std::string reply = attacker.readReply();
    normalSessionFinishes();
    sender.join();
    EXPECT_EQ(413, statusOf(reply)) << reply;
    // The server read at most its 4 MiB limit and a short drain; 200 MiB would show.
    EXPECT_LT(peakRssKb() - before, 48 * 1024);
}

TEST_F(HttpLimitsTest, SlowClientsAreCappedPerAddressAndCutOffByTheHeadDeadline) {
    HttpConfig http;
    http.threads = 2;  // slow clients must not need a worker each
    http.max_per_client = 4;
    http.head_timeout = std::chrono::milliseconds(300);
    start(fastConfig(), nullptr, http);

    std::vector<std::unique_ptr<RawClient>> slow;
    for (int i = 0; i < 6; ++i) {
        slow.push_back(std::make_unique<RawClient>(http_->port(), "127.0.0.2"));
        slow.back()->send("POST /asr/v2 HTTP/1.1\r\nHost: x\r\n");  // never finished
    }
    // Beyond the bound for its address: refused at once.
    for (int i = 4; i < 6; ++i) {
        const std::string reply = slow[i]->readAll();
        EXPECT_TRUE(reply.empty() || statusOf(reply) == 503) << reply;
    }
    normalSessionFinishes();  // another address is served meanwhile
    // One byte at a time does not stretch the deadline of the head.
    std::atomic<bool> answered{false};
    std::thread trickle([&] {
        for (int i = 0; i < 100 && !answered && slow[0]->send("X"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    for (int i = 0; i < 4; ++i) EXPECT_EQ(408, statusOf(slow[i]->readAll())) << i;
    answered = true;
    trickle.join();
    // The bound frees up with the connections (released as the server sees them close).
    slow.clear();
    int answer = 0;
    for (int tries = 0; tries < 250 && answer != 200; ++tries) {
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RawClient again(http_->port(), "127.0.0.2");
        again.send(head("Content-Length: 0\r\nConnection: close\r\n"));
        answer = statusOf(again.readAll());
    }
    EXPECT_EQ(200, answer);
}

TEST_F(HttpLimitsTest, KeepsConnectionsAliveWithinLimits) {
    HttpConfig http;
    http.keep_alive_requests = 3;
    http.keep_alive = std::chrono::milliseconds(500);
    start(fastConfig(), nullptr, http);

    RawClient client(http_->port());
    const std::string get = "GET /asr/v2?sid=nope HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string unknown = R"({"asr_param":{"err_msg":"unknown or expired session","err_no":2}})";
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(client.send(get));
        const std::string reply = client.readReply();
        const std::string expected = std::string("HTTP/1.1 200 OK\r\n") +
                                     (i == 3 ? "Connection: close\r\n" : "") +
                                     "Content-Length: 65\r\nContent-Type: application/json\r\n" +
                                     (i < 3 ? "Keep-Alive: timeout=1, max=3\r\n" : "") + "\r\n" + unknown;
        EXPECT_EQ(expected, reply) << i;
    }
    EXPECT_EQ("", client.readAll());  // closed after the last one

    // An idle connection is closed silently once its time is up.
    RawClient idle(http_->port());
    ASSERT_TRUE(idle.send(get));
    EXPECT_EQ(200, statusOf(idle.readReply()));
    EXPECT_EQ("", idle.readAll());
}

TEST_F(HttpLimitsTest, ServesHttpsAndTimesOutSilentHandshakes) {
    const std::string dir = vela_test::processTempDir();
    const std::string cert = dir + "cert.pem";
    const std::string key = dir + "key.pem";
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
        key + " -out " + cert + " 2>/dev/null";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    HttpConfig http;
    http.tls_cert = cert;
    http.tls_key = key;
    http.head_timeout = std::chrono::milliseconds(300);
    start(fastConfig(), nullptr, http);
    EXPECT_EQ("https://127.0.0.1:" + std::to_string(http_->port()) + "/asr/v2", http_->url());

    RawClient silent(http_->port());  // connects and never says hello

    httplib::SSLClient tls("127.0.0.1", http_->port());
    tls.set_ca_cert_path(cert.c_str());
    tls.enable_server_certificate_verification(true);
    tls.set_read_timeout(20, 0);
    const std::string type = std::string("application/json; boundary=") + kBoundary;
    const Json::Value created = parse(tls.Post((std::string(kPath) + "?rate=8").c_str(), "", "text/plain"));
    const std::string sid = created["asr_param"]["sid"].asString();
    EXPECT_EQ(0, errNo(parse(tls.Post((std::string(kPath) + "?idx=-1&sid=" + sid).c_str(),
                                      form("asr_audio", std::string(640, 'a'), true), type.c_str()))));
    const Json::Value v = parse(tls.Get((std::string(kPath) + "?sid=" + sid).c_str()));
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("received 640 bytes in 1 packets", text(v));

    EXPECT_EQ("", silent.readAll());  // closed by the handshake deadline
}

}  // namespace
}  // namespace asrserver
