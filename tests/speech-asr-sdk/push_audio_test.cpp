// The audio push path through the public API: front-end verdicts to events,
// payload choice, packet numbering and what reaches the scripted server.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "support/files.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"
#include "vad/MFE.h"
#include "vad/bv32/bv32.h"

using vela::VelaASRLinuxSDK;
using vela_test::Reply;

namespace {

const size_t kChunk = 3200;
const std::string kZeros(100, '\0');

std::string audio(const char* name) { return vela_test::testAudio(name); }

// Events delivered to the listener and the thread of the latest one.
std::mutex g_mutex;
std::vector<vela::Param_t> g_events;
std::thread::id g_event_thread;

void record(vela::ASRResultM& result, void*) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(result.get_status());
    g_event_thread = std::this_thread::get_id();
}

std::vector<vela::Param_t> takeEvents() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<vela::Param_t> out;
    out.swap(g_events);
    return out;
}

class PushTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VELA_ASR_SERVER_URL", server_.url().c_str(), 1);
        const std::string logs = vela_test::processTempDir() + "vela_push_test_logs";
        mkdir(logs.c_str(), 0755);
        VelaASRLinuxSDK::init_env(logs, "push_test.log", 1);
        server_.on(vela_test::hasPart("create-session"),
                   Reply::json(R"({"asr_param":{"err_no":0,"sid":"s1"}})"));
        server_.on(vela_test::hasPart("asr_audio"), Reply::json(R"({"asr_param":{"err_no":0}})"));
        // Fetches are answered only at the end, so that no session finishes early.
        server_.on(vela_test::methodIs("GET"),
                   Reply::json(R"({"asr_param":{"err_no":0,"status":3}})").heldBy(fetches_));
        takeEvents();
    }
    void TearDown() override {
        fetches_->open();
        for (VelaASRLinuxSDK* inst : made_) inst->notify();
        bool empty = false;
        for (int i = 0; i < 2000 && !empty; ++i) {
            VelaASRLinuxSDK::clean_resource(false);
            speech::util::RecMutexLock::Lock lock(VelaASRLinuxSDK::_mutex);
            empty = VelaASRLinuxSDK::_sdk.empty();
            if (!empty) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(empty) << "instances still held after they finished";
        unsetenv("VELA_ASR_SERVER_URL");
    }

    VelaASRLinuxSDK* make(int rate, int vad, int bv) {
        std::string err;
        VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(rate, vad, bv, err);
        if (inst != nullptr) {
            made_.push_back(inst);
            inst->set_event_listener(&record, const_cast<char*>("push"));
        }
        return inst;
    }

    // Posts one chunk; the audio path leaves the answer text alone.
    static int push(VelaASRLinuxSDK* inst, const char* data, size_t n,
                    vela::Msg_t name = vela::VELA_ASR_CMD_PUSH_AUDIO) {
        vela::VelaASRMessage msg;
        msg.name = name;
        msg.set_parameter(vela::VELA_DATA_CHUNK, data, static_cast<int>(n));
        const bool was_last = inst->_isLast == 1;
        std::string err = "unchanged";
        const int ret = inst->post(msg, err);
        EXPECT_EQ(was_last ? "succ" : "unchanged", err);
        return ret;
    }
    static int stop(VelaASRLinuxSDK* inst) { return push(inst, nullptr, 0, vela::VELA_ASR_CMD_STOP); }

    // Waits for `n` uploads; packet index -> bytes.
    std::map<int, std::string> uploads(size_t n) {
        std::map<int, std::string> out;
        for (int i = 0; i < 2000 && out.size() < n; ++i) {
            out.clear();
            for (const vela_test::RecordedRequest& req : server_.requests()) {
                if (req.part("asr_audio") == nullptr) continue;
                out[std::atoi(req.query.c_str() + req.query.find("&idx=") + 5)] +=
                    req.part("asr_audio")->data;
            }
            if (out.size() < n) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(n, out.size());
        return out;
    }

    // The positive packets in order.
    static std::string stream(const std::map<int, std::string>& ups) {
        std::string s;
        for (const auto& up : ups) s += up.first > 0 ? up.second : "";
        return s;
    }

    // What the front end hands out from its start of speech: header and PCM.
    static std::string pcmFromStart(VelaASRLinuxSDK* inst, size_t bytes) {
        const char* at = reinterpret_cast<const char*>(inst->_alg->g_pData + 256 * inst->_alg->nStartFrame);
        return std::string("\x01\0\0\0", 4) + std::string(at, bytes - 4);
    }

    vela_test::ScriptedHttpServer server_;
    std::shared_ptr<vela_test::Gate> fetches_ = std::make_shared<vela_test::Gate>();
    std::vector<VelaASRLinuxSDK*> made_;
};

}  // namespace

