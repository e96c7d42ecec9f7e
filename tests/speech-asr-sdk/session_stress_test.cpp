// A hundred sessions at once against a server that answers slowly, fails,
// drops connections and answers out of order, while other threads scan the
// pool and open more sessions. Run under ASan and TSan, this is what shows
// that no instance is freed while its pull thread or a task can touch it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/AudioTask.h"
#include "support/sdk_sessions.h"

using vela::VelaASRLinuxSDK;
using vela_test::Reply;

namespace {

using StressTest = vela_test::SdkSessionTest;

// A fixed mix per (session, request number).
unsigned mix(const std::string& query, unsigned n) {
    unsigned h = 2166136261u;
    for (char c : query) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return (h ^ (n * 2654435761u)) * 16777619u;
}

bool terminal(vela::Param_t p) { return p == vela::VELA_ASR_FINISH || p == vela::VELA_ASR_ERR; }

}  // namespace

TEST_F(StressTest, HundredSessionsAgainstAMisbehavingServer) {
    std::mutex m;
    std::map<std::string, unsigned> fetches;  // by sid
    std::map<std::string, size_t> dropped;    // fetches dropped, by sid
    server_.on(vela_test::methodIs("GET"), [&](const vela_test::RecordedRequest& r) {
        const std::string sid = r.query.substr(r.query.find("sid="));
        unsigned n;
        {
            std::lock_guard<std::mutex> lock(m);
            n = fetches[sid]++;
        }
        const unsigned h = mix(sid, n);
        const std::chrono::milliseconds delay(h % 7 == 0 ? 150 : h % 23);
        const char* body = nullptr;
        switch (n < 3 ? h % 10 : 6 + h % 4) {
            case 6:
                body = R"({"asr_param":{"err_no":0,"status":3},"asr_content":"end"})";
                break;
            case 7:
                return Reply::withStatus(500).after(delay);
            case 8: {
                std::lock_guard<std::mutex> lock(m);
                ++dropped[sid];
                return Reply::dropped().after(delay);
            }
            case 9:
                body = "{garbage";
                break;
            case 5:
                body = R"({"asr_param":{"err_no":0,"status":7}})";
                break;
            default:
                body = R"({"asr_param":{"err_no":0,"status":2},"asr_content":{"t":"partial"}})";
        }
        return Reply::json(body).after(delay);
    });
    // An upload may fail once; its resend gets through.
    std::map<std::string, unsigned> uploads;  // by query
    server_.on(vela_test::hasPart("asr_audio"), [&](const vela_test::RecordedRequest& r) {
        unsigned n;
        {
            std::lock_guard<std::mutex> lock(m);
            n = uploads[r.query]++;
        }
        const unsigned h = mix(r.query, 0);
        Reply ok = Reply::json("{}");
        Reply reply = n > 0 ? ok : h % 5 == 0 ? Reply::withStatus(500) : h % 5 == 1 ? Reply::dropped() : ok;
        return reply.after(std::chrono::milliseconds(h % 17));
    });

    constexpr int kClients = 4;
    constexpr int kPerClient = 25;
    std::vector<std::string> args(kClients * kPerClient);
    std::vector<std::string> sids(args.size());
    std::atomic<int> clients_ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            std::vector<std::unique_ptr<VelaASRLinuxSDK::Holder>> held;  // while this thread uses them
            std::vector<VelaASRLinuxSDK*> mine;
            for (int i = 0; i < kPerClient; ++i) {
                const size_t k = static_cast<size_t>(c * kPerClient + i);
                args[k] = "s" + std::to_string(k);
                std::string err;
                VelaASRLinuxSDK* inst = nullptr;
                for (int tries = 0; inst == nullptr && tries < 20000; ++tries) {
                    inst = VelaASRLinuxSDK::getInstance(8, 0, 0, err);
                    if (inst == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (inst == nullptr) continue;
                held.emplace_back(new VelaASRLinuxSDK::Holder(inst));
                mine.push_back(inst);
                inst->set_event_listener(&vela_test::EventLog::listener, &args[k][0]);
                sids[k] = "sid=" + inst->_sid + "&";
                vela::VelaASRMessage msg;
                msg.name = vela::VELA_ASR_CMD_START;
                inst->post(msg, err);
                boost::shared_array<char> pcm(new char[3200]());
                for (int idx = 1; idx <= 3; ++idx) {
                    vela_test::runTask(new vela::AudioTask(
                        1000, inst, pcm, inst->upload_url(idx == 3 ? -3 : idx), 3200, inst->_logid, 0, idx));
                }
                VelaASRLinuxSDK::clean_resource(false);
            }
            ++clients_ready;
            while (!go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            for (VelaASRLinuxSDK* inst : mine) inst->wake_pull_thread();
        });
    }
    // Meanwhile: scans, and sessions without a listener.
    threads.emplace_back([&] {
        while (!go.load()) {
            VelaASRLinuxSDK::clean_resource(true);
            std::string err;
            if (VelaASRLinuxSDK* extra = VelaASRLinuxSDK::getInstance(8, 0, 0, err)) {
                vela::VelaASRMessage msg;
                msg.name = vela::VELA_ASR_CMD_START;
                extra->post(msg, err);
                extra->wake_pull_thread();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // All hundred sessions exist at once. Those that have finished meanwhile
    // gave their slots back, and the extra sessions may take them, but no more
    // than the pool's hundred slots are ever taken.
    const bool ready = vela_test::eventually([&] { return clients_ready.load() == kClients; }, 120);
    {
        speech::util::RecMutexLock::Lock lock(VelaASRLinuxSDK::_mutex);
        EXPECT_LE(100u, VelaASRLinuxSDK::_sdk.size());
        EXPECT_GE(100, std::count_if(VelaASRLinuxSDK::_sdk.begin(), VelaASRLinuxSDK::_sdk.end(),
                                     [](const VelaASRLinuxSDK* inst) { return inst->holds_slot(); }));
    }
    go = true;
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(ready);

    auto ended = [] {
        size_t n = 0;
        for (const vela_test::SdkEvent& e : vela_test::EventLog::get().events())
            n += terminal(e.status) ? 1 : 0;
        return n;
    };
    ASSERT_TRUE(vela_test::eventually([&] { return ended() >= args.size(); }, 120));
    // Every session finishes by itself, and then the pool frees it.
    ASSERT_TRUE(vela_test::eventually(
        [] {
            VelaASRLinuxSDK::clean_resource(false);
            return vela_test::sdkPoolSize() == 0;
        },
        60));

    const std::vector<vela_test::SdkEvent> events = vela_test::EventLog::get().events();
    const std::vector<vela_test::RecordedRequest> fetched = gets();
    for (size_t k = 0; k < args.size(); ++k) {
        ASSERT_FALSE(sids[k].empty()) << "session " << k << " never made";
        std::vector<vela::Param_t> seen;
        for (const vela_test::SdkEvent& e : events) {
            if (e.arg == args[k]) seen.push_back(e.status);
        }
        size_t requests = 0;
        for (const vela_test::RecordedRequest& r : fetched)
            requests += r.query.find(sids[k]) != std::string::npos;
        // One event per fetch (a dropped fetch that went over a reused
        // connection is sent once more), and exactly one end, which comes last.
        EXPECT_LE(seen.size(), requests) << args[k];
        size_t drops = 0;
        for (const auto& d : dropped) drops += d.first.rfind(sids[k], 0) == 0 ? d.second : 0;
        EXPECT_GE(seen.size() + drops, requests) << args[k];
        ASSERT_FALSE(seen.empty()) << args[k];
        EXPECT_TRUE(terminal(seen.back())) << args[k];
        EXPECT_EQ(1, std::count_if(seen.begin(), seen.end(), terminal)) << args[k];
    }
}
