// The C interface against the scripted loopback server: refused input, the
// cause named for each kind of failure, and exactly one final or error result
// per session whether it ends by itself, by close or by shutdown.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_http_server.h"
#include "support/temp_dir.h"
#include "vela/asr.h"

namespace {

using vela_test::Reply;
using vela_test::ScriptedHttpServer;

const char kFinal[] =
    R"({"asr_param":{"err_no":0,"status":3},"asr_content":{"text":"hello world","sid":"s1",)"
    R"("words":[{"word":"hello","start_ms":10,"end_ms":300,"conf":0.75}]}})";

// Answers session creation, uploads and fetches; `fetch` is the fetch reply.
void script(ScriptedHttpServer& server, Reply fetch = Reply::json(kFinal)) {
    server.on(vela_test::hasPart("create-session"), Reply::json(R"({"asr_param":{"err_no":0,"sid":"s1"}})"));
    server.on(vela_test::hasPart("asr_audio"), Reply::json(R"({"asr_param":{"err_no":0}})"));
    server.on(vela_test::methodIs("GET"), fetch);
}

// Every result a session's callback received.
struct Seen {
    std::mutex mutex;
    std::vector<vela_asr_result_kind> kinds;
    std::vector<int> codes;
    std::vector<std::string> sids;
    int terminals() {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (auto k : kinds) n += k == VELA_ASR_RESULT_FINAL || k == VELA_ASR_RESULT_ERROR;
        return n;
    }
    static void record(const vela_asr_result* r, void* user) {
        Seen* self = static_cast<Seen*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->kinds.push_back(r->kind);
        self->codes.push_back(r->code);
        self->sids.push_back(r->sid);
    }
};

// The SDK set up for `url` (and further options), shut down at the end.
struct Sdk {
    explicit Sdk(const std::string& url, std::function<void(vela_asr_options&)> more = nullptr) {
        vela_asr_options o{};
        o.log_dir = dir.c_str();
        o.server_url = url.c_str();
        if (more) more(o);
        EXPECT_EQ(VELA_ASR_OK, vela_asr_init(&o));
    }
    ~Sdk() { vela_asr_shutdown(); }
    std::string dir = vela_test::processTempDir() + "logs";
};

const std::vector<int16_t> kSecond(16000, 100);  // one second at 16 kHz

TEST(CApi, StreamsAndReturnsTheTypedFinalResultOnce) {
    ScriptedHttpServer server;
    // Fetches start with the first audio; the final is held until all of it is sent.
    auto all_sent = std::make_shared<vela_test::Gate>();
    script(server, Reply::json(kFinal).heldBy(all_sent));
    Sdk sdk(server.url());
    Seen seen;
    vela_asr_session* s = nullptr;
    ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, &Seen::record, &seen, &s));
    ASSERT_EQ(VELA_ASR_OK, vela_asr_push(s, kSecond.data(), 1000));  // short of a chunk
    ASSERT_EQ(VELA_ASR_OK, vela_asr_push(s, kSecond.data(), kSecond.size()));
    ASSERT_EQ(VELA_ASR_OK, vela_asr_finish(s));
    all_sent->open();
    vela_asr_result* r = nullptr;
    ASSERT_EQ(VELA_ASR_OK, vela_asr_wait(s, -1, &r));
    EXPECT_EQ(VELA_ASR_RESULT_FINAL, r->kind);
    EXPECT_STREQ("hello world", r->text);
    EXPECT_STREQ("s1", r->sid);
    ASSERT_EQ(1u, r->word_count);
    EXPECT_STREQ("hello", r->words[0].word);
    EXPECT_EQ(300, r->words[0].end_ms);
    EXPECT_FLOAT_EQ(0.75f, r->words[0].conf);
    vela_asr_result_free(r);
    vela_asr_close(s);
    vela_asr_close(s);  // a second close is ignored
    EXPECT_EQ(1, seen.terminals());
    EXPECT_EQ(VELA_ASR_E_CLOSED, vela_asr_push(s, kSecond.data(), 1));

    // 17,000 samples went out as eleven padded 3,200-byte chunks and the end
    // marker (all sent once the shutdown has waited for the uploads).
    vela_asr_shutdown();
    int chunks = 0;
    for (const auto& req : server.requests()) chunks += req.part("asr_audio") != nullptr;
    EXPECT_EQ(12, chunks);
}