TEST_F(PushTest, FrontEndSettingsFollowRateAndSwitches) {
    struct Case {
        int rate, vad, bv;
        DWORD hz, format;
    };
    for (const Case& c : {Case{8, 1, 0, 8000, 0}, Case{16, 0, 1, 16000, 4}, Case{11, 1, 1, 8000, 0}}) {
        VelaASRLinuxSDK* inst = make(c.rate, c.vad, c.bv);
        ASSERT_NE(nullptr, inst);
        const CMFE& fe = *inst->_alg;
        EXPECT_EQ(static_cast<DWORD>(RUN), fe.nCurState);
        EXPECT_EQ(c.hz, fe.nSampleRate) << c.rate;
        EXPECT_EQ(c.format, fe.nCodeFormat) << c.rate;
        EXPECT_EQ(c.vad != 0, fe.nVAD);
        EXPECT_EQ(c.bv != 0, fe.nCompress);
        const std::vector<DWORD> frames = {
            fe.nMax_Speech_Duration_Init, fe.nMin_Speech_Duration_Init,
            fe.nMax_Wait_Duration_Init,   fe.nMax_Speech_Pause_Init,
            fe.nSleep_Timeout_Init,       fe.nOffset_Init + fe.nSpeech_Mode_Init};
        EXPECT_EQ((std::vector<DWORD>{400, 5, 250, 15, 60, 0}), frames);
        EXPECT_EQ(0u, fe.nCarlife);
        EXPECT_EQ(0.0, fe.dThrBias_SpeechIn_Init);
        EXPECT_EQ(5.0, fe.dThrBias_SpeechOut_Init);
    }
}

TEST_F(PushTest, EndOfSpeechSendsTheLastPacketPaddedWithZeros) {
    VelaASRLinuxSDK* inst = make(8, 1, 0);
    ASSERT_NE(nullptr, inst);
    const std::string pcm = audio("speech_8k.pcm");
    ASSERT_FALSE(pcm.empty());
    inst->_audioTimeEnd.store(timeval{0, 0});
    for (size_t i = 0; i < 3; ++i) {  // leading silence: one event each, no upload
        EXPECT_EQ(0, push(inst, &pcm[i * kChunk], kChunk));
        EXPECT_EQ(std::vector<vela::Param_t>{vela::VELA_ASR_SLIENT}, takeEvents());
    }
    int ret = 0;
    int unsent = 0;  // speech chunks without front-end output
    size_t i = 3;
    for (; ret == 0 && (i + 1) * kChunk <= pcm.size(); ++i) {
        const int idx = inst->_idx;
        ret = push(inst, &pcm[i * kChunk], kChunk);
        unsent += ret == 0 && inst->_idx == idx;
    }
    ASSERT_EQ(100, ret);
    EXPECT_GT(unsent, 0);
    EXPECT_EQ(std::vector<vela::Param_t>{vela::VELA_ASR_PROCESS_BLOCK}, takeEvents());
    EXPECT_EQ(std::this_thread::get_id(), g_event_thread);  // delivered inside post
    EXPECT_NE(0, inst->_audioTimeEnd.load().tv_sec);

    const int n = inst->_idx;
    EXPECT_EQ(0, push(inst, &pcm[i * kChunk], kChunk));  // ignored from now on
    EXPECT_EQ(0, stop(inst));
    EXPECT_EQ(n, inst->_idx);

    const std::map<int, std::string> ups = uploads(static_cast<size_t>(n));
    EXPECT_EQ(n - 1, ups.rbegin()->first);
    ASSERT_EQ(0u, inst->_last_pkg_size);  // nothing was left at the end of this speech
    EXPECT_EQ(kZeros, ups.at(-n));
    EXPECT_EQ(pcmFromStart(inst, stream(ups).size()), stream(ups));
}

TEST_F(PushTest, TooLongSpeechGivesTwoEventsAndTheWholeLastOutput) {
    VelaASRLinuxSDK* inst = make(8, 1, 0);
    ASSERT_NE(nullptr, inst);
    const std::string words = audio("speech_8k.pcm").substr(9600);  // repeated with no pause
    std::string pcm(9600, '\0');
    while (pcm.size() < 16 * 16000) pcm += words.substr(0, words.size() - 16000);
    int ret = 0;
    for (size_t i = 0; ret == 0 && (i + 1) * kChunk <= pcm.size(); ++i)
        ret = push(inst, &pcm[i * kChunk], kChunk);
    ASSERT_EQ(100, ret);
    std::vector<vela::Param_t> events = takeEvents();
    events.erase(std::remove(events.begin(), events.end(), vela::VELA_ASR_SLIENT), events.end());
    EXPECT_EQ((std::vector<vela::Param_t>{vela::VELA_ASR_TOO_LONG, vela::VELA_ASR_PROCESS_BLOCK}), events);

    std::map<int, std::string> ups = uploads(static_cast<size_t>(inst->_idx));
    ASSERT_GE(inst->_last_pkg_size, 100u);
    const std::string last = ups.at(-inst->_idx);
    EXPECT_EQ(inst->_last_pkg_size, last.size());
    EXPECT_EQ(pcmFromStart(inst, stream(ups).size() + last.size()), stream(ups) + last);
}

