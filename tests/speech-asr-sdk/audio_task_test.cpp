// Upload and fetch tasks and the result pull loop, against the scripted
// loopback server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "speech-asr-sdk/AudioTask.h"
#include "support/sdk_sessions.h"

using vela::AudioTask;
using vela::VelaASRLinuxSDK;
using vela::VelaASRMessage;
using vela_test::EventLog;
using vela_test::Reply;

namespace {

std::string logidText(const VelaASRLinuxSDK* inst) {
    return "[logid:" + std::to_string(static_cast<unsigned>(inst->_logid)) + "]";
}

// The listener's JSON for one event.
std::string eventJson(int status, const std::string& escaped_content, int begin, int end) {
    return R"({"header":{"status":)" + std::to_string(status) + R"(},"payload":{"asr_content":")" +
           escaped_content + R"(","begintime":)" + std::to_string(begin) + R"(,"endtime":)" +
           std::to_string(end) + "}}\n";
}

using SessionTest = vela_test::SdkSessionTest;

}  // namespace

TEST_F(SessionTest, EachReplyGivesOneEventAndTheNextFetchFollowsIt) {
    const std::vector<std::string> replies = {
        R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"text":"h\u00e9 \u0001/","n":[1,2.5]}})",
        R"({"asr_param":{"err_no":0,"status":7},"asr_content":"ignored"})",
        R"({"asr_param":{"status":2,"err_no":0}})",
        R"({"asr_content":["fin"],"asr_param":{"err_no":0,"status":3}})"};
    auto gate = std::make_shared<vela_test::Gate>();
    std::atomic<size_t> served{0};
    server_.on(vela_test::methodIs("GET"), [&](const vela_test::RecordedRequest&) {
        const size_t n = served++;
        Reply r = Reply::json(replies.at(std::min(n, replies.size() - 1)));
        return n == 0 ? r.heldBy(gate) : r;
    });
    VelaASRLinuxSDK* inst = make("t1");
    ASSERT_NE(nullptr, inst);
    inst->_createSessionBegin.store({1000, 0});
    inst->_vadBegin.store({1001, 500000});
    inst->_audioTimeEnd.store({1004, 250000});
    timeval pushed;
    gettimeofday(&pushed, nullptr);
    pushed.tv_sec -= 10;
    inst->_last_audio_push.store(pushed);
    SessionTest::LogTail log;
    start(inst);

    // While the first reply is held: one fetch, counted and marked.
    ASSERT_TRUE(gate->waitForWaiting(1));
    EXPECT_EQ(vela::ST_FETCH, inst->status.load());
    EXPECT_EQ(1, inst->concurrency_counter.get());
    gate->open();

    ASSERT_TRUE(EventLog::get().waitFor(4));
    ASSERT_TRUE(settled(inst));
    const std::vector<vela_test::SdkEvent> events = EventLog::get().events();
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ(eventJson(105, R"({\"n\":[1,2.5],\"text\":\"hé \\u0001/\"}\n)", 1500, 4250), events[0].json);
    EXPECT_EQ(eventJson(106, "", 1500, 4250), events[1].json);
    EXPECT_EQ(eventJson(105, R"(null\n)", 1500, 4250), events[2].json);
    EXPECT_EQ(eventJson(107, R"([\"fin\"]\n)", 1500, 4250), events[3].json);
    for (const vela_test::SdkEvent& e : events) {
        EXPECT_EQ("t1", e.arg);
        EXPECT_GE(e.tc, 10000.0f);  // from the last push, ten seconds back
        EXPECT_LT(e.tc, 100000.0f);
    }

    // One request per reply, and the session is left with nothing counted.
    const std::vector<vela_test::RecordedRequest> fetches = gets();
    ASSERT_EQ(4u, fetches.size());
    for (const vela_test::RecordedRequest& r : fetches) {
        EXPECT_EQ("/asr/v2", r.path);
        EXPECT_EQ("pid=37001&appname=com.vela.speech.kestrel&sid=sid-1&rate=8", r.query);
        EXPECT_EQ("application/json", r.header("Content-Type"));
        EXPECT_FALSE(r.hasHeader("Expect"));
    }
    EXPECT_EQ(0, inst->concurrency_counter.get());
    const std::string text = log.text();
    EXPECT_EQ(4u, vela_test::occurrences(
                      text, "VelaASRLinuxSDK::fetch_result url:" + inst->fetch_url() + " logid:"));
    EXPECT_EQ(1u, vela_test::occurrences(
                      text, "AudioTask::handle status :7  " + logidText(inst) + "[asr:unknown asr]"));
    EXPECT_EQ(1u, vela_test::occurrences(text, "AudioTask::handle status :3  " + logidText(inst) + "\n"));
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_EQ(0u, vela_test::sdkPoolSize());
}