TEST(CApi, RefusesBadInputWithClearCodes) {
    ScriptedHttpServer server;
    script(server);
    Sdk sdk(server.url());
    vela_asr_session* s = nullptr;
    ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, nullptr, nullptr, &s));
    vela_asr_session* finished = nullptr;
    ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, nullptr, nullptr, &finished));
    ASSERT_EQ(VELA_ASR_OK, vela_asr_finish(finished));
    vela_asr_session* closed = nullptr;
    ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, nullptr, nullptr, &closed));
    vela_asr_session* refused = s;
    vela_asr_close(closed);
    const vela_asr_session_options rate11{11, 0, 0};
    vela_asr_options level9{};
    level9.log_level = 9;
    auto* made_up = reinterpret_cast<vela_asr_session*>(0x1000);

    const struct {
        const char* what;
        std::function<int()> call;
        int code;
    } cases[] = {
        {"open without a handle pointer", [] { return vela_asr_open(nullptr, nullptr, nullptr, nullptr); },
         VELA_ASR_E_INVALID},
        {"open at 11 kHz", [&] { return vela_asr_open(&rate11, nullptr, nullptr, &refused); },
         VELA_ASR_E_RATE},
        {"init with log level 9", [&] { return vela_asr_init(&level9); }, VELA_ASR_E_INVALID},
        {"push to NULL", [] { return vela_asr_push(nullptr, nullptr, 0); }, VELA_ASR_E_INVALID},
        {"push NULL samples", [&] { return vela_asr_push(s, nullptr, 5); }, VELA_ASR_E_INVALID},
        {"push after finish", [&] { return vela_asr_push(finished, kSecond.data(), 10); }, VELA_ASR_E_STATE},
        {"finish twice", [&] { return vela_asr_finish(finished); }, VELA_ASR_E_STATE},
        {"push after close", [&] { return vela_asr_push(closed, kSecond.data(), 10); }, VELA_ASR_E_CLOSED},
        {"wait on a made-up handle", [&] { return vela_asr_wait(made_up, 0, nullptr); }, VELA_ASR_E_CLOSED},
        {"wait without result", [&] { return vela_asr_wait(s, 0, nullptr); }, VELA_ASR_E_WAIT_TIMEOUT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, c.call()) << c.what;
        EXPECT_STRNE("", vela_asr_last_error(nullptr)) << c.what;
    }
    EXPECT_EQ(nullptr, refused);  // a refused open leaves no handle
    vela_asr_close(made_up);
    vela_asr_close(nullptr);

    vela_asr_shutdown();
    EXPECT_EQ(VELA_ASR_E_SHUTDOWN, vela_asr_push(s, kSecond.data(), 10));
    EXPECT_EQ(VELA_ASR_E_SHUTDOWN, vela_asr_open(nullptr, nullptr, nullptr, &refused));
    vela_asr_close(s);
    EXPECT_STREQ("unknown error code", vela_asr_strerror(-999));
}

// A final result's copy, taken in the callback.
void keepFinal(const vela_asr_result* r, void* user) {
    if (r->kind == VELA_ASR_RESULT_FINAL) *static_cast<vela_asr_result**>(user) = vela_asr_result_copy(r);
}

