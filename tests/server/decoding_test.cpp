// Decoding beside the requests: uploads return while the recogniser is busy,
// waiting fetches hold no worker thread, a session cannot claim unbounded
// audio, and the server drains and stops whatever its decoders are doing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "server/asr-server/options.h"
#include "server_fixture.h"

namespace asrserver {
namespace {

// Feeds wait while the gate is shut; the text counts the samples fed.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    int waiting = 0;  // feeds held at the gate
    size_t samples = 0;

    void set(bool o) {
        std::lock_guard<std::mutex> lock(mutex);
        open = o;
        changed.notify_all();
    }
    void untilWaiting(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return waiting >= n; });
    }
};

class GateRecognizer : public Recognizer {
  public:
    explicit GateRecognizer(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
    const char* name() const override { return "gate"; }
    std::unique_ptr<Utterance> open(int, std::chrono::milliseconds) override {
        return std::make_unique<Gated>(gate_);
    }

  private:
    // Holds the gate, not the recogniser: a feed left stuck at stop may end after it.
    struct Gated : Utterance {
        explicit Gated(std::shared_ptr<Gate> g) : gate(std::move(g)) {}
        void feed(const int16_t*, size_t n) override {
            std::unique_lock<std::mutex> lock(gate->mutex);
            ++gate->waiting;
            gate->changed.notify_all();
            gate->changed.wait(lock, [this] { return gate->open; });
            --gate->waiting;
            gate->samples += n;
            fed += n;
        }
        Hypothesis partial() override { return {"fed " + std::to_string(fed), {}, {}}; }
        Hypothesis finish() override { return partial(); }
        std::shared_ptr<Gate> gate;
        size_t fed = 0;
    };
    std::shared_ptr<Gate> gate_;
};

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

class DecodingTest : public ServerTest {
  protected:
    void startGated(ServiceConfig config = fastConfig(), HttpConfig http = HttpConfig()) {
        start(config, std::make_unique<GateRecognizer>(gate_), http);
    }
    std::string errMsg(const Json::Value& v) { return v["asr_param"]["err_msg"].asString(); }

    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

// A session may claim at most --max-session-s of audio, by its packet numbers
// or by what it stored; audio made for lost packets is held audio too.
TEST_F(DecodingTest, SessionLengthIsCappedAndFillsCountAsHeldAudio) {
    ServiceConfig config = fastConfig();
    config.limits.max_audio = std::chrono::seconds(10);  // 160,000 bytes of PCM at 8 kHz
    config.limits.gap_timeout = std::chrono::milliseconds(0);
    config.max_held_bytes = 100000;
    startGated(config);
    const std::string cap = "limit reached: a session may carry at most 10 s of audio";
    const struct Case {
        const char* what;
        std::vector<std::pair<int, size_t>> packets;  // index, bytes; the last one is judged
        int err_no;
    } cases[] = {
        {"end marker a million packets on", {{2, 60000}, {-1000000, 100}}, 4},
        {"regular packet beyond the cap", {{2, 3200}, {51, 3200}}, 4},
        {"end marker at the cap", {{2, 3200}, {-50, 100}}, 0},
        {"stored audio beyond the cap", {{1, 80000}, {2, 40000}, {3, 40000}, {4, 40000}}, 4},
        {"the first packet alone", {{1, 160002}}, 4},
    };
    for (const Case& c : cases) {
        const std::string sid = newSession();
        for (size_t i = 0; i + 1 < c.packets.size(); ++i) {
            EXPECT_EQ(0, errNo(upload(sid, c.packets[i].first, std::string(c.packets[i].second, 'a'))))
                << c.what;
        }
        const auto t0 = std::chrono::steady_clock::now();
        const Json::Value v = upload(sid, c.packets.back().first, std::string(c.packets.back().second, 'a'));
        std::printf("[ figure   ] %s: answered in %.1f ms\n", c.what, msSince(t0));
        EXPECT_EQ(c.err_no, errNo(v)) << c.what;
        EXPECT_EQ(c.err_no == 0 ? "" : cap, errMsg(v)) << c.what;
    }
    EXPECT_EQ(4u, service_->stats().refused["session_length"]);

    // 31 lost packets of 3,200 bytes would make 99,200 bytes; with 3,200 more
    // held they may not be made: given up without audio, and the session finishes.
    TearDown();  // a fresh server: nothing held
    startGated(config);
    const std::string sid = newSession();
    EXPECT_EQ(0, errNo(upload(sid, 1, std::string(3200, 'a'))));
    EXPECT_EQ(0, errNo(upload(sid, 2, std::string(3200, 'a'))));
    EXPECT_EQ(0, errNo(upload(sid, 34, std::string(3200, 'a'))));  // held: waits for 3 to 33
    EXPECT_EQ(0, errNo(upload(sid, -35, std::string(100, 'a'))));
    const Json::Value v = fetchFinal(sid);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ(31, v["asr_content"]["missing"].asInt());
    EXPECT_EQ("fed 4800", text(v));  // three packets of 1,600 samples, no filler
    EXPECT_EQ(0u, service_->heldBytes());
}

// Uploads are answered once stored and fetches answer from the text decoded
// so far, while the recogniser is stuck; a backlog past its bound refuses new
// sessions, and every session still finishes once decoding goes on.
TEST_F(DecodingTest, UploadsAndFetchesDoNotWaitForDecoding) {
    ServiceConfig config = fastConfig();
    config.max_backlog_s = 1;
    startGated(config);
    const std::string sid = newSession();
    gate_->set(false);
    EXPECT_EQ(0, errNo(upload(sid, 1, std::string(6400, 'a'))));
    gate_->untilWaiting(1);
    for (int i = 2; i <= 10; ++i)
        EXPECT_EQ(0, errNo(upload(sid, i, std::string(6400, 'a'))));  // 2 s at 8 kHz
    Json::Value v = fetch(sid);
    EXPECT_EQ(2, status(v));
    EXPECT_EQ(10, v["asr_content"]["packets"].asInt());
    EXPECT_EQ("", text(v));
    EXPECT_EQ(0, errNo(upload(sid, -11, std::string(100, 'a'))));
    v = create();
    EXPECT_EQ(4, errNo(v));
    EXPECT_EQ("too many sessions", errMsg(v));
    EXPECT_EQ(1u, service_->stats().refused["backlog"]);

    gate_->set(true);
    EXPECT_EQ("fed 32000", text(fetchFinal(sid)));
    EXPECT_EQ(0, errNo(create()));
}

// Waiting fetches park without a worker: two workers serve a normal session
// beside 400 fetches looping from four addresses, each held until its hold ends.
// (Each reply, the only thing a fetch gets that ends in "}}", sends the next.)
TEST_F(DecodingTest, ParkedFetchesHoldNoWorker) {
    ServiceConfig config = fastConfig();
    config.hold = std::chrono::seconds(1);
    HttpConfig http;
    http.threads = 2;
    start(config, nullptr, http);
    const std::string waiting = newSession();
    EXPECT_EQ(0, errNo(upload(waiting, 2, std::string(320, 'a'))));  // nothing new until packet 1
    const std::string get = std::string("GET ") + kPath + "?sid=" + waiting + " HTTP/1.1\r\nHost: x\r\n\r\n";

    constexpr int kFetches = 400;
    std::vector<pollfd> fds;
    for (int i = 0; i < kFetches; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, ("127.0.0." + std::to_string(2 + i % 4)).c_str(), &a.sin_addr);
        ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        a.sin_port = htons(static_cast<uint16_t>(http_->port()));
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        ASSERT_EQ(static_cast<ssize_t>(get.size()), send(fd, get.data(), get.size(), MSG_NOSIGNAL));
        fds.push_back(pollfd{fd, POLLIN, 0});
    }
    std::atomic<bool> done{false};
    std::atomic<int> replies{0};
    std::thread looper([&] {
        char buf[4096];
        while (!done) {
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            for (pollfd& p : fds) {
                if ((p.revents & POLLIN) == 0) continue;
                const ssize_t n = recv(p.fd, buf, sizeof buf, 0);
                if (n > 1 && buf[n - 1] == '}' && buf[n - 2] == '}') {
                    ++replies;
                    send(p.fd, get.data(), get.size(), MSG_NOSIGNAL);
                }
            }
        }
    });
    while (service_->stats().held_fetches < kFetches && replies == 0) std::this_thread::yield();

