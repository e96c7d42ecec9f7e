// Instance pool, session creation and the command answers of one instance,
// against the scripted loopback server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/utilcxx/singleton/singleton.h"
#include "speech-util/utilcxx/thread_pool/task_runner.h"
#include "support/sdk_sessions.h"

using speech::util::RecMutexLock;
using vela::VelaASRLinuxSDK;
using vela::VelaASRMessage;
using vela_test::Reply;

namespace {

const char kSessionJson[] = R"({"devid":"asrclient-test","pfm":"centos6.7","ver":"vert","gender_recog":"1"})";

// By session id: a freed instance's address may be reused at once.
bool inPool(const std::string& sid) {
    RecMutexLock::Lock lock(VelaASRLinuxSDK::_mutex);
    return std::any_of(VelaASRLinuxSDK::_sdk.begin(), VelaASRLinuxSDK::_sdk.end(),
                       [&](const VelaASRLinuxSDK* inst) { return inst->_sid == sid; });
}

// Waits until nothing but `expected` holders hold `inst` (its pull thread
// ends on its own after it has been finished).
void waitForHolders(const VelaASRLinuxSDK* inst, int expected) {
    ASSERT_TRUE(vela_test::eventually([&] { return inst->holders() == expected; }));
}

class SdkTest : public vela_test::SdkSessionTest {
  protected:
    VelaASRLinuxSDK* make(int rate = 8) {
        std::string err;
        VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(rate, 0, 0, err);
        EXPECT_EQ("succ", err);
        return inst;
    }
};

}  // namespace

// ---------------------------------------------------------------- set-up