// Words and alternatives reach the typed result whole and outlive it in
// copies; a list with any malformed entry is dropped whole, the other kept.
TEST(CApi, WordsAndAlternativesArriveWholeOrNotAtAll) {
    const std::string words = R"([{"word":"seven","start_ms":120,"end_ms":480,"conf":0.91},)"
                              R"({"word":"eight","start_ms":480,"end_ms":900,"conf":1}])";
    const std::string alternatives =
        R"([{"text":"seven eight","score":-1234.0},{"text":"","score":-1300.25}])";
    auto oneWord = [](const char* fields) {
        return std::string(R"([{"word":"six","start_ms":0,"end_ms":9,"conf":0.5},{)") + fields + "}]";
    };
    const struct {
        const char* what;
        std::string words, alternatives;
        size_t word_count, alternative_count;
    } cases[] = {
        {"well formed", words, alternatives, 2, 2},
        {"absent", "null", "null", 0, 0},
        {"no conf", oneWord(R"("word":"x","start_ms":1,"end_ms":2)"), alternatives, 0, 2},
        {"time beyond int", oneWord(R"("word":"x","start_ms":1,"end_ms":1e12,"conf":0.5)"), "[]", 0, 0},
        {"fractional time", oneWord(R"("word":"x","start_ms":1.5,"end_ms":2,"conf":0.5)"), "[]", 0, 0},
        {"negative time", oneWord(R"("word":"x","start_ms":-1,"end_ms":2,"conf":0.5)"), "[]", 0, 0},
        {"end before start", oneWord(R"("word":"x","start_ms":5,"end_ms":2,"conf":0.5)"), "[]", 0, 0},
        {"conf above 1", oneWord(R"("word":"x","start_ms":1,"end_ms":2,"conf":1.5)"), "[]", 0, 0},
        {"conf as text", oneWord(R"("word":"x","start_ms":1,"end_ms":2,"conf":"0.5")"), "[]", 0, 0},
        {"empty word", oneWord(R"("word":"","start_ms":1,"end_ms":2,"conf":0.5)"), "[]", 0, 0},
        {"word not text", oneWord(R"("word":7,"start_ms":1,"end_ms":2,"conf":0.5)"), "[]", 0, 0},
        {"entry not an object", "[1]", R"([["seven",-1]])", 0, 0},
        {"lists as objects", R"({"word":"seven"})", R"({"text":"seven","score":-1})", 0, 0},
        {"score as text", words, R"([{"text":"seven eight","score":-1},{"text":"x","score":"-2"}])", 2, 0},
        {"alternative without text", words, R"([{"score":-1}])", 2, 0},
    };
    ScriptedHttpServer server;
    Sdk sdk(server.url());
    for (const auto& c : cases) {
        server.clearScript();
        auto all_sent = std::make_shared<vela_test::Gate>();  // the final waits for the audio
        script(server,
               Reply::json(R"({"asr_param":{"err_no":0,"status":3},"asr_content":{"text":"seven eight",)"
                           R"("words":)" +
                           c.words + R"(,"alternatives":)" + c.alternatives + "}}")
                   .heldBy(all_sent));
        vela_asr_result* kept = nullptr;
        vela_asr_session* s = nullptr;
        ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, &keepFinal, &kept, &s)) << c.what;
        ASSERT_EQ(VELA_ASR_OK, vela_asr_push(s, kSecond.data(), 1600));
        ASSERT_EQ(VELA_ASR_OK, vela_asr_finish(s));
        all_sent->open();
        vela_asr_result* r = nullptr;
        ASSERT_EQ(VELA_ASR_OK, vela_asr_wait(s, -1, &r)) << c.what;
        EXPECT_STREQ("seven eight", r->text) << c.what;
        EXPECT_EQ(c.word_count, r->word_count) << c.what;
        EXPECT_EQ(c.word_count == 0, r->words == nullptr) << c.what;
        EXPECT_EQ(c.alternative_count, r->alternative_count) << c.what;
        EXPECT_EQ(c.alternative_count == 0, r->alternatives == nullptr) << c.what;
        vela_asr_result_free(r);
        vela_asr_close(s);
        ASSERT_NE(nullptr, kept) << c.what;
        if (c.word_count == 2 && c.alternative_count == 2) {
            // The callback's copy, and a copy of it, outlive the results they came from.
            vela_asr_result* again = vela_asr_result_copy(kept);
            vela_asr_result_free(kept);
            ASSERT_NE(nullptr, again);
            ASSERT_EQ(2u, again->word_count);
            EXPECT_STREQ("eight", again->words[1].word);
            EXPECT_EQ(480, again->words[1].start_ms);
            EXPECT_EQ(900, again->words[1].end_ms);
            EXPECT_FLOAT_EQ(1.0f, again->words[1].conf);
            EXPECT_FLOAT_EQ(0.91f, again->words[0].conf);
            ASSERT_EQ(2u, again->alternative_count);
            EXPECT_STREQ("seven eight", again->alternatives[0].text);
            EXPECT_DOUBLE_EQ(-1234.0, again->alternatives[0].score);
            EXPECT_STREQ("", again->alternatives[1].text);
            EXPECT_DOUBLE_EQ(-1300.25, again->alternatives[1].score);
            kept = again;
        }
        vela_asr_result_free(kept);
    }
}

