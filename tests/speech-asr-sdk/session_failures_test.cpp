// How sessions meet a misbehaving server or application, through the public
// API: lost uploads, silent and dripping servers, hanging session creation,
// servers that answer at once, redirect loops, hostile session ids, offsets
// of sessions stopped early, late starts and a missing log folder. The
// figures printed ("[ figure ]") are for reading, not checked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/sdk_sessions.h"
#include "support/temp_dir.h"

using vela::VelaASRLinuxSDK;
using vela_test::EventLog;
using vela_test::RecordedRequest;
using vela_test::Reply;
using Clock = std::chrono::steady_clock;

namespace {

const size_t kChunk = 3200;
const char kMiddle[] = R"({"asr_param":{"err_no":0,"status":2},"asr_content":"partial"})";
const char kFinal[] = R"({"asr_param":{"err_no":0,"status":3},"asr_content":"done"})";
const char* const kLimitVars[] = {"VELA_ASR_CONNECT_TIMEOUT_MS", "VELA_ASR_TIMEOUT_MS",
                                  "VELA_ASR_RESULT_TIMEOUT_MS", "VELA_ASR_FETCH_INTERVAL_MS"};

void figure(const std::string& what, double ms) { std::printf("[ figure ] %s: %.0f ms\n", what.c_str(), ms); }

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Query parameters, percent-decoded, in order.
std::vector<std::pair<std::string, std::string>> params(const std::string& query) {
    auto decode = [](const std::string& s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%' && i + 2 < s.size()) {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    std::vector<std::pair<std::string, std::string>> out;
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string kv = query.substr(at, end - at);
        const size_t eq = kv.find('=');
        out.emplace_back(decode(kv.substr(0, eq)), eq == std::string::npos ? "" : decode(kv.substr(eq + 1)));
        at = end + 1;
    }
    return out;
}

size_t count(const std::vector<vela_test::SdkEvent>& events, vela::Param_t p) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(),
                                             [p](const vela_test::SdkEvent& e) { return e.status == p; }));
}

// Uploads that no rule takes are refused (404), which is only logged.
class FailureTest : public vela_test::SdkSessionTest {
  protected:
    void TearDown() override {
        for (const char* var : kLimitVars) unsetenv(var);
        SdkSessionTest::TearDown();
    }
    // Sets wait limits (milliseconds) for the instances made from now on.
    void limits(const std::map<std::string, std::string>& values) {
        for (const auto& v : values) setenv(v.first.c_str(), v.second.c_str(), 1);
        VelaASRLinuxSDK::init_env(logDir(), "tasks.log", 1);
    }
    // Pushes `chunks` chunks of speech, 20 ms apart, and a stop.
    static void speak(VelaASRLinuxSDK* inst, size_t chunks, bool stop = true) {
        static const std::string pcm = vela_test::testAudio("speech_8k.pcm");
        ASSERT_GE(pcm.size(), (chunks + 3) * kChunk);
        vela::VelaASRMessage msg;
        std::string err;
        for (size_t i = 0; i < chunks; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
            msg.set_parameter(vela::VELA_DATA_CHUNK, const_cast<char*>(&pcm[(i + 3) * kChunk]), kChunk);
            inst->post(msg, err);
        }
        if (!stop) return;
        msg.name = vela::VELA_ASR_CMD_STOP;
        msg.set_parameter(vela::VELA_DATA_CHUNK, nullptr, 0);
        inst->post(msg, err);
    }
    size_t uploadsOf(int idx) const {
        size_t n = 0;
        for (const RecordedRequest& r : server_.requests())
            n += r.part("asr_audio") != nullptr &&
                 r.query.find("idx=" + std::to_string(idx) + "&") != std::string::npos;
        return n;
    }
};

}  // namespace

