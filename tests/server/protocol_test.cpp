// The request/reply protocol over loopback HTTP, with the echo recogniser.
#include <algorithm>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "server_fixture.h"

namespace asrserver {
namespace {

std::string bytes(size_t n, char c = 'a') { return std::string(n, c); }

TEST_F(ServerTest, CreatesSessionsWhateverTheBody) {
    start();
    const Json::Value v = create();
    ASSERT_TRUE(v["asr_param"]["err_no"].isInt());
    EXPECT_EQ(0, errNo(v));
    std::set<std::string> sids{v["asr_param"]["sid"].asString(), newSession("16"), newSession("8000")};
    sids.insert(
        postRaw("?pid=1&appname=x&idx=0&rate=8", "hello", "text/plain")["asr_param"]["sid"].asString());
    sids.insert(postRaw("?rate=16", "")["asr_param"]["sid"].asString());
    EXPECT_EQ(5u, sids.size());
    EXPECT_EQ(0u, sids.count(""));
    EXPECT_EQ(kBadRequest, errNo(create("44")));
}

TEST_F(ServerTest, AssemblesOutOfOrderAndDuplicatePackets) {
    start();
    const std::string sid = newSession();
    EXPECT_EQ(0, errNo(upload(sid, 3, bytes(3200))));
    EXPECT_EQ(0, errNo(upload(sid, 1, bytes(3200))));
    EXPECT_EQ(0, errNo(upload(sid, 1, bytes(50))));  // duplicate: the first copy counts
    EXPECT_EQ(0, errNo(upload(sid, 3, bytes(60))));  // duplicate of a packet still waiting
    Json::Value v = fetch(sid);
    EXPECT_EQ(2, status(v));
    EXPECT_EQ("received 3200 bytes in 1 packets", text(v));
    EXPECT_EQ(1, v["asr_content"]["packets"].asInt());
    EXPECT_EQ(sid, v["asr_content"]["sid"].asString());

    EXPECT_EQ(0, errNo(upload(sid, 2, bytes(3200))));
    v = fetch(sid);
    EXPECT_EQ(2, status(v));
    EXPECT_EQ("received 9600 bytes in 3 packets", text(v));
    EXPECT_EQ(0, errNo(upload(sid, -4, bytes(1000))));
    v = fetch(sid);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("received 10600 bytes in 4 packets", text(v));
}

TEST_F(ServerTest, FinalOnlyOnceEveryPacketUpToTheLastIsIn) {
    start();
    const std::string sid = newSession();
    EXPECT_EQ(0, errNo(upload(sid, -3, bytes(400))));
    EXPECT_EQ(2, status(fetch(sid)));
    EXPECT_EQ(0, errNo(upload(sid, 1, bytes(400))));
    Json::Value v = fetch(sid);
    EXPECT_EQ(2, status(v));
    EXPECT_EQ(1, v["asr_content"]["packets"].asInt());
    EXPECT_EQ(0, errNo(upload(sid, 2, bytes(400))));
    v = fetch(sid);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("received 1200 bytes in 3 packets", text(v));

    EXPECT_EQ(kBadPacket, errNo(upload(sid, 4, bytes(400))));  // regular packet after the last
    EXPECT_EQ(0, errNo(upload(sid, -4, bytes(100))));          // a repeated stop is ignored
    EXPECT_EQ(text(v), text(fetch(sid)));
    EXPECT_EQ(3, status(fetch(sid)));
}

TEST_F(ServerTest, FirstEndPacketWinsAndFillersCarryNoAudio) {
    start();
    // Two stops: -5 overtakes -4 on the wire; both are 100-byte end markers.
    const std::string sid = newSession();
    EXPECT_EQ(0, errNo(upload(sid, -5, bytes(100))));
    EXPECT_EQ(0, errNo(upload(sid, -4, bytes(100))));
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(0, errNo(upload(sid, i, bytes(3200))));
    const Json::Value v = fetch(sid);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("received 9600 bytes in 3 packets", text(v));
    EXPECT_EQ(4, v["asr_content"]["packets"].asInt());

    // A session that is stopped before any audio still gets a final result.
    const std::string empty = newSession();
    EXPECT_EQ(0, errNo(upload(empty, -1, bytes(100))));
    EXPECT_EQ("received 0 bytes in 0 packets", text(fetch(empty)));
}

TEST_F(ServerTest, RejectsMalformedRequestsWithAnError) {
    start();
    const std::string sid = newSession();
    const std::string q = "?pid=1&appname=t&sid=" + sid + "&rate=8";
    EXPECT_EQ(kBadRequest, errNo(postRaw(q + "&idx=1", "not a multipart body")));
    EXPECT_EQ(kBadRequest, errNo(postRaw(q + "&idx=1", form("other", "x", true))));
    EXPECT_EQ(kBadRequest, errNo(postRaw(q + "&idx=x1", form("asr_audio", "x", true))));
    EXPECT_EQ(kBadRequest, errNo(postRaw(q + "&idx=99999999999", form("asr_audio", "x", true))));
    EXPECT_EQ(kBadRequest, errNo(postRaw(q, form("asr_audio", "x", true))));
    EXPECT_EQ(kBadRequest, errNo(postRaw("?idx=1", form("asr_audio", "x", true))));
    EXPECT_EQ(kBadPacket, errNo(postRaw(q + "&idx=0", form("asr_audio", "x", true))));
    EXPECT_EQ(kBadPacket, errNo(postRaw(q + "&idx=-2000000", form("asr_audio", "x", true))));
    EXPECT_EQ(kBadRequest, errNo(parse(client_->Get(kPath))));
    EXPECT_EQ(kUnknownSession, errNo(upload("nope", 1, "xx")));
    EXPECT_EQ(kUnknownSession, errNo(fetch("nope")));

    EXPECT_EQ(kBadRequest, errNo(parse(client_->Get("/elsewhere"), 404)));
    // The session is unharmed by all of this.
    EXPECT_EQ(0, errNo(upload(sid, -1, bytes(300))));
    EXPECT_EQ("received 300 bytes in 1 packets", text(fetch(sid)));
}

TEST_F(ServerTest, HeldFetchAnswersAsSoonAsAudioArrives) {
    ServiceConfig config = fastConfig();
    config.hold = std::chrono::minutes(10);
    start(config);
    const std::string sid = newSession();
    Json::Value held;
    std::thread fetcher([&] { held = fetch(sid, true); });
    while (service_->activeRequests() == 0) std::this_thread::yield();  // the fetch is waiting
    EXPECT_EQ(0, errNo(upload(sid, 1, bytes(320))));
    fetcher.join();
    EXPECT_EQ(2, status(held));
    EXPECT_EQ(1, held["asr_content"]["packets"].asInt());
}

TEST_F(ServerTest, StopReleasesHeldFetches) {
    ServiceConfig config = fastConfig();
    config.hold = std::chrono::minutes(10);
    start(config);
    const std::string sid = newSession();
    Json::Value held;
    std::thread fetcher([&] { held = fetch(sid, true); });
    while (service_->activeRequests() == 0) std::this_thread::yield();
    http_->stop();
    fetcher.join();
    EXPECT_EQ(kUnknownSession, errNo(held));
}

TEST_F(ServerTest, FinalDelayWithholdsTheFinalResult) {
    ServiceConfig config = fastConfig();
    config.limits.final_delay = std::chrono::hours(1);
    start(config);
    const std::string sid = newSession();
    EXPECT_EQ(0, errNo(upload(sid, -1, bytes(200))));
    const Json::Value v = fetch(sid);
    EXPECT_EQ(2, status(v));
    EXPECT_EQ("received 200 bytes in 1 packets", text(v));
    EXPECT_EQ(2, status(fetch(sid)));
}

TEST_F(ServerTest, ExpiresIdleSessionsOnly) {
    start();
    const std::string idle = newSession();
    const std::string busy = newSession();
    advanceClock(std::chrono::seconds(20));
    EXPECT_EQ(0, errNo(upload(busy, 1, bytes(200))));
    EXPECT_EQ(0u, service_->expireIdle());
    advanceClock(std::chrono::seconds(20));
    EXPECT_EQ(1u, service_->expireIdle());
    EXPECT_EQ(kUnknownSession, errNo(fetch(idle)));
    EXPECT_EQ(kUnknownSession, errNo(upload(idle, 1, bytes(200))));
    EXPECT_EQ(0, errNo(upload(busy, -2, bytes(200))));
    // Idle that long, it gave its decoder back: its two pieces were decoded apart.
    EXPECT_EQ("received 200 bytes in 1 packets received 200 bytes in 1 packets", text(fetch(busy)));
}

TEST_F(ServerTest, EnforcesSessionAndMemoryLimits) {
    ServiceConfig config = fastConfig();
    config.max_sessions = 2;
    config.limits.max_bytes = 1000;
    start(config);
    const std::string sid = newSession();
    newSession();
    EXPECT_EQ(kLimitReached, errNo(create()));
    advanceClock(std::chrono::minutes(1));
    EXPECT_EQ(0, errNo(create()));  // a full table first drops idle sessions
    EXPECT_EQ(kUnknownSession, errNo(fetch(sid)));

    const std::string big = newSession();
    EXPECT_EQ(0, errNo(upload(big, 2, bytes(800))));
    EXPECT_EQ(kLimitReached, errNo(upload(big, 3, bytes(800))));  // both would wait for packet 1
    EXPECT_EQ(0, errNo(upload(big, 1, bytes(800))));              // consumed at once: nothing held
    EXPECT_EQ(0, errNo(upload(big, -3, bytes(800))));
    EXPECT_EQ("received 2400 bytes in 3 packets", text(fetch(big)));
}

TEST_F(ServerTest, ConcurrentUploadsOfManySessions) {
    start();
    constexpr int kSessions = 12;
    constexpr int kPackets = 8;
    std::vector<std::pair<std::string, int>> work;
    std::vector<std::string> sids;
    for (int s = 0; s < kSessions; ++s) {
        sids.push_back(newSession());
        for (int i = 1; i <= kPackets; ++i) work.emplace_back(sids.back(), i == kPackets ? -i : i);
    }
    std::shuffle(work.begin(), work.end(), std::mt19937(7));
    std::atomic<size_t> next{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            httplib::Client c("127.0.0.1", http_->port());
            for (size_t i = next++; i < work.size(); i = next++) {
                const std::string q =
                    std::string(kPath) + "?idx=" + std::to_string(work[i].second) + "&sid=" + work[i].first;
                const std::string type = std::string("application/json; boundary=") + kBoundary;
                const auto res = c.Post(q.c_str(), form("asr_audio", bytes(3200), true), type.c_str());
                if (!res || res->body != R"({"asr_param":{"err_no":0}})") ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    for (const auto& sid : sids) {
        const Json::Value v = fetch(sid);
        EXPECT_EQ(3, status(v));
        EXPECT_EQ("received 25600 bytes in 8 packets", text(v));
    }
}

}  // namespace
}  // namespace asrserver