// Each failure ends with one error result whose code and text name the cause.
TEST(CApi, ErrorsNameTheirCause) {
    const int refused_port = vela_test::unusedLoopbackPort();
    auto gate = std::make_shared<vela_test::Gate>();  // never opened: the reply stays held
    std::shared_ptr<vela_test::Gate> all_sent;        // holds a failing fetch until the audio is sent
    const struct {
        const char* what;
        bool tls;
        std::function<void(ScriptedHttpServer&)> setup;
        std::function<void(vela_asr_options&)> options;
        bool fails_at_open;
        int code;
        const char* text;  // part of the cause
    } cases[] = {
        {"connection refused", false, nullptr, nullptr, true, VELA_ASR_E_CONNECT, "connection refused"},
        {"untrusted certificate", true, [](ScriptedHttpServer& s) { script(s); }, nullptr, true,
         VELA_ASR_E_TLS, "set VELA_ASR_CA_FILE"},
        {"HTTP status at open", false,
         [](ScriptedHttpServer& s) { s.on(vela_test::anyRequest(), Reply::withStatus(503)); }, nullptr, true,
         VELA_ASR_E_HTTP, "HTTP status 503"},
        {"reply not JSON", false,
         [](ScriptedHttpServer& s) { s.on(vela_test::anyRequest(), Reply::withStatus(200, "<html>")); },
         nullptr, true, VELA_ASR_E_PROTOCOL, "not JSON"},
        {"exchange time-out", false,
         [&](ScriptedHttpServer& s) { s.on(vela_test::anyRequest(), Reply::json("{}").heldBy(gate)); },
         [](vela_asr_options& o) { o.timeout_ms = 200; }, true, VELA_ASR_E_TIMEOUT, "VELA_ASR_TIMEOUT_MS"},
        {"HTTP status of a fetch", false,
         [&](ScriptedHttpServer& s) { script(s, Reply::withStatus(500).heldBy(all_sent)); }, nullptr, false,
         VELA_ASR_E_HTTP, "HTTP status 500"},
        {"result time-out", false,
         [](ScriptedHttpServer& s) { script(s, Reply::json(R"({"asr_param":{"err_no":0,"status":2}})")); },
         [](vela_asr_options& o) { o.result_timeout_ms = 300; }, false, VELA_ASR_E_TIMEOUT,
         "VELA_ASR_RESULT_TIMEOUT_MS"},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server(16, c.tls);
        all_sent = std::make_shared<vela_test::Gate>();
        if (c.setup) c.setup(server);
        const std::string url =
            c.setup ? server.url() : "http://127.0.0.1:" + std::to_string(refused_port) + "/asr/v2";
        Sdk sdk(url, c.options);
        Seen seen;
        vela_asr_session* s = nullptr;
        const int open = vela_asr_open(nullptr, &Seen::record, &seen, &s);
        if (c.fails_at_open) {
            EXPECT_EQ(c.code, open) << c.what;
            EXPECT_NE(std::string::npos, std::string(vela_asr_last_error(nullptr)).find(c.text))
                << c.what << ": " << vela_asr_last_error(nullptr);
            continue;
        }
        ASSERT_EQ(VELA_ASR_OK, open) << c.what;
        ASSERT_EQ(VELA_ASR_OK, vela_asr_push(s, kSecond.data(), kSecond.size()));
        ASSERT_EQ(VELA_ASR_OK, vela_asr_finish(s));
        all_sent->open();
        vela_asr_result* r = nullptr;
        EXPECT_EQ(c.code, vela_asr_wait(s, -1, &r)) << c.what;
        ASSERT_NE(nullptr, r);
        EXPECT_EQ(VELA_ASR_RESULT_ERROR, r->kind);
        EXPECT_NE(std::string::npos, std::string(r->text).find(c.text)) << c.what << ": " << r->text;
        EXPECT_STREQ(r->text, vela_asr_last_error(s));
        vela_asr_result_free(r);
        vela_asr_close(s);
        EXPECT_EQ(1, seen.terminals()) << c.what;
    }
}