// An upload lost once is sent again and the session ends normally; one that
// cannot be delivered ends the session with a single error, and it is freed.
TEST_F(FailureTest, LostUploadIsResentOrEndsTheSessionOnce) {
    for (const bool always : {false, true}) {
        server_.clearRequests();
        EventLog::get().clear();
        server_.on(vela_test::allOf({vela_test::hasPart("asr_audio"), vela_test::queryContains("idx=2&")}),
                   Reply::dropped(), always ? vela_test::ScriptedHttpServer::kForever : 1);
        server_.on(vela_test::methodIs("GET"), [this, always](const RecordedRequest&) {
            return Reply::json(!always && uploadsOf(2) >= 2 ? kFinal : kMiddle);
        });
        VelaASRLinuxSDK* inst = make("lost");
        ASSERT_NE(nullptr, inst);
        LogTail log;
        const Clock::time_point t0 = Clock::now();
        speak(inst, 3);
        ASSERT_TRUE(settled(inst)) << always;
        const std::vector<vela_test::SdkEvent> events = EventLog::get().events();
        EXPECT_EQ(always ? 0u : 1u, count(events, vela::VELA_ASR_FINISH)) << always;
        EXPECT_EQ(always ? 1u : 0u, count(events, vela::VELA_ASR_ERR)) << always;
        // Three resends at most; each goes out once more when it went over a
        // reused connection (and is dropped again).
        size_t resent = 0;
        std::istringstream lines(log.text());
        for (std::string line; std::getline(lines, line);)
            resent +=
                line.find("&idx=2&") != std::string::npos && line.find("sent again") != std::string::npos;
        EXPECT_EQ(always ? 4u + resent : 2u, uploadsOf(2)) << always;
        EXPECT_EQ(always, log.text().find("upload of packet 2 not delivered") != std::string::npos);
        if (always) figure("undeliverable upload to error", msSince(t0));
        VelaASRLinuxSDK::clean_resource(false);
        EXPECT_EQ(0u, vela_test::sdkPoolSize());
        server_.clearScript();
        SetUp();
    }
}

// Nothing waits for the server without bound: a session request or a fetch
// that is never answered fails after the exchange time-out, a session whose
// results drip in without an end fails after the result time-out. Bad
// settings are refused and logged.
TEST_F(FailureTest, WaitingIsBounded) {
    limits({{"VELA_ASR_TIMEOUT_MS", "300"}, {"VELA_ASR_RESULT_TIMEOUT_MS", "400"}});
    auto never = std::make_shared<vela_test::Gate>();

    server_.clearScript();
    server_.on(vela_test::anyRequest(), Reply::json("{}").heldBy(never));
    std::string err;
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
    EXPECT_EQ("create session  failure", err);
    figure("silent server, session creation to failure", msSince(t0));

    struct Case {
        const char* name;
        Reply fetch;
        bool stop;
        const char* logged;
    };
    for (const Case& c :
         {Case{"silent fetch", Reply::json(kFinal).heldBy(never), false, "[err:Other error!]"},
          Case{"dripping", Reply::json(kMiddle), true, "no final result within 400 ms"}}) {
        server_.clearScript();
        SetUp();
        EventLog::get().clear();
        server_.on(vela_test::methodIs("GET"), c.fetch);
        VelaASRLinuxSDK* inst = make(c.name);
        ASSERT_NE(nullptr, inst);
        LogTail log;
        t0 = Clock::now();
        speak(inst, 2, c.stop);
        start(inst);
        ASSERT_TRUE(settled(inst)) << c.name;
        figure(std::string(c.name) + " server to error", msSince(t0));
        EXPECT_EQ(1u, count(EventLog::get().events(), vela::VELA_ASR_ERR)) << c.name;
        EXPECT_NE(std::string::npos, log.text().find(c.logged)) << c.name;
    }
    never->open();

    for (const char* var : kLimitVars) unsetenv(var);
    LogTail log;
    limits({{"VELA_ASR_TIMEOUT_MS", "12x"},
            {"VELA_ASR_CONNECT_TIMEOUT_MS", "0"},
            {"VELA_ASR_FETCH_INTERVAL_MS", "0"}});
    EXPECT_EQ(60000, VelaASRLinuxSDK::_wait_limits.exchange_ms);
    EXPECT_EQ(5000, VelaASRLinuxSDK::_wait_limits.connect_ms);
    EXPECT_EQ(0, VelaASRLinuxSDK::_wait_limits.fetch_interval_ms);
    const std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("ignored VELA_ASR_TIMEOUT_MS=12x"));
    EXPECT_NE(std::string::npos, text.find("ignored VELA_ASR_CONNECT_TIMEOUT_MS=0"));
    EXPECT_NE(std::string::npos,
              text.find("[connect_timeout_ms:5000][timeout_ms:60000][result_timeout_ms:30000]"
                        "[fetch_interval_ms:0]"));
}

