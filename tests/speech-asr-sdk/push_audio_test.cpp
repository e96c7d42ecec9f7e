// The audio push path through the public API: front-end verdicts to events,
// payload choice, packet numbering and what reaches the scripted server.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech-asr-sdk/VelaASRLinuxSDK.h"
#include "support/scripted_http_server.h"
#include "vad/MFE.h"
#include "vad/bv32/bv32.h"

using vela::VelaASRLinuxSDK;
using vela::VelaASRMessage;
using vela_test::Reply;
using vela_test::ScriptedHttpServer;

namespace {

const std::string kLogDir = ::testing::TempDir() + "vela_push_test_logs";
const size_t kChunk = 3200;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string testAudio(const char* name) { return readFile(std::string(VELA_TEST_DATA_DIR) + "/vad/" + name); }

// Events delivered to the listener, with the thread they arrived on.
struct Events {
    std::mutex mutex;
    std::vector<vela::Param_t> seen;
    std::vector<std::thread::id> threads;
    static void record(vela::ASRResultM& result, void*) {
        std::lock_guard<std::mutex> lock(instance().mutex);
        instance().seen.push_back(result.get_status());
        instance().threads.push_back(std::this_thread::get_id());
    }
    static Events& instance() {
        static Events events;
        return events;
    }
    std::vector<vela::Param_t> take() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<vela::Param_t> out;
        out.swap(seen);
        return out;
    }
};

struct Upload {
    int idx;
    std::string data;
    std::string query;
};

class PushTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VELA_ASR_SERVER_URL", server_.url("/asr/v2").c_str(), 1);
        mkdir(kLogDir.c_str(), 0755);
        VelaASRLinuxSDK::init_env(kLogDir, "push_test.log", 1);
        server_.on(vela_test::hasPart("create-session"),
                   Reply::json(R"({"asr_param":{"err_no":0,"sid":"s1"}})"));
        server_.on(vela_test::hasPart("asr_audio"), Reply::json(R"({"asr_param":{"err_no":0}})"));
        // Result fetches wait until the test is over, so that no session ends early.
        server_.on(vela_test::methodIs("GET"),
                   Reply::json(R"({"asr_param":{"err_no":0,"status":3},"asr_content":{}})").heldBy(fetches_));
        Events::instance().take();
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
        EXPECT_NE(nullptr, inst) << err;
        if (inst != nullptr) {
            made_.push_back(inst);
            inst->set_event_listener(&Events::record, const_cast<char*>("push"));
        }
        return inst;
    }

    // Posts one chunk; on the audio path the answer text stays as it was.
    static int push(VelaASRLinuxSDK* inst, const char* data, size_t n,
                    vela::Msg_t name = vela::VELA_ASR_CMD_PUSH_AUDIO) {
        VelaASRMessage msg;
        msg.name = name;
        msg.set_parameter(vela::VELA_DATA_CHUNK, data, static_cast<int>(n));
        const bool was_last = inst->_isLast == 1;
        std::string err = "unchanged";
        const int ret = inst->post(msg, err);
        EXPECT_EQ(was_last ? "succ" : "unchanged", err);
        return ret;
    }
    static int stop(VelaASRLinuxSDK* inst) { return push(inst, nullptr, 0, vela::VELA_ASR_CMD_STOP); }

    // Waits for `n` uploads and returns them ordered by packet number (negative
    // indices last).
    std::vector<Upload> uploads(size_t n) {
        std::vector<Upload> out;
        for (int i = 0; i < 2000 && out.size() < n; ++i) {
            out.clear();
            for (const vela_test::RecordedRequest& req : server_.requests()) {
                const vela_test::FormPart* part = req.part("asr_audio");
                if (part == nullptr) continue;
                const size_t at = req.query.find("&idx=");
                out.push_back({at == std::string::npos ? 0 : std::atoi(req.query.c_str() + at + 5),
                               part->data, req.query});
            }
            if (out.size() < n) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(n, out.size());
        auto key = [](const Upload& u) { return (u.idx < 0 ? 1 << 30 : 0) + std::abs(u.idx); };
        std::sort(out.begin(), out.end(), [&](const Upload& a, const Upload& b) { return key(a) < key(b); });
        return out;
    }

    // The front end's PCM stream from its start of speech: header, then samples.
    static std::string pcmStream(VelaASRLinuxSDK* inst, size_t bytes) {
        std::string s("\x01\0\0\0", 4);
        const char* from = reinterpret_cast<const char*>(inst->_alg->g_pData + 256 * inst->_alg->nStartFrame);
        return s + std::string(from, bytes - 4);
    }

    ScriptedHttpServer server_;
    std::shared_ptr<vela_test::Gate> fetches_ = std::make_shared<vela_test::Gate>();
    std::vector<VelaASRLinuxSDK*> made_;
};

