// Whole sessions against a server that counts its connections: requests reuse
// open connections, and whatever the server does with its connections every
// packet arrives exactly once in its slot.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "speech-util/curlreq/curl_share.h"
#include "support/counting_http_server.h"
#include "support/files.h"
#include "support/sdk_sessions.h"
#include "support/temp_dir.h"

using vela::VelaASRLinuxSDK;
using vela_test::CountingHttpServer;

namespace {

const size_t kChunk = 3200;
const int kChunks = 20;

std::string query(const std::string& target, const std::string& key) {
    const size_t at = target.find("&" + key + "=");
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() + 2;
    return target.substr(from, target.find('&', from) - from);
}

// A stand-in for the recognition server: packets by session and index; the
// final result once the last packet and every one before it are in.
class Recogniser {
  public:
    std::string answer(const CountingHttpServer::Request& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (r.body.find("name=\"create-session\"") != std::string::npos) {
            return R"({"asr_param":{"err_no":0,"sid":"s)" + std::to_string(++sessions_) + R"("}})";
        }
        const std::string sid = query(r.target, "sid");
        if (r.method == "POST") {
            // The one part's bytes: between its head and the closing boundary.
            const size_t from = r.body.find("\r\n\r\n") + 4, to = r.body.rfind("\r\n--");
            packets_[sid][std::stoi(query(r.target, "idx"))].push_back(r.body.substr(from, to - from));
            return R"({"asr_param":{"err_no":0}})";
        }
        return R"({"asr_param":{"err_no":0,"status":)" + std::string(complete(packets_[sid]) ? "3" : "2") +
               "}}";
    }
    std::map<std::string, std::map<int, std::vector<std::string>>> packets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return packets_;
    }

  private:
    static bool complete(const std::map<int, std::vector<std::string>>& p) {
        if (p.empty() || p.begin()->first >= 0) return false;
        const int last = -p.begin()->first;
        return static_cast<int>(p.size()) == last && p.rbegin()->first == last - 1;
    }
    std::mutex mutex_;
    int sessions_ = 0;
    std::map<std::string, std::map<int, std::vector<std::string>>> packets_;
};

class ConnectionReuseTest : public ::testing::Test {
  protected:
    void SetUp() override { reuse_was_on_ = speech::util::curlshare::enabled(); }
    void TearDown() override {
        speech::util::curlshare::setEnabled(reuse_was_on_);
        unsetenv("VELA_ASR_SERVER_URL");
    }
    void useServer(const CountingHttpServer& server) {
        setenv("VELA_ASR_SERVER_URL", server.url().c_str(), 1);
        const std::string logs = vela_test::processTempDir() + "reuse_logs";
        mkdir(logs.c_str(), 0755);
        VelaASRLinuxSDK::init_env(logs, "reuse.log", 1);
    }
    // One session of kChunks chunks of the recording, then STOP; returns
    // once its final result is in.
    static void session() {
        const std::string pcm = vela_test::testAudio("speech_16k.pcm");
        ASSERT_GE(pcm.size(), kChunk * kChunks);
        std::string err;
        VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(16, 0, 0, err);
        ASSERT_NE(nullptr, inst) << err;
        VelaASRLinuxSDK::Holder hold(inst);
        char arg[] = "reuse";
        inst->set_event_listener(&ConnectionReuseTest::countErrors, arg);
        vela::VelaASRMessage msg;
        msg.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
        for (int i = 0; i < kChunks; ++i) {
            msg.set_parameter(vela::VELA_DATA_CHUNK, &pcm[i * kChunk], static_cast<int>(kChunk));
            inst->post(msg, err);
        }
        vela::VelaASRMessage stop;
        stop.name = vela::VELA_ASR_CMD_STOP;
        inst->post(stop, err);
        EXPECT_TRUE(vela_test::eventually([inst] { return inst->status.load() == vela::ST_FINISH; }))
            << "no final result: a packet is missing";
    }

    static void countErrors(vela::ASRResultM& result, void*) {
        if (result.get_status() == vela::VELA_ASR_ERR) ++errors_;
    }

    bool reuse_was_on_ = true;
    static std::atomic<int> errors_;
};
std::atomic<int> ConnectionReuseTest::errors_{0};

TEST_F(ConnectionReuseTest, PacketsArriveOnceInTheirSlotsOverFewConnections) {
    using Closing = CountingHttpServer::Closing;
    struct Case {
        const char* name;
        Closing closing;
        bool reuse;
        int parallel;         // sessions at once; two such rounds run one after the other
        int max_connections;  // -1: one per request
        // Closes every kept-alive connection as its second request arrives,
        // unanswered: each request must go out again on a new connection, and
        // a session creation must never go over a kept-alive one.
        bool cut_reused = false;
    };
    const Case cases[] = {
        {"keep-alive", Closing::kKeepAlive, true, 1, 10},
        {"keep-alive, 4 sessions at once", Closing::kKeepAlive, true, 4, 20},
        {"announced close", Closing::kAnnounced, true, 1, -1},
        {"silent close", Closing::kSilent, true, 1, -1},
        {"reuse switched off", Closing::kKeepAlive, false, 1, -1},
        {"every reused connection closed under a request", Closing::kKeepAlive, true, 2, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        speech::util::curlshare::setEnabled(c.reuse);
        Recogniser recogniser;
        CountingHttpServer server(c.closing,
                                  [&](const CountingHttpServer::Request& r) { return recogniser.answer(r); });
        if (c.cut_reused) {
            server.setCutter([](int, int nth) {
                return nth > 1 ? CountingHttpServer::Cut::kClose : CountingHttpServer::Cut::kNone;
            });
        }
        useServer(server);
        errors_ = 0;
        for (int round = 0; round < 2; ++round) {
            std::vector<std::thread> threads;
            for (int i = 0; i < c.parallel; ++i) threads.emplace_back(&ConnectionReuseTest::session);
            for (std::thread& t : threads) t.join();
        }
        ASSERT_TRUE(vela_test::drainSdkPool());
        EXPECT_EQ(0, errors_.load());
        if (c.cut_reused) {
            EXPECT_LT(0, server.cut());
        }

        const auto packets = recogniser.packets();
        ASSERT_EQ(2u * c.parallel, packets.size());
        std::vector<std::string> streams;
        for (const auto& s : packets) {
            EXPECT_LE(kChunks, static_cast<int>(s.second.size())) << s.first;
            streams.emplace_back();
            for (const auto& p : s.second) {
                EXPECT_EQ(1u, p.second.size()) << s.first << " packet " << p.first;
                if (p.first > 0) streams.back() += p.second.front();
            }
            // Same audio, same packets: a body sent in another packet's slot shows here.
            EXPECT_EQ(streams.front(), streams.back()) << s.first;
        }
        const size_t requests = server.requests().size();
        if (c.max_connections < 0) {
            EXPECT_EQ(requests, static_cast<size_t>(server.connections()));
        } else {
            EXPECT_LE(server.connections(), c.max_connections) << requests << " requests";
        }
    }
}

}  // namespace