TEST_F(SessionTest, EveryFailedFetchEndsTheSessionWithOneError) {
    struct Case {
        Reply reply;
        bool listener;
        std::string logged;  // with the session's logid appended where it ends in "[logid:"
    };
    const std::string status_check = "AudioTask::handle json (status) faild [logid:";
    const std::string param_check = "AudioTask::handle  or json  faild [logid:";
    const std::vector<Case> cases = {
        {Reply::json(R"({"asr_param":{"err_no":1,"status":2}})"), true, param_check},
        {Reply::json(R"({"asr_param":{"err_no":"0","status":2}})"), true, param_check},
        {Reply::json(R"(["asr_param"])"), true, param_check},
        {Reply::json(R"({"asr_param":[0]})"), true, param_check},
        {Reply::json(R"({"asr_param":{"err_no":0,"status":"2"}})"), true, status_check},
        {Reply::json(R"({"asr_param":{"err_no":0}})"), true, status_check},
        {Reply::json("not json"), true, "AudioTask::handle parse json faild [logid:"},
        {Reply::withStatus(500, "{}"), true, "][err:Succ][errno:-1]"},
        {Reply::dropped(), true, "][err:Other error!][errno:-1]"},
        {Reply::json(R"({"asr_param":{"err_no":1,"status":2}})"), false, ""},
        {Reply::json(R"({"asr_param":{"err_no":0,"status":"2"}})"), false, ""},
    };
    server_.on(vela_test::methodIs("GET"), [&](const vela_test::RecordedRequest& r) {
        const size_t at = r.query.find("sid=sid-");
        return cases.at(std::stoul(r.query.substr(at + 8)) - 1).reply;
    });
    std::vector<VelaASRLinuxSDK*> insts;
    std::vector<std::unique_ptr<VelaASRLinuxSDK::Holder>> held;  // later getInstance calls free finished ones
    std::vector<std::string> args;
    for (size_t i = 0; i < cases.size(); ++i) args.push_back("case-" + std::to_string(i));
    SessionTest::LogTail log;
    for (size_t i = 0; i < cases.size(); ++i) {
        insts.push_back(make(cases[i].listener ? args[i].c_str() : nullptr));
        ASSERT_NE(nullptr, insts.back());
        held.emplace_back(new VelaASRLinuxSDK::Holder(insts.back()));
        start(insts.back());
    }
    for (VelaASRLinuxSDK* inst : insts) ASSERT_TRUE(settled(inst, 1));

    const std::vector<vela_test::SdkEvent> events = EventLog::get().events();
    const std::string text = log.text();
    // One fetch each; the dropped one goes out once more when it went over a
    // reused connection (and is dropped again).
    const size_t resent = vela_test::occurrences(text, "sent again on a new connection");
    EXPECT_GE(1u, resent);
    EXPECT_EQ(cases.size() + resent, gets().size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string logid = std::to_string(static_cast<unsigned>(insts[i]->_logid));
        EXPECT_EQ(0, insts[i]->concurrency_counter.get()) << i;
        size_t seen = 0;
        for (const vela_test::SdkEvent& e : events) {
            if (e.arg != args[i]) continue;
            ++seen;
            EXPECT_EQ(eventJson(108, "", 0, 0), e.json) << i;
        }
        EXPECT_EQ(cases[i].listener ? 1u : 0u, seen) << i;
        if (cases[i].listener) {
            const std::string& l = cases[i].logged;
            const std::string want = l.back() == ':' ? l + logid + "]" : "[logid:" + logid + l;
            EXPECT_NE(std::string::npos, text.find(want)) << i << " lacks " << want;
        } else {
            EXPECT_EQ(std::string::npos, text.find(param_check + logid)) << i;
            EXPECT_EQ(std::string::npos, text.find(status_check + logid)) << i;
        }
    }
}