std::string concat(const std::vector<Upload>& ups, size_t count) {
    std::string s;
    for (size_t i = 0; i < count; ++i) s += ups[i].data;
    return s;
}

}  // namespace

// ----------------------------------------------------- front-end settings

TEST_F(PushTest, FrontEndIsConfiguredPerRateAndSwitches) {
    struct Case {
        int rate, vad, bv;
        DWORD hz, format;
    };
    for (const Case& c : {Case{8, 1, 0, 8000, 0}, Case{16, 0, 1, 16000, 4}, Case{11, 1, 1, 8000, 0}}) {
        VelaASRLinuxSDK* inst = make(c.rate, c.vad, c.bv);
        ASSERT_NE(nullptr, inst);
        const CMFE& fe = *inst->_alg;
        EXPECT_EQ(static_cast<DWORD>(RUN), fe.nCurState) << c.rate;
        EXPECT_EQ(c.hz, fe.nSampleRate) << c.rate;
        EXPECT_EQ(c.format, fe.nCodeFormat) << c.rate;
        EXPECT_EQ(c.vad != 0, fe.nVAD) << c.rate;
        EXPECT_EQ(c.bv != 0, fe.nCompress) << c.rate;
        EXPECT_EQ(400u, fe.nMax_Speech_Duration_Init);
        EXPECT_EQ(5u, fe.nMin_Speech_Duration_Init);
        EXPECT_EQ(250u, fe.nMax_Wait_Duration_Init);
        EXPECT_EQ(15u, fe.nMax_Speech_Pause_Init);
        EXPECT_EQ(60u, fe.nSleep_Timeout_Init);
        EXPECT_EQ(0u, fe.nOffset_Init + fe.nSpeech_Mode_Init + fe.nCarlife);
        EXPECT_EQ(0.0, fe.dThrBias_SpeechIn_Init);
        EXPECT_EQ(5.0, fe.dThrBias_SpeechOut_Init);
    }
}

// ------------------------------------------------------- voice detection on

TEST_F(PushTest, SpeechWalkThroughEndsWithAZeroPaddedLastPacket) {
    VelaASRLinuxSDK* inst = make(8, 1, 0);
    ASSERT_NE(nullptr, inst);
    const std::string audio = testAudio("speech_8k.pcm");
    inst->_audioTimeEnd.store(timeval{0, 0});

    // Leading silence: one event per chunk, nothing uploaded.
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(0, push(inst, &audio[i * kChunk], kChunk));
        EXPECT_EQ(std::vector<vela::Param_t>{vela::VELA_ASR_SLIENT}, Events::instance().take());
        EXPECT_EQ(0, inst->_idx);
    }
    EXPECT_EQ(0, inst->_audioTimeEnd.load().tv_sec);  // stamped only at the end of speech

    int ret = 0;
    size_t chunks = 3;
    bool some_chunk_without_output = false;
    while (ret == 0 && (chunks + 1) * kChunk <= audio.size()) {
        const int before = inst->_idx;
        ret = push(inst, &audio[chunks++ * kChunk], kChunk);
        if (ret == 0 && inst->_idx == before) some_chunk_without_output = true;
        if (ret == 0) {
            EXPECT_TRUE(Events::instance().take().empty());
        }
    }
    ASSERT_EQ(100, ret) << "no end of speech in " << chunks << " chunks";
    EXPECT_TRUE(some_chunk_without_output);  // the start of speech has no output yet
    const std::vector<vela::Param_t> at_end = Events::instance().take();
    EXPECT_EQ(std::vector<vela::Param_t>{vela::VELA_ASR_PROCESS_BLOCK}, at_end);
    EXPECT_EQ(std::this_thread::get_id(), Events::instance().threads.back());  // inside post
    EXPECT_NE(0, inst->_audioTimeEnd.load().tv_sec);
    EXPECT_EQ(1, inst->_isLast);

    // Later pushes and stops are ignored.
    const int idx = inst->_idx;
    EXPECT_EQ(0, push(inst, &audio[chunks * kChunk], kChunk));
    EXPECT_EQ(0, stop(inst));
    EXPECT_EQ(idx, inst->_idx);

    const std::vector<Upload> ups = uploads(static_cast<size_t>(idx));
    for (int i = 0; i + 1 < idx; ++i) EXPECT_EQ(i + 1, ups[i].idx);
    EXPECT_EQ("pid=37001&appname=com.vela.speech.kestrel&idx=-" + std::to_string(idx) + "&sid=s1&rate=8",
              ups.back().query);
    EXPECT_EQ(-idx, ups.back().idx);
    // Here the front end had nothing left at the end: 100 zero bytes.
    ASSERT_EQ(0u, inst->_last_pkg_size);
    EXPECT_EQ(std::string(100, '\0'), ups.back().data);
    const std::string stream = concat(ups, ups.size() - 1);
    EXPECT_EQ(pcmStream(inst, stream.size()), stream);
}