// A full pool refuses one more session with VELA_ASR_E_BUSY, on which load
// generators wait; a closed session's slot comes back for the next open.
TEST(CApi, FullPoolAnswersBusyUntilASessionIsClosed) {
    ScriptedHttpServer server;
    script(server);
    Sdk sdk(server.url());
    std::vector<vela_asr_session*> open;
    vela_asr_session* s = nullptr;
    int code = VELA_ASR_OK;
    while (open.size() <= 100 && (code = vela_asr_open(nullptr, nullptr, nullptr, &s)) == VELA_ASR_OK)
        open.push_back(s);
    EXPECT_EQ(VELA_ASR_E_BUSY, code) << vela_asr_last_error(nullptr);
    EXPECT_EQ(100u, open.size());
    vela_asr_close(open.back());
    open.pop_back();
    // The slot is back once the instance's own threads have let go of it.
    for (int i = 0; i < 5000 && (code = vela_asr_open(nullptr, nullptr, nullptr, &s)) == VELA_ASR_E_BUSY;
         ++i) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    ASSERT_EQ(VELA_ASR_OK, code) << vela_asr_last_error(nullptr);
    open.push_back(s);
    for (vela_asr_session* h : open) vela_asr_close(h);
}

// Close and shutdown end a live session with one error result, and no
// callback follows them even when the server answers afterwards.
TEST(CApi, CloseAndShutdownEndLiveSessionsOnce) {
    auto gate = std::make_shared<vela_test::Gate>();
    ScriptedHttpServer server;
    script(server, Reply::json(kFinal).heldBy(gate));
    Seen closed_seen, live_seen[2];
    {
        Sdk sdk(server.url());
        vela_asr_session* s = nullptr;
        ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, &Seen::record, &closed_seen, &s));
        ASSERT_EQ(VELA_ASR_OK, vela_asr_push(s, kSecond.data(), kSecond.size()));
        ASSERT_EQ(VELA_ASR_OK, vela_asr_finish(s));
        ASSERT_TRUE(gate->waitForWaiting(1));  // its fetch is under way
        vela_asr_close(s);
        ASSERT_EQ(1u, closed_seen.codes.size());
        EXPECT_EQ(VELA_ASR_E_CANCELLED, closed_seen.codes[0]);
        EXPECT_EQ("s1", closed_seen.sids[0]);  // an error names its session too

        vela_asr_session* live[2];
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(VELA_ASR_OK, vela_asr_open(nullptr, &Seen::record, &live_seen[i], &live[i]));
            ASSERT_EQ(VELA_ASR_OK, vela_asr_push(live[i], kSecond.data(), kSecond.size()));
        }
        ASSERT_EQ(VELA_ASR_OK, vela_asr_finish(live[0]));
        gate->open();  // ends with the shutdown, which waits for the fetches
    }
    EXPECT_EQ(1u, closed_seen.codes.size());
    for (Seen& seen : live_seen) {
        ASSERT_EQ(1, seen.terminals());
        // The first session may have got its final result before the shutdown.
        const bool final = seen.kinds.back() == VELA_ASR_RESULT_FINAL;
        EXPECT_TRUE(final || seen.codes.back() == VELA_ASR_E_SHUTDOWN) << seen.codes.back();
    }
    EXPECT_EQ(VELA_ASR_E_SHUTDOWN, live_seen[1].codes.back());
}

}  // namespace