// A session request that hangs blocks no other getInstance, and the pool
// limit counts it.
TEST_F(FailureTest, HangingSessionCreationBlocksNobody) {
    auto gate = std::make_shared<vela_test::Gate>();
    server_.clearScript();
    server_.on(vela_test::hasPart("create-session"),
               Reply::json(R"({"asr_param":{"err_no":0,"sid":"slow"}})").heldBy(gate), 1);
    SetUp();
    VelaASRLinuxSDK::_default_instance_count = 2;
    VelaASRLinuxSDK* slow = nullptr;
    std::thread first([&] {
        std::string err;
        slow = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
    });
    ASSERT_TRUE(gate->waitForWaiting(1));
    std::string err;
    VelaASRLinuxSDK* fast = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
    EXPECT_NE(nullptr, fast);
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
    EXPECT_EQ("instance exceed ", err);
    gate->open();
    first.join();
    ASSERT_NE(nullptr, slow);
    EXPECT_EQ("slow", slow->_sid);
    EXPECT_EQ(2u, vela_test::sdkPoolSize());
}

// Fetches answered at once are spaced by the fetch interval; a fetch that the
// server held is followed at once by the next.
TEST_F(FailureTest, FetchesAreSpacedUnlessLongPolled) {
    struct Case {
        const char* name;
        std::chrono::milliseconds hold;
    };
    for (const Case& c :
         {Case{"at once", std::chrono::milliseconds(0)}, Case{"held", std::chrono::milliseconds(120)}}) {
        std::vector<Clock::time_point> arrived, answered;
        std::mutex m;
        server_.clearScript();
        SetUp();
        server_.on(vela_test::methodIs("GET"), [&](const RecordedRequest&) {
            {
                std::lock_guard<std::mutex> lock(m);
                arrived.push_back(Clock::now());
            }
            std::this_thread::sleep_for(c.hold);
            std::lock_guard<std::mutex> lock(m);
            answered.push_back(Clock::now());
            return Reply::json(arrived.size() > 10 ? kFinal : kMiddle);
        });
        VelaASRLinuxSDK* inst = make(c.name);
        ASSERT_NE(nullptr, inst);
        start(inst);
        ASSERT_TRUE(settled(inst));
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(11u, arrived.size());
        const double span =
            std::chrono::duration<double, std::milli>(arrived.back() - arrived.front()).count();
        figure(std::string(c.name) + ": 10 fetch intervals", span);
        if (c.hold.count() == 0) {
            EXPECT_GE(span, 10 * 50 * 0.8) << "fetches closer than the 50 ms interval";
        } else {
            std::vector<double> gaps;
            for (size_t i = 0; i + 1 < arrived.size(); ++i)
                gaps.push_back(
                    std::chrono::duration<double, std::milli>(arrived[i + 1] - answered[i]).count());
            std::sort(gaps.begin(), gaps.end());
            EXPECT_LT(gaps[gaps.size() / 2], 50.0) << "a held fetch waited for the interval";
        }
    }
}

// A server whose connect never completes: the connect time-out ends the
// session request, not the minute-long exchange limit.
TEST_F(FailureTest, ConnectingIsBounded) {
    // A listener with a full accept queue: the kernel drops further SYNs, so a
    // connect to it hangs.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), len));
    ASSERT_EQ(0, listen(listener, 0));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
    std::vector<int> fillers;
    bool hangs = false;
    for (int i = 0; i < 8 && !hangs; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.push_back(c);
        connect(c, reinterpret_cast<sockaddr*>(&addr), len);
        pollfd p{c, POLLOUT, 0};
        hangs = poll(&p, 1, 100) == 0;  // not connected within 100 ms: the queue is full
    }
    if (hangs) {
        setenv("VELA_ASR_SERVER_URL",
               ("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/asr/v2").c_str(), 1);
        limits({{"VELA_ASR_CONNECT_TIMEOUT_MS", "300"}});
        std::string err;
        const Clock::time_point t0 = Clock::now();
        EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
        EXPECT_EQ("create session  failure", err);
        figure("connect never completing, session creation to failure", msSince(t0));
        EXPECT_LT(msSince(t0), 10000.0) << "the connect time-out did not end the request";
    }
    for (const int c : fillers) close(c);
    close(listener);
    if (!hangs) GTEST_SKIP() << "this kernel completed every connect to a full listener";
}