TEST_F(PushTest, TooLongSpeechGivesTwoEventsAndTheFullLastOutput) {
    VelaASRLinuxSDK* inst = make(8, 1, 0);
    ASSERT_NE(nullptr, inst);
    // Words repeated without pauses run past the 12.8 s limit.
    const std::string speech = testAudio("speech_8k.pcm");
    std::string audio(9600, '\0');
    while (audio.size() < 16 * 16000) audio += speech.substr(9600, speech.size() - 9600 - 16000);

    int ret = 0;
    size_t i = 0;
    while (ret == 0 && (i + 1) * kChunk <= audio.size()) ret = push(inst, &audio[i++ * kChunk], kChunk);
    ASSERT_EQ(100, ret);
    std::vector<vela::Param_t> events = Events::instance().take();
    events.erase(std::remove(events.begin(), events.end(), vela::VELA_ASR_SLIENT), events.end());
    EXPECT_EQ((std::vector<vela::Param_t>{vela::VELA_ASR_TOO_LONG, vela::VELA_ASR_PROCESS_BLOCK}), events);

    const std::vector<Upload> ups = uploads(static_cast<size_t>(inst->_idx));
    ASSERT_GE(inst->_last_pkg_size, 100u);
    EXPECT_EQ(inst->_last_pkg_size, ups.back().data.size());
    EXPECT_EQ(-inst->_idx, ups.back().idx);
    const std::string stream = concat(ups, ups.size());
    EXPECT_EQ(pcmStream(inst, stream.size()), stream);
}

TEST_F(PushTest, NoSpeechWithFullAndShortChunks) {
    const std::string silence(40 * kChunk + 4000, '\0');
    VelaASRLinuxSDK* full = make(8, 1, 0);
    ASSERT_NE(nullptr, full);
    int ret = 0;
    for (size_t i = 0; i < 40; ++i) ret |= push(full, &silence[i * kChunk], kChunk);
    EXPECT_EQ(0, ret);
    std::vector<vela::Param_t> events = Events::instance().take();
    EXPECT_EQ(vela::VELA_ASR_NO_SPEAK, events.back());
    EXPECT_EQ(0, full->_idx);  // nothing uploaded
    EXPECT_EQ(0, full->_isLast);

    // The chunk that runs out the wait is short: it becomes the last packet as it is.
    VelaASRLinuxSDK* shorter = make(8, 1, 0);
    ASSERT_NE(nullptr, shorter);
    for (size_t i = 0; i < 39; ++i) ret |= push(shorter, &silence[i * kChunk], kChunk);
    std::string tail(4000, '\0');
    tail[1] = 1;  // an audible byte that must arrive unchanged
    EXPECT_EQ(0, ret | push(shorter, tail.data(), tail.size()));
    EXPECT_EQ(vela::VELA_ASR_NO_SPEAK, Events::instance().take().back());
    EXPECT_EQ(1, shorter->_isLast);

    const std::vector<Upload> ups = uploads(1);
    EXPECT_EQ(-1, ups[0].idx);
    EXPECT_EQ(tail, ups[0].data);
}

// ------------------------------------------------------ voice detection off