TEST_F(PushTest, NoSpeechDropsFullChunksAndSendsAShortOneAsItIs) {
    const std::string silence(40 * kChunk, '\0');
    VelaASRLinuxSDK* full = make(8, 1, 0);
    VelaASRLinuxSDK* shorter = make(8, 1, 0);
    ASSERT_TRUE(full != nullptr && shorter != nullptr);
    int ret = 0;
    for (size_t i = 0; i < 40; ++i) ret |= push(full, &silence[i * kChunk], kChunk);
    EXPECT_EQ(vela::VELA_ASR_NO_SPEAK, takeEvents().back());
    EXPECT_EQ(0, full->_idx + full->_isLast);  // nothing sent, session still open

    for (size_t i = 0; i < 39; ++i) ret |= push(shorter, &silence[i * kChunk], kChunk);
    std::string tail(4000, '\0');  // runs out the wait for speech
    tail[1] = 1;
    ret |= push(shorter, tail.data(), tail.size());
    EXPECT_EQ(0, ret);
    EXPECT_EQ(vela::VELA_ASR_NO_SPEAK, takeEvents().back());
    EXPECT_EQ((std::map<int, std::string>{{-1, tail}}), uploads(1));
}

TEST_F(PushTest, WithoutDetectionStopsAndShortChunksEndTheSession) {
    const std::string pcm = audio("speech_8k.pcm");
    ASSERT_FALSE(pcm.empty());
    VelaASRLinuxSDK* stopped = make(8, 0, 0);
    ASSERT_NE(nullptr, stopped);
    for (size_t i = 0; i < 3; ++i) {
        stopped->_audioTimeEnd.store(timeval{0, 0});
        EXPECT_EQ(0, push(stopped, &pcm[i * kChunk], kChunk));
        EXPECT_NE(0, stopped->_audioTimeEnd.load().tv_sec);  // every push stamps the end
    }
    EXPECT_EQ(0, stop(stopped));
    EXPECT_EQ(0, stop(stopped));  // an empty packet does not end the session
    vela::VelaASRMessage hollow;  // claims bytes it does not carry: an empty packet too
    hollow.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
    hollow._size = 500;
    std::string err;
    EXPECT_EQ(0, stopped->post(hollow, err));
    std::map<int, std::string> ups = uploads(6);
    EXPECT_EQ(pcmFromStart(stopped, 3 * kChunk + 4), stream(ups));
    EXPECT_EQ((std::vector<std::string>{kZeros, kZeros, kZeros}),
              (std::vector<std::string>{ups[-6], ups[-5], ups[-4]}));

    server_.clearRequests();
    VelaASRLinuxSDK* longer = make(8, 0, 0);
    ASSERT_NE(nullptr, longer);
    EXPECT_EQ(0, push(longer, &pcm[0], kChunk));
    EXPECT_EQ(0, push(longer, &pcm[kChunk], 1000));
    EXPECT_EQ(0, stop(longer));  // nothing after the last packet
    ups = uploads(2);
    EXPECT_EQ(pcm.substr(kChunk, 1000), ups[-2]);

    server_.clearRequests();
    VelaASRLinuxSDK* tiny = make(8, 0, 0);
    ASSERT_NE(nullptr, tiny);
    EXPECT_EQ(0, push(tiny, &pcm[kChunk], 50));
    EXPECT_EQ(0, stop(tiny));
    EXPECT_EQ((std::map<int, std::string>{{-1, kZeros}}), uploads(1));
}

// Compressed, the packets form the 4-byte header and one 20-byte frame per 80
// samples, equal to encoding the samples with a fresh encoder.
TEST_F(PushTest, CompressedPacketsFormTheEncodedStream) {
    for (const int rate : {8, 16}) {
        server_.clearRequests();
        VelaASRLinuxSDK* inst = make(rate, 0, 1);
        ASSERT_NE(nullptr, inst);
        const std::string pcm =
            audio(rate == 8 ? "speech_8k.pcm" : "speech_16k.pcm").substr(4 * kChunk, 4 * kChunk);
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(0, push(inst, &pcm[i * kChunk], kChunk));

        std::string want = {static_cast<char>(rate == 8 ? 0 : 4), 0, 0, 0};
        BV32_Encoder_State state;
        Reset_BV32_Encoder(&state);
        for (size_t at = 0; at < pcm.size(); at += 160) {
            Word16 frame[80];
            std::copy_n(reinterpret_cast<const Word16*>(&pcm[at]), 80, frame);
            BV32_Bit_Stream bits;
            BV32_Encode(&bits, &state, frame);
            UWord8 packed[20];
            BV32_BitPack(packed, &bits);
            want.append(reinterpret_cast<const char*>(packed), 20);
        }
        EXPECT_EQ(want, stream(uploads(4))) << "rate " << rate;
    }
}
