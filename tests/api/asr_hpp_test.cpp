// The C++ interface: RAII client and session, the final result as a future,
// listeners, and failures as exceptions.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "support/scripted_http_server.h"
#include "support/temp_dir.h"
#include "vela/asr.hpp"

namespace {

using vela_test::Reply;

TEST(CppApi, FutureListenerAndErrorsFollowTheSessionsEnd) {
    vela_test::ScriptedHttpServer server;
    server.on(vela_test::hasPart("create-session"), Reply::json(R"({"asr_param":{"err_no":0,"sid":"s9"}})"));
    // Fetches start with the first audio: each fetch answers "hel" until a
    // session's last packet is in, then that session's final once.
    auto last_packets = std::make_shared<std::atomic<int>>(0);
    auto finals = std::make_shared<std::atomic<int>>(0);
    server.on(vela_test::hasPart("asr_audio"), [last_packets](const vela_test::RecordedRequest& r) {
        if (r.query.find("idx=-") != std::string::npos) ++*last_packets;
        return Reply::json(R"({"asr_param":{"err_no":0}})");
    });
    server.on(vela_test::methodIs("GET"), [last_packets, finals](const vela_test::RecordedRequest&) {
        if (finals->load() < last_packets->load()) {
            ++*finals;
            return Reply::json(
                R"({"asr_param":{"err_no":0,"status":3},"asr_content":{"text":"hello",)"
                R"("words":[{"word":"hello","start_ms":40,"end_ms":610,"conf":0.5}],)"
                R"("alternatives":[{"text":"hello","score":-811.5},{"text":"yellow","score":-900}]}})");
        }
        return Reply::json(R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"text":"hel"}})");
    });

    vela::asr::ClientOptions options;
    options.log_dir = vela_test::processTempDir() + "cpp-logs";
    options.server_url = server.url();
    vela::asr::Client client(options);
    EXPECT_EQ(vela::asr::Client::version(), vela_asr_version());

    const std::vector<int16_t> audio(8000, 50);
    std::vector<std::string> texts;
    vela::asr::Session session = client.open({8, false, false});
    session.on_result([&texts](const vela::asr::Result& r) { texts.push_back(r.text); });
    std::future<vela::asr::Result> final = session.final();
    session.push(audio);
    session.finish();
    const vela::asr::Result result = final.get();
    EXPECT_EQ("hello", result.text);
    ASSERT_EQ(1u, result.words.size());
    EXPECT_EQ("hello", result.words[0].word);
    EXPECT_EQ(40, result.words[0].start_ms);
    EXPECT_EQ(610, result.words[0].end_ms);
    EXPECT_FLOAT_EQ(0.5f, result.words[0].conf);
    ASSERT_EQ(2u, result.alternatives.size());
    EXPECT_EQ("yellow", result.alternatives[1].text);
    EXPECT_DOUBLE_EQ(-900.0, result.alternatives[1].score);
    ASSERT_LE(2u, texts.size());  // intermediate texts, then the final
    EXPECT_EQ("hello", texts.back());
    texts.pop_back();
    for (const std::string& t : texts) EXPECT_EQ("hel", t);
    EXPECT_THROW(session.push(audio), vela::asr::Error);  // after finish

    EXPECT_EQ("hello", vela::asr::transcribe(client, audio).text);

    // A session dropped before its final result ends with an error, which
    // the future carries.
    std::future<vela::asr::Result> dropped;
    {
        vela::asr::Session open = client.open();
        dropped = open.final();
        open.push(audio);
    }
    try {
        dropped.get();
        ADD_FAILURE() << "no error";
    } catch (const vela::asr::Error& e) {
        EXPECT_EQ(VELA_ASR_E_CANCELLED, e.code());
    }

    try {
        client.open({11, false, false});
        ADD_FAILURE() << "rate 11 accepted";
    } catch (const vela::asr::Error& e) {
        EXPECT_EQ(VELA_ASR_E_RATE, e.code());
        EXPECT_STREQ("rate_khz must be 8 or 16, not 11", e.what());
    }
}

}  // namespace