// The fetch interval does not hold back the fetch that follows the last
// packet: the final result comes without waiting out the interval.
TEST_F(FailureTest, LastPacketIsFetchedWithoutWaitingOutTheInterval) {
    limits({{"VELA_ASR_FETCH_INTERVAL_MS", "60000"}});
    std::atomic<int> fetches{0};
    server_.on(vela_test::methodIs("GET"), [this, &fetches](const RecordedRequest&) {
        if (fetches++ == 0) return Reply::json(kMiddle);  // before the last packet
        for (int i = 0; i < 1000; ++i) {                  // hold, as a long poll does
            for (const RecordedRequest& r : server_.requests())
                if (r.part("asr_audio") != nullptr && r.query.find("idx=-") != std::string::npos)
                    return Reply::json(kFinal);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return Reply::json(kMiddle);
    });
    VelaASRLinuxSDK* inst = make("last packet");
    ASSERT_NE(nullptr, inst);
    speak(inst, 3, false);
    for (int i = 0; i < 1000 && fetches == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(1, fetches.load()) << "no fetch before the last packet";
    const Clock::time_point t0 = Clock::now();
    vela::VelaASRMessage stop;
    std::string err;
    stop.name = vela::VELA_ASR_CMD_STOP;
    inst->post(stop, err);
    ASSERT_TRUE(settled(inst));
    figure("stop to final result", msSince(t0));
    EXPECT_EQ(1u, count(EventLog::get().events(), vela::VELA_ASR_FINISH));
    EXPECT_LT(msSince(t0), 10000.0) << "the fetch after the last packet waited for the interval";
}

// Redirects: a loop stops after a few, and no other scheme than http(s) is
// followed.
TEST_F(FailureTest, RedirectsAreFewAndOnlyToHttp) {
    struct Case {
        std::string location;
        size_t requests;
        const char* error;
    };
    const std::string ftp = "ftp://127.0.0.1:" + std::to_string(vela_test::unusedLoopbackPort()) + "/x";
    for (const Case& c :
         {Case{server_.url("/asr/v2"), 4, "Other error!"}, Case{ftp, 1, "Protocal not supported!"}}) {
        server_.clearScript();
        server_.clearRequests();
        server_.on(vela_test::anyRequest(), Reply::redirectTo(c.location));
        LogTail log;
        std::string err;
        EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err)) << c.location;
        EXPECT_EQ(c.requests, server_.requestCount()) << c.location;
        EXPECT_NE(std::string::npos, log.text().find(std::string("][err:") + c.error + "]")) << c.location;
    }
}

// A session id never changes the structure of a query; ordinary ones, those
// of a clustered server included, go out unchanged.
TEST_F(FailureTest, SessionIdCannotChangeTheQuery) {
    for (const std::string sid : {"hs1&idx=-77&sid=other", "node1.0123abcd_x-y", "a b/c?d#e%"}) {
        server_.clearScript();
        server_.clearRequests();
        server_.on(vela_test::hasPart("create-session"),
                   Reply::json(R"({"asr_param":{"err_no":0,"sid":")" + sid + R"("}})"));
        server_.on(vela_test::methodIs("GET"), Reply::json(kFinal));
        server_.on(vela_test::hasPart("asr_audio"), Reply::json("{}"));
        VelaASRLinuxSDK* inst = make("sid");
        ASSERT_NE(nullptr, inst);
        speak(inst, 1);
        ASSERT_TRUE(settled(inst));
        ASSERT_TRUE(server_.waitForRequests(4));
        for (const RecordedRequest& r : server_.requests()) {
            if (r.part("create-session") != nullptr) continue;
            const auto ps = params(r.query);
            std::vector<std::string> keys;
            for (const auto& p : ps) keys.push_back(p.first);
            const bool upload = r.method == "POST";
            EXPECT_EQ(upload ? std::vector<std::string>({"pid", "appname", "idx", "sid", "rate"})
                             : std::vector<std::string>({"pid", "appname", "sid", "rate"}),
                      keys)
                << r.query;
            EXPECT_EQ(sid, ps[upload ? 3 : 2].second) << r.query;
        }
        if (sid[0] == 'n') {
            EXPECT_NE(std::string::npos, server_.requests()[1].query.find("&sid=" + sid + "&"));
        }
    }
}