    const auto t0 = std::chrono::steady_clock::now();
    const std::string sid = newSession();
    EXPECT_EQ(0, errNo(upload(sid, -1, std::string(320, 'a'))));
    EXPECT_EQ("received 320 bytes in 1 packets", text(fetch(sid)));
    std::printf("[ figure   ] a session beside %d parked fetches took %.1f ms\n", kFetches, msSince(t0));
    while (replies < kFetches) std::this_thread::yield();  // each answered once its hold ended
    done = true;
    looper.join();
    for (const pollfd& p : fds) close(p.fd);
}

// Draining refuses new sessions and reports it; stopping then returns even
// with a decode step stuck in the recogniser, which is left behind.
TEST_F(DecodingTest, DrainsThenStopsDespiteAStuckDecoder) {
    startGated();
    const std::string sid = newSession();
    gate_->set(false);
    EXPECT_EQ(0, errNo(upload(sid, -1, std::string(3200, 'a'))));
    gate_->untilWaiting(1);
    EXPECT_TRUE(service_->accepting());
    EXPECT_FALSE(service_->drain(std::chrono::milliseconds(50)));  // the session cannot finish
    EXPECT_FALSE(service_->stats().accepting);
    const Json::Value v = create();
    EXPECT_EQ(6, errNo(v));
    EXPECT_EQ("server is shutting down", errMsg(v));

    const auto t0 = std::chrono::steady_clock::now();
    http_->stop();
    std::printf("[ figure   ] stop with a stuck decoder took %.1f ms\n", msSince(t0));
    EXPECT_EQ(1u, service_->stuckDecodeThreads());
    EXPECT_EQ(1u, service_->stats().refused["stopping"]);
    gate_->set(true);  // lets the thread left behind end
}

TEST_F(DecodingTest, StatsOfASession) {
    ServiceConfig config = fastConfig();
    config.max_sessions = 1;
    start(config);
    const std::string sid = newSession();
    EXPECT_EQ(4, errNo(create()));
    EXPECT_EQ(0, errNo(upload(sid, 1, std::string(3200, 'a'))));
    EXPECT_EQ(0, errNo(upload(sid, -2, std::string(1600, 'a'))));  // 0.3 s at 8 kHz
    EXPECT_EQ(3, status(fetchFinal(sid)));
    const ServiceStats s = service_->stats();
    EXPECT_TRUE(s.accepting);
    EXPECT_EQ(1u, s.live_sessions);
    EXPECT_EQ(0u, s.decoders_busy);
    EXPECT_EQ(0u, s.held_fetches);
    EXPECT_DOUBLE_EQ(0.3, s.audio_received_s);
    EXPECT_DOUBLE_EQ(0.3, s.audio_decoded_s);
    EXPECT_GT(s.decode_busy_s, 0.0);
    EXPECT_DOUBLE_EQ(0.0, s.backlog_s);
    EXPECT_EQ((std::map<std::string, uint64_t>{{"sessions", 1}}), s.refused);
    ASSERT_EQ(s.final_latency_bounds.size() + 1, s.final_latency_buckets.size());
    EXPECT_EQ(1u, s.final_latency_buckets.back());
    EXPECT_EQ(1u, s.final_latency_count);
    EXPECT_GE(s.final_latency_sum_s, 0.0);
}

TEST(ServerOptions, DecodingAndDrain) {
    const struct Case {
        std::vector<const char*> args;
        bool ok;
    } cases[] = {
        {{"asr-server", "--max-session-s", "60", "--decode-threads", "3", "--max-backlog-s=90", "--drain-s",
          "0"},
         true},
        {{"asr-server", "--max-session-s", "0"}, false},
        {{"asr-server", "--decode-threads", "0"}, false},
        {{"asr-server", "--max-backlog-s", "-5"}, false},
        {{"asr-server", "--drain-s", "x"}, false},
    };
    for (const Case& c : cases) {
        Options o;
        std::string message;
        EXPECT_EQ(c.ok ? ParseOutcome::Run : ParseOutcome::Error,
                  parseOptions(static_cast<int>(c.args.size()), c.args.data(), o, message))
            << c.args[1];
        if (!c.ok) continue;
        EXPECT_EQ(std::chrono::seconds(60), o.service.limits.max_audio);
        EXPECT_EQ(3u, o.service.decode_threads);
        EXPECT_EQ(90.0, o.service.max_backlog_s);
        EXPECT_EQ(std::chrono::seconds(0), o.drain);
    }
    EXPECT_EQ(std::chrono::seconds(2), Options().drain);
    EXPECT_EQ(std::chrono::seconds(300), Options().service.limits.max_audio);
}

}  // namespace
}  // namespace asrserver