TEST(SdkSetupDeathTest, GetInstanceBeforeInitEnvIsRefused) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process, in which init_env has not run.
    EXPECT_EXIT(
        {
            std::string err;
            VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
            const bool refused = inst == nullptr && err == "instance exceed " && VelaASRLinuxSDK::err_no == 4;
            std::exit(refused ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(SdkTest, InitEnvIgnoresSigpipeConfiguresChannelsAndTakesTheUrlFromTheEnvironment) {
    struct sigaction current;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &current));
    EXPECT_EQ(SIG_IGN, current.sa_handler);

    std::map<int, std::pair<int, int>> config;
    speech::util::Singleton<speech::util::TaskRunner>::instance()->getThreadPoolConfig(config);
    EXPECT_EQ(std::make_pair(4, 8), config[1000]);
    EXPECT_EQ(std::make_pair(2, 4), config[2000]);

    EXPECT_EQ(100, VelaASRLinuxSDK::_default_instance_count);
    EXPECT_EQ(server_.url("/asr/v2"), VelaASRLinuxSDK::_server_url);
    EXPECT_EQ("BuildTime:2019-04-24 11:53:20,Version:1.0,GitVersion:045cd6",
              VelaASRLinuxSDK::get_sdk_version());
}

// ------------------------------------------------------- session creation

TEST_F(SdkTest, SessionRequestOnTheWireAndIdentityPerRate) {
    VelaASRLinuxSDK* k8 = make(8);
    VelaASRLinuxSDK* k16 = make(16);
    VelaASRLinuxSDK* k11 = make(11);
    ASSERT_NE(nullptr, k8);
    ASSERT_NE(nullptr, k16);
    ASSERT_NE(nullptr, k11);
    EXPECT_EQ("sid-1", k8->_sid);
    EXPECT_EQ(0, VelaASRLinuxSDK::err_no);
    EXPECT_EQ(vela::ST_INIT, k8->status.load());
    EXPECT_LE(k8->_logid, 0xFFFFFFFFull);

    ASSERT_EQ(3u, server_.requestCount());
    std::vector<vela_test::RecordedRequest> reqs = server_.requests();
    EXPECT_EQ("pid=37001&appname=com.vela.speech.kestrel&idx=0&rate=8", reqs[0].query);
    EXPECT_EQ("pid=37011&appname=com.vela.speech.marlow&idx=0&rate=16", reqs[1].query);
    EXPECT_EQ("pid=37011&appname=com.vela.speech.marlow&idx=0&rate=11", reqs[2].query);

    const vela_test::RecordedRequest& req = reqs[0];
    EXPECT_EQ("POST", req.method);
    EXPECT_EQ("/asr/v2", req.path);
    EXPECT_EQ(0u, req.header("Content-Type").rfind("application/json; boundary=", 0))
        << req.header("Content-Type");
    EXPECT_FALSE(req.hasHeader("Expect"));
    ASSERT_EQ(1u, req.parts.size());
    EXPECT_EQ("form-data; name=\"create-session\"", req.parts[0].disposition);
    EXPECT_FALSE(req.parts[0].has_filename);
    EXPECT_EQ("text/json", req.parts[0].content_type);
    EXPECT_EQ(kSessionJson, req.parts[0].data);

    // Later requests of the session use the same base URL, identity and sid.
    EXPECT_EQ(server_.url("/asr/v2") + "?pid=37001&appname=com.vela.speech.kestrel&idx=-7&sid=sid-1&rate=8",
              k8->upload_url(-7));
    EXPECT_EQ(server_.url("/asr/v2") + "?pid=37011&appname=com.vela.speech.marlow&sid=sid-2&rate=16",
              k16->fetch_url());
}

TEST_F(SdkTest, RefusedSessionsGiveNoInstanceAndNoPoolGrowth) {
    const std::string transport =
        "VelaASRLinuxSDK::create_session create_session [url:" + server_.url("/asr/v2") +
        "?pid=37001&appname=com.vela.speech.kestrel&idx=0&rate=8][logid:";
    const char parse[] = "create seesion parse json faild [logid:";
    const char check[] = "create seesion  or json  faild [logid:";
    const std::vector<std::pair<Reply, std::vector<std::string>>> refusals = {
        {Reply::withStatus(404, R"({"asr_param":{"err_no":0,"sid":"abc"}})"),
         {transport, "][err:Succ][errno:-1]",
          "[post:(null)][msg:Succ]:curl_code:0 http_status:404 curl failed"}},
        {Reply::dropped(), {transport, "][err:Other error!][errno:-1]"}},
        {Reply::json(""), {parse}},
        {Reply::json("not json"), {parse}},
        {Reply::json(std::string(100000, '[') + std::string(100000, ']')), {parse}},
        {Reply::json(R"({"asr_param":{"err_no":0,"sid":5}})"), {check}},
        {Reply::json(R"({"asr_param":{"err_no":"0","sid":"abc"}})"), {check}},
        {Reply::json(R"({"asr_param":{"err_no":5,"sid":"abc"}})"), {check}},
        {Reply::json(R"({"asr_param":{"sid":"abc"}})"), {check}},
        {Reply::json(R"({"other":{"err_no":0,"sid":"abc"}})"), {check}},
        {Reply::json(R"(["asr_param"])"), {check}},
        {Reply::json(R"({"asr_param":"err_no"})"), {check}},
    };
    VelaASRLinuxSDK* live = make();
    ASSERT_NE(nullptr, live);
    for (size_t i = 0; i < refusals.size(); ++i) {
        server_.clearScript();
        server_.enqueue(refusals[i].first);
        LogTail log;
        std::string err;
        EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err)) << "reply " << i;
        EXPECT_EQ("create session  failure", err) << "reply " << i;
        EXPECT_EQ(2, VelaASRLinuxSDK::err_no) << "reply " << i;
        EXPECT_EQ(1u, vela_test::sdkPoolSize()) << "reply " << i;
        const std::string logged = log.text();
        for (const std::string& expected : refusals[i].second) {
            EXPECT_NE(std::string::npos, logged.find(expected)) << "reply " << i << " lacks " << expected;
        }
    }

    server_.clearScript();
    server_.enqueue(Reply::json(R"({"x":1,"asr_param":{"sid":"s-2","y":[1],"err_no":0}})"));
    VelaASRLinuxSDK* accepted = make();
    ASSERT_NE(nullptr, accepted);
    EXPECT_EQ("s-2", accepted->_sid);
    EXPECT_EQ(2u, vela_test::sdkPoolSize());
}

TEST_F(SdkTest, UnreachableServerGivesNoInstance) {
    setenv("VELA_ASR_SERVER_URL",
           ("http://127.0.0.1:" + std::to_string(vela_test::unusedLoopbackPort())).c_str(), 1);
    VelaASRLinuxSDK::init_env(logDir(), "tasks.log", 1);
    LogTail log;
    std::string err;
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
    EXPECT_EQ("create session  failure", err);
    EXPECT_EQ(2, VelaASRLinuxSDK::err_no);
    EXPECT_EQ(0u, vela_test::sdkPoolSize());
    EXPECT_NE(std::string::npos, log.text().find("][err:Connect timeout!][errno:-1]"));
}

// ----------------------------------------------------------------- the pool