TEST_F(SessionTest, UploadsSendOnePartAndARefusalChangesNothing) {
    server_.on(vela_test::queryContains("idx=3&"), Reply::withStatus(404, "busy"));
    server_.on(vela_test::queryContains("idx=-4&"), Reply::json("ok-body"));
    auto fetches = std::make_shared<vela_test::Gate>();
    server_.on(vela_test::methodIs("GET"), Reply::json("{}").heldBy(fetches));
    VelaASRLinuxSDK* inst = make("up");
    ASSERT_NE(nullptr, inst);
    start(inst);
    ASSERT_TRUE(fetches->waitForWaiting(1));
    const int holders = inst->holders();  // the pull thread and its fetch

    boost::shared_array<char> payload(new char[300]);
    for (int i = 0; i < 300; ++i) payload[i] = static_cast<char>(i * 7);
    SessionTest::LogTail log;
    {
        VelaASRLinuxSDK::Holder creator(inst);
        vela_test::runTask(new AudioTask(1000, inst, payload, inst->upload_url(3), 200, inst->_logid, 0, 3));
        vela_test::runTask(new AudioTask(1000, inst, payload, inst->upload_url(-4), 100, inst->_logid, 0, 4));
    }
    ASSERT_TRUE(server_.waitForAnswers(3));  // the session and both uploads
    ASSERT_TRUE(vela_test::eventually([&] { return inst->holders() == holders; }));

    EXPECT_EQ(vela::ST_FETCH, inst->status.load());
    EXPECT_EQ(1, inst->concurrency_counter.get());
    EXPECT_TRUE(EventLog::get().events().empty());
    std::vector<vela_test::RecordedRequest> reqs;
    for (const vela_test::RecordedRequest& r : server_.requests())
        if (r.method == "POST") reqs.push_back(r);
    ASSERT_EQ(3u, reqs.size());  // no resend after a refusal
    for (size_t i = 1; i < 3; ++i) {
        const vela_test::RecordedRequest& r = reqs[i];
        const bool first = r.query.find("idx=3&") != std::string::npos;
        EXPECT_EQ("POST", r.method);
        EXPECT_EQ(0u, r.header("Content-Type").rfind("application/json; boundary=", 0));
        EXPECT_FALSE(r.hasHeader("Expect"));
        ASSERT_EQ(1u, r.parts.size());
        EXPECT_EQ(R"(form-data; name="asr_audio"; filename="")", r.parts[0].disposition);
        EXPECT_TRUE(r.parts[0].has_filename);
        EXPECT_EQ("audio/pcm", r.parts[0].content_type);
        EXPECT_EQ(std::string(payload.get(), first ? 200 : 100), r.parts[0].data);
    }
    fetches->open();
    const std::string text = log.text();
    const std::string id = logidText(inst);
    EXPECT_NE(std::string::npos, text.find("AudioTask::handle  [url:" + inst->upload_url(3) + "]" + id +
                                           "[err:Succ][errno:-1]"));
    EXPECT_NE(std::string::npos, text.find("AudioTask::handle  [url:" + inst->upload_url(-4) + "]" + id +
                                           "[post size:100][idx:4][buf:ok-body]"));
}

TEST_F(SessionTest, AFetchAfterTheEndLeavesTheSessionFinished) {
    VelaASRLinuxSDK* inst = make("done");
    ASSERT_NE(nullptr, inst);
    inst->notify();
    ASSERT_TRUE(settled(inst));
    const int counted = inst->concurrency_counter.get();
    SessionTest::LogTail log;
    {
        VelaASRLinuxSDK::Holder creator(inst);
        vela_test::runTask(new AudioTask(2000, inst, boost::shared_array<char>(), inst->fetch_url(), 0,
                                         inst->_logid, 1, -1));
    }
    ASSERT_TRUE(vela_test::eventually([&] { return inst->holders() == 0; }));
    EXPECT_EQ(vela::ST_FINISH, inst->status.load());
    EXPECT_EQ(counted, inst->concurrency_counter.get());
    EXPECT_TRUE(EventLog::get().events().empty());
    EXPECT_TRUE(gets().empty());
    EXPECT_NE(std::string::npos, log.text().find("fetch dropped " + logidText(inst)));
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_EQ(0u, vela_test::sdkPoolSize());
}