// Offsets: a session stopped before its end of speech ends at its last push;
// without voice detection speech starts at the first chunk, not at each.
TEST_F(FailureTest, OffsetsOfStoppedAndUndetectedSpeech) {
    for (const int vad : {1, 0}) {
        server_.clearScript();
        SetUp();
        EventLog::get().clear();
        auto gate = std::make_shared<vela_test::Gate>();
        server_.on(vela_test::methodIs("GET"), Reply::json(kFinal).heldBy(gate));
        std::string err;
        VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(8, vad, 0, err);
        ASSERT_NE(nullptr, inst);
        inst->set_event_listener(&EventLog::listener, const_cast<char*>("offsets"));
        speak(inst, 8);  // speech starts, but has not ended, when the stop comes
        EXPECT_EQ(0, inst->_isLast);
        gate->open();
        ASSERT_TRUE(settled(inst));
        const std::vector<vela_test::SdkEvent> events = EventLog::get().events();
        ASSERT_FALSE(events.empty());
        Json::Value root;
        ASSERT_TRUE(Json::Reader().parse(events.back().json, root)) << events.back().json;
        const int begin = root["payload"]["begintime"].asInt();
        const int end = root["payload"]["endtime"].asInt();
        EXPECT_LE(0, begin) << vad;
        EXPECT_LE(begin, end) << vad;
        EXPECT_GE(end, 7 * 20 - 5) << vad;  // seven pauses of 20 ms between the pushes
        EXPECT_LT(end, 60000) << vad;
        if (vad == 0) {
            EXPECT_GE(end - begin, 100) << "speech start moved to a later chunk";
        }
    }
}

// An instance started within the first wait is fetched once it is over; one
// not started is finished and freed, and its later posts answer "asr end".
TEST_F(FailureTest, LateStartFindsTheSessionEnded) {
    server_.on(vela_test::methodIs("GET"), Reply::json(kFinal));
    LogTail log;
    VelaASRLinuxSDK* late = make("late");
    VelaASRLinuxSDK* early = make("early");
    ASSERT_TRUE(late != nullptr && early != nullptr);
    const std::string logid = std::to_string(static_cast<unsigned>(late->_logid));
    vela::VelaASRMessage msg;
    msg.name = vela::VELA_ASR_CMD_START;
    std::string err;
    early->post(msg, err);  // no wake-up: fetched after the first wait
    ASSERT_TRUE(settled(early));
    ASSERT_TRUE(settled(late));  // its pull thread gave it up after the first wait
    for (const vela::Msg_t name : {vela::VELA_ASR_CMD_START, vela::VELA_ASR_CMD_PUSH_AUDIO}) {
        msg.name = name;
        EXPECT_EQ(7, late->post(msg, err));
        EXPECT_EQ("asr end", err);
    }
    EXPECT_NE(std::string::npos,
              log.text().find("not started within 2000 ms of its creation, instance finished "
                              "[logid:" +
                              logid + "]"));
    ASSERT_EQ(1u, gets().size());
    EXPECT_NE(std::string::npos, gets()[0].query.find("sid=" + early->_sid + "&"));
    EXPECT_EQ(1u, count(EventLog::get().events(), vela::VELA_ASR_FINISH));
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_EQ(0u, vela_test::sdkPoolSize());
}

// init_env makes a missing log folder; a folder it cannot make costs one line
// on standard error, however much is logged.
TEST_F(FailureTest, MissingLogFolder) {
    const std::string dir = vela_test::processTempDir() + "new/logs";
    const std::string file = vela_test::processTempDir() + "plain";
    std::ofstream(file) << "x";
    for (const std::string& logs : {dir, file + "/logs"}) {
        const bool possible = logs == dir;
        testing::internal::CaptureStderr();
        VelaASRLinuxSDK::init_env(logs, "tasks.log", 1);
        for (int i = 0; i < 100; ++i) VelaASRLinuxSDK::clean_resource(false);
        std::string err;
        EXPECT_NE(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
        const std::string out = testing::internal::GetCapturedStderr();
        if (possible) {
            EXPECT_EQ("", out);
            EXPECT_EQ(0, access((logs + "/tasks.log.NOTICE").c_str(), R_OK));
        } else {
            EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;
            EXPECT_NE(std::string::npos, out.find("cannot use the log folder '" + logs + "'")) << out;
        }
    }
    VelaASRLinuxSDK::init_env(logDir(), "tasks.log", 1);
}