TEST_F(SdkTest, PoolHoldsAHundredAndFreesOnlyWhatNothingReaches) {
    // Held as the application's tasks would hold them: an instance not started
    // within 2 s is finished by its pull thread, but a held one is not freed.
    std::vector<VelaASRLinuxSDK*> live;
    for (int i = 0; i < 100; ++i) {
        live.push_back(make());
        if (live.back() != nullptr) live.back()->hold();
    }
    ASSERT_EQ(100u, vela_test::sdkPoolSize());
    ASSERT_EQ(0, static_cast<int>(std::count(live.begin(), live.end(), nullptr)));

    const size_t requests = server_.requestCount();
    std::string err;
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
    EXPECT_EQ("instance exceed ", err);
    EXPECT_EQ(4, VelaASRLinuxSDK::err_no);
    EXPECT_EQ(requests, server_.requestCount());  // no session is opened for it

    // A finished instance with a fetch counted, or with a holder, stays.
    VelaASRLinuxSDK* counted = live[10];
    const std::string counted_sid = counted->_sid;
    counted->concurrency_counter.incrementAndGet();
    counted->concurrency_counter.incrementAndGet();
    counted->notify();  // one fetch still counted
    counted->release();
    VelaASRLinuxSDK* held = live[20];
    const std::string held_sid = held->_sid;
    held->notify();
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
    EXPECT_EQ(4, VelaASRLinuxSDK::err_no);
    EXPECT_TRUE(inPool(counted_sid));
    EXPECT_TRUE(inPool(held_sid));

    held->release();
    waitForHolders(held, 0);
    VelaASRLinuxSDK* fresh = make();
    ASSERT_NE(nullptr, fresh);
    fresh->hold();
    EXPECT_FALSE(inPool(held_sid));
    EXPECT_TRUE(inPool(counted_sid));
    EXPECT_EQ(100u, vela_test::sdkPoolSize());

    counted->concurrency_counter.decrementAndGet();
    waitForHolders(counted, 0);
    VelaASRLinuxSDK::clean_resource(true);
    EXPECT_FALSE(inPool(counted_sid));
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_EQ(99u, vela_test::sdkPoolSize());  // held instances are kept
    fresh->release();
    for (VelaASRLinuxSDK* inst : live) {
        if (inst != counted && inst != held) inst->release();
    }
}

// What getInstance answered inside the final result's callback.
std::atomic<int> g_err_no_in_callback{-1};
void tryGetInstance(vela::ASRResultM&, void*) {
    std::string err;
    VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
    g_err_no_in_callback = inst == nullptr ? VelaASRLinuxSDK::err_no.load() : 0;
}

TEST_F(SdkTest, AFinishedInstanceGivesItsSlotBackOnceItsLastEventHasReturned) {
    server_.on(vela_test::methodIs("GET"), Reply::json(R"({"asr_param":{"err_no":0,"status":3}})"));
    std::vector<VelaASRLinuxSDK*> others;
    for (int i = 0; i < 99; ++i) {
        others.push_back(make());
        ASSERT_NE(nullptr, others.back());
        others.back()->hold();
    }
    VelaASRLinuxSDK* ending = make();
    ASSERT_NE(nullptr, ending);
    const std::string sid = ending->_sid;
    ending->hold();  // as a task that has not been destroyed yet would
    char arg[] = "slot";
    ending->set_event_listener(&tryGetInstance, arg);
    start(ending);
    ASSERT_TRUE(settled(ending, 1));

    // Full while the final result's callback ran; free once it had returned,
    // although the instance itself cannot be freed yet.
    EXPECT_EQ(4, g_err_no_in_callback.load());
    VelaASRLinuxSDK* next = make();
    EXPECT_NE(nullptr, next);
    EXPECT_TRUE(inPool(sid));
    ending->release();
    waitForHolders(ending, 0);
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_FALSE(inPool(sid));
    for (VelaASRLinuxSDK* inst : others) inst->release();
}

TEST_F(SdkTest, AHolderOnAnotherThreadKeepsAFinishedInstanceAlive) {
    VelaASRLinuxSDK* inst = make();
    ASSERT_NE(nullptr, inst);
    const std::string sid = inst->_sid;
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::atomic<int> seen{-1};

    inst->hold();  // taken by the creator, as for a task
    std::thread task([&] {
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return go; });
        }
        seen = static_cast<int>(inst->status.load());
        inst->concurrency_counter.get();
        inst->release();  // the last touch
    });

    inst->notify();
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_TRUE(inPool(sid));
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    task.join();
    EXPECT_EQ(vela::ST_FINISH, seen.load());
    waitForHolders(inst, 0);
    VelaASRLinuxSDK::clean_resource(false);
    EXPECT_FALSE(inPool(sid));
}

