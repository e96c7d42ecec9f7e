// The second task variant (library speechasr_private): failures are only
// logged, no time stamps, the fixed listener argument "asr_result", and the
// session ended by the final reply itself.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "speech-asr-sdk/AudioTask.h"
#include "support/sdk_sessions.h"

using vela::AudioTask;
using vela::VelaASRLinuxSDK;
using vela_test::EventLog;
using vela_test::Reply;

namespace {

using PrivateTaskTest = vela_test::SdkSessionTest;

}  // namespace

TEST_F(PrivateTaskTest, FailuresAreOnlyLoggedAndTheSessionGoesOnToItsFinalReply) {
    const std::vector<Reply> replies = {
        Reply::json(R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"t":"a\"b"}})"),
        Reply::json(R"({"asr_param":{"err_no":0,"status":7}})"),
        Reply::json("not json"),
        Reply::json(R"({"asr_param":{"err_no":1,"status":2}})"),
        Reply::json(R"({"asr_param":{"err_no":0,"status":"2"}})"),
        Reply::withStatus(500),
        Reply::dropped(),
        Reply::json(R"({"asr_param":{"err_no":0,"status":3},"asr_content":"done"})")};
    auto gate = std::make_shared<vela_test::Gate>();
    std::atomic<size_t> served{0};
    server_.on(vela_test::methodIs("GET"), [&](const vela_test::RecordedRequest&) {
        const size_t n = served++;
        return n == 0 ? replies[0].heldBy(gate) : replies.at(std::min(n, replies.size() - 1));
    });
    VelaASRLinuxSDK* inst = make("mine");
    ASSERT_NE(nullptr, inst);
    inst->_createSessionBegin.store({1000, 0});
    inst->_vadBegin.store({1001, 0});
    inst->_audioTimeEnd.store({1002, 0});
    SdkSessionTest::LogTail log;
    start(inst);

    // No ST_FETCH while a fetch runs.
    ASSERT_TRUE(gate->waitForWaiting(1));
    EXPECT_EQ(vela::ST_RUNNING, inst->status.load());
    EXPECT_EQ(1, inst->concurrency_counter.get());
    gate->open();

    ASSERT_TRUE(settled(inst));
    EXPECT_EQ(replies.size(), gets().size());
    EXPECT_EQ(0, inst->concurrency_counter.get());
    const std::vector<vela_test::SdkEvent> events = EventLog::get().events();
    ASSERT_EQ(3u, events.size());
    const char* expected[] = {
        R"({"header":{"status":105},"payload":{"asr_content":"{\"t\":\"a\\\"b\"}\n","begintime":0,"endtime":0}})",
        R"({"header":{"status":106},"payload":{"asr_content":"","begintime":0,"endtime":0}})",
        R"({"header":{"status":107},"payload":{"asr_content":"\"done\"\n","begintime":0,"endtime":0}})"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::string(expected[i]) + "\n", events[i].json);
        EXPECT_EQ("asr_result", events[i].arg);
        EXPECT_EQ(0.0f, events[i].tc);
    }

    const std::string text = log.text();
    const std::string id = "[logid:" + std::to_string(static_cast<unsigned>(inst->_logid)) + "]";
    EXPECT_EQ(2u,
              vela_test::occurrences(text, "AudioTask::handle  or json  faild " + id));  // one check for both
    EXPECT_EQ(0u, vela_test::occurrences(text, "json (status) faild"));
    EXPECT_EQ(1u, vela_test::occurrences(text, "AudioTask::handle parse json faild " + id));
    EXPECT_EQ(1u, vela_test::occurrences(text, id + "[err:Succ][errno:-1]"));
    // The dropped fetch failed, or went out once more over a new connection
    // when it had gone over a reused one (and got the next reply).
    EXPECT_EQ(1u, vela_test::occurrences(text, id + "[err:Other error!][errno:-1]") +
                      vela_test::occurrences(text, "sent again on a new connection"));
    EXPECT_EQ(vela_test::occurrences(text, "] AudioTask::handle"),
              vela_test::occurrences(text, "VelaASRPrivate:"));
}

TEST_F(PrivateTaskTest, UploadsGoOutAndLateFetchesAreDropped) {
    server_.on(vela_test::hasPart("asr_audio"), Reply::withStatus(500));
    VelaASRLinuxSDK* inst = make("mine");
    ASSERT_NE(nullptr, inst);
    inst->notify();
    ASSERT_TRUE(settled(inst));
    const int counted = inst->concurrency_counter.get();
    boost::shared_array<char> pcm(new char[64]());
    {
        VelaASRLinuxSDK::Holder creator(inst);
        vela_test::runTask(new AudioTask(1000, inst, pcm, inst->upload_url(-1), 64, inst->_logid, 0, 1));
        vela_test::runTask(new AudioTask(2000, inst, boost::shared_array<char>(), inst->fetch_url(), 0,
                                         inst->_logid, 1, -1));
    }
    ASSERT_TRUE(server_.waitForAnswers(2));
    ASSERT_TRUE(vela_test::eventually([&] { return inst->holders() == 0; }));
    EXPECT_EQ(vela::ST_FINISH, inst->status.load());
    EXPECT_EQ(counted, inst->concurrency_counter.get());
    EXPECT_TRUE(EventLog::get().events().empty());
    EXPECT_TRUE(gets().empty());
    const std::vector<vela_test::RecordedRequest> reqs = server_.requests();
    ASSERT_EQ(2u, reqs.size());
    ASSERT_EQ(1u, reqs[1].parts.size());
    EXPECT_EQ(R"(form-data; name="asr_audio"; filename="")", reqs[1].parts[0].disposition);
    EXPECT_EQ(std::string(64, '\0'), reqs[1].parts[0].data);
}