TEST_F(PushTest, StopsAfterThreePacketsUploadZeroFillers) {
    VelaASRLinuxSDK* inst = make(8, 0, 0);
    ASSERT_NE(nullptr, inst);
    const std::string audio = testAudio("speech_8k.pcm");
    for (size_t i = 0; i < 3; ++i) {
        inst->_audioTimeEnd.store(timeval{0, 0});
        EXPECT_EQ(0, push(inst, &audio[i * kChunk], kChunk));
        EXPECT_NE(0, inst->_audioTimeEnd.load().tv_sec);  // every push stamps the end time
    }
    EXPECT_EQ(0, stop(inst));
    EXPECT_EQ(0, stop(inst));  // an empty packet does not end the session
    // A message that claims bytes it does not carry is an empty packet too.
    VelaASRMessage hollow;
    hollow.name = vela::VELA_ASR_CMD_PUSH_AUDIO;
    hollow._size = 500;
    std::string err;
    EXPECT_EQ(0, inst->post(hollow, err));
    EXPECT_EQ(0, inst->_isLast);

    const std::vector<Upload> ups = uploads(6);
    const std::vector<int> want = {1, 2, 3, -4, -5, -6};
    for (size_t i = 0; i < ups.size(); ++i) EXPECT_EQ(want[i], ups[i].idx);
    EXPECT_EQ(pcmStream(inst, 3 * kChunk + 4), concat(ups, 3));
    for (size_t i = 3; i < ups.size(); ++i) EXPECT_EQ(std::string(100, '\0'), ups[i].data);
}

TEST_F(PushTest, FinalShortChunksGoOutRawOrAsAZeroFiller) {
    const std::string audio = testAudio("speech_8k.pcm");
    VelaASRLinuxSDK* longer = make(8, 0, 0);
    VelaASRLinuxSDK* tiny = make(8, 0, 0);
    ASSERT_TRUE(longer != nullptr && tiny != nullptr);
    EXPECT_EQ(0, push(longer, &audio[0], kChunk));
    EXPECT_EQ(0, push(longer, &audio[kChunk], 1000));
    EXPECT_EQ(0, push(tiny, &audio[0], 50));
    for (VelaASRLinuxSDK* inst : {longer, tiny}) {
        EXPECT_EQ(1, inst->_isLast);
        EXPECT_EQ(0, stop(inst));  // nothing more after the last packet
    }
    EXPECT_EQ(2, longer->_idx);
    EXPECT_EQ(1, tiny->_idx);

    std::vector<Upload> ups = uploads(3);
    // Both sessions are "s1": tell them apart by content.
    std::sort(ups.begin(), ups.end(),
              [](const Upload& a, const Upload& b) { return a.data.size() > b.data.size(); });
    EXPECT_EQ(1, ups[0].idx);
    EXPECT_EQ(kChunk + 4, ups[0].data.size());
    EXPECT_EQ(-2, ups[1].idx);
    EXPECT_EQ(audio.substr(kChunk, 1000), ups[1].data);
    EXPECT_EQ(-1, ups[2].idx);
    EXPECT_EQ(std::string(100, '\0'), ups[2].data);
}

// The uploaded stream is the 4-byte header and one 20-byte frame per 80
// samples, equal to encoding the samples with a fresh encoder.
TEST_F(PushTest, CompressedPacketsFormTheEncodedStream) {
    for (const int rate : {8, 16}) {
        VelaASRLinuxSDK* inst = make(rate, 0, 1);
        ASSERT_NE(nullptr, inst);
        const std::string audio = testAudio(rate == 8 ? "speech_8k.pcm" : "speech_16k.pcm");
        const size_t chunks = 4;
        for (size_t i = 0; i < chunks; ++i) EXPECT_EQ(0, push(inst, &audio[(i + 4) * kChunk], kChunk));

        const std::vector<Upload> ups = uploads(chunks);
        server_.clearRequests();
        std::string want(1, static_cast<char>(rate == 8 ? 0 : 4));
        want.append(3, '\0');
        BV32_Encoder_State state;
        Reset_BV32_Encoder(&state);
        const std::string pcm = audio.substr(4 * kChunk, chunks * kChunk);
        std::vector<Word16> frame(80);
        for (size_t at = 0; at + 160 <= pcm.size(); at += 160) {
            std::copy_n(reinterpret_cast<const Word16*>(pcm.data() + at), 80, frame.begin());
            BV32_Bit_Stream bits;
            BV32_Encode(&bits, &state, frame.data());
            UWord8 packed[20];
            BV32_BitPack(packed, &bits);
            want.append(reinterpret_cast<const char*>(packed), 20);
        }
        EXPECT_EQ(want, concat(ups, chunks)) << "rate " << rate;
    }
}