TEST_F(SdkTest, ConcurrentClientsShareThePool) {
    std::vector<std::thread> clients;
    std::atomic<int> made{0};
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&made] {
            for (int i = 0; i < 10; ++i) {
                std::string err;
                VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
                if (inst == nullptr) continue;
                ++made;
                // Held like a task would, so that other clients' scans cannot
                // free it while this thread still posts to it.
                VelaASRLinuxSDK::Holder task(inst);
                VelaASRMessage msg;
                msg.name = vela::VELA_ASR_CMD_START;
                inst->post(msg, err);
                std::thread finisher([inst] { inst->notify(); });
                msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
                inst->post(msg, err);
                finisher.join();
                VelaASRLinuxSDK::clean_resource(false);
            }
        });
    }
    for (std::thread& c : clients) c.join();
    EXPECT_EQ(40, made.load());
    EXPECT_TRUE(vela_test::drainSdkPool());
}

// ------------------------------------------------------ commands of one instance

TEST_F(SdkTest, PostAnswers) {
    VelaASRLinuxSDK* inst = make();
    ASSERT_NE(nullptr, inst);
    VelaASRMessage msg;
    std::string err;
    for (vela::Msg_t name :
         {vela::VELA_ASR_CMD_CONFIG, vela::VELA_ASR_CMD_CANCEL, static_cast<vela::Msg_t>(42)}) {
        msg.name = name;
        err.clear();
        EXPECT_EQ(0, inst->post(msg, err)) << name;
        EXPECT_EQ("succ", err) << name;
        EXPECT_EQ(vela::ST_INIT, inst->status.load()) << name;
    }
    msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
    err = "unchanged";
    EXPECT_EQ(0, inst->post(msg, err));
    EXPECT_EQ("unchanged", err);
    EXPECT_EQ(vela::ST_RUNNING, inst->status.load());

    VelaASRLinuxSDK* started = make();
    ASSERT_NE(nullptr, started);
    msg.name = vela::VELA_ASR_CMD_START;
    EXPECT_EQ(0, started->post(msg, err));
    EXPECT_EQ("succ", err);
    EXPECT_EQ(vela::ST_RUNNING, started->status.load());

    // Once finished every command answers "asr end" ...
    started->notify();
    for (vela::Msg_t name :
         {vela::VELA_ASR_CMD_START, vela::VELA_ASR_CMD_PUSH_AUDIO, vela::VELA_ASR_CMD_STOP}) {
        msg.name = name;
        EXPECT_EQ(7, started->post(msg, err)) << name;
        EXPECT_EQ("asr end", err) << name;
    }
    // ... unless the last packet has gone, which comes first.
    started->_isLast = 1;
    msg.name = vela::VELA_ASR_CMD_STOP;
    EXPECT_EQ(0, started->post(msg, err));
    EXPECT_EQ("succ", err);
}

TEST_F(SdkTest, EventListenerKeepsItsOwnCopyOfTheArgument) {
    VelaASRLinuxSDK* inst = make();
    ASSERT_NE(nullptr, inst);
    static std::vector<std::pair<vela::Param_t, void*>> calls;
    calls.clear();
    auto cb = [](vela::ASRResultM& r, void* arg) { calls.emplace_back(r.get_status(), arg); };

    vela::ASRResultM event;
    event.set_parameter(vela::VELA_ASR_SLIENT);
    inst->deliver_event(event);  // no listener: dropped
    EXPECT_TRUE(calls.empty());

    std::string longer(600, 'a');
    longer[510] = 'b';
    inst->set_event_listener(nullptr, &longer[0]);
    inst->set_event_listener(cb, nullptr);
    EXPECT_EQ(nullptr, inst->_cb.load());

    inst->set_event_listener(cb, &longer[0]);
    EXPECT_EQ(std::string(longer, 0, 511), std::string(inst->_user_arg_buf));
    EXPECT_EQ('\0', inst->_user_arg_buf[511]);
    inst->set_event_listener(cb, const_cast<char*>("short"));
    EXPECT_STREQ("short", inst->_user_arg_buf);
    EXPECT_TRUE(
        std::all_of(inst->_user_arg_buf + 5, inst->_user_arg_buf + 512, [](char c) { return c == 0; }));

    inst->deliver_event(event);
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(vela::VELA_ASR_SLIENT, calls[0].first);
    EXPECT_EQ(static_cast<void*>(inst->_user_arg_buf), calls[0].second);
}
