// The SDK's own log lines as they reach the log file: level, source unit and
// text, for the instance pool, the push path and the fetch exchange.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/sdk_sessions.h"
#include "vad/MFE.h"

using vela::VelaASRLinuxSDK;
using vela_test::Reply;

namespace {

const size_t kChunk = 3200;

// "LEVEL unit] message" for each line the SDK's units wrote into `text`, with
// every log id shown as L and every number after "time:" or "getTimeCost:"
// as T. A message that spans several lines stays one entry.
std::vector<std::string> sdkLines(const std::string& text, const std::vector<std::string>& skip = {}) {
    std::vector<std::string> out;
    bool sdk = false;  // whether the entry being continued is the SDK's
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(from, end - from);
        from = end + 1;
        const size_t close = line.find("] ");
        const size_t blank = line.find(' ');
        const std::string level = line.substr(0, blank);
        const bool head = close != std::string::npos &&
                          (level == "NOTICE" || level == "WARNING" || level == "DEBUG" || level == "INFO" ||
                           level == "TRACE" || level == "ERROR" || level == "FATAL");
        if (!head) {
            if (sdk) out.back() += "\n" + line;
            continue;
        }
        const size_t unit_at = line.rfind(' ', close) + 1;
        const std::string unit = line.substr(unit_at, line.rfind(':', close) - unit_at);
        std::string msg = line.substr(close + 2);
        sdk = unit == "VelaASRLinuxSDK" || unit == "AudioTask" || unit == "VelaASRPrivate";
        for (const std::string& prefix : skip) sdk = sdk && msg.rfind(prefix, 0) != 0;
        if (!sdk) continue;
        for (const char* key : {"logid:", "time:", "getTimeCost:"}) {
            for (size_t at = msg.find(key); at != std::string::npos; at = msg.find(key, at + 1)) {
                const size_t digits = at + std::char_traits<char>::length(key);
                const size_t stop = msg.find_first_not_of("0123456789", digits);
                if (stop == digits) continue;
                msg.replace(digits, (stop == std::string::npos ? msg.size() : stop) - digits,
                            key[0] == 'l' ? "L" : "T");
            }
        }
        out.push_back(level + " " + unit + "] " + msg);
    }
    return out;
}

std::string audio(const char* name) { return vela_test::testAudio(name); }

class LogLineTest : public vela_test::SdkSessionTest {
  protected:
    void SetUp() override {
        SdkSessionTest::SetUp();
        // Fetches are held until the end, so that no session ends on its own.
        server_.on(vela_test::methodIs("GET"),
                   Reply::json(R"({"asr_param":{"err_no":0,"status":3}})").heldBy(fetches_));
        server_.on(vela_test::hasPart("asr_audio"), Reply::json("{}"));
    }
    void TearDown() override {
        fetches_->open();
        SdkSessionTest::TearDown();
    }

    VelaASRLinuxSDK* make(int vad) {
        std::string err;
        VelaASRLinuxSDK* inst = VelaASRLinuxSDK::getInstance(8, vad, 0, err);
        EXPECT_NE(nullptr, inst) << err;
        return inst;
    }

    // The push path's lines of one post (the pull thread's are left out).
    static std::vector<std::string> post(VelaASRLinuxSDK* inst, const char* data, size_t n,
                                         int* ret = nullptr,
                                         vela::Msg_t name = vela::VELA_ASR_CMD_PUSH_AUDIO) {
        LogTail log;
        vela::VelaASRMessage msg;
        msg.name = name;
        msg.set_parameter(vela::VELA_DATA_CHUNK, data, static_cast<int>(n));
        std::string err;
        const int r = inst->post(msg, err);
        if (ret != nullptr) *ret = r;
        std::vector<std::string> lines = sdkLines(log.text(), {"VelaASRLinuxSDK::fetch_result", "AudioTask"});
        return lines;
    }

    std::shared_ptr<vela_test::Gate> fetches_ = std::make_shared<vela_test::Gate>();
};

const std::string kNote = "NOTICE VelaASRLinuxSDK] ";
const std::string kWarn = "WARNING VelaASRLinuxSDK] ";

}  // namespace

TEST_F(LogLineTest, PoolAndSessionCreation) {
    server_.clearScript();
    for (const char* reply : {R"({"asr_param":{"err_no":0,"sid":"sid-1"}})",
                              R"({"asr_param":{"err_no":0,"sid":"sid-9"}})", "[1]", "[1"})
        server_.enqueue(Reply::json(reply));
    LogTail log;
    VelaASRLinuxSDK* first = make(0);
    ASSERT_NE(nullptr, first);
    const std::string created =
        "VelaASRLinuxSDK::create_session create_session [url:" + first->session_url() + "][logid:L][buf:";
    const std::string session = created + "{\"asr_param\":{\"err_no\":0,\"sid\":\"sid-";
    first->notify();  // finished with nothing counted: the next scan frees it (not to be touched again)
    ASSERT_TRUE(settled(first));
    ASSERT_NE(nullptr, make(0));
    std::string err;
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));
    EXPECT_EQ(nullptr, VelaASRLinuxSDK::getInstance(8, 0, 0, err));

    const std::vector<std::string> expected = {
        kNote + session + "1\"}}]",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK new intance size:0",
        // The second call: the finished instance is looked at and freed.
        kNote + "VelaASRLinuxSDK::getTimeCost:T",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK every instance  [status:3][time:T][num:-1]",
        kNote + "VelaASRLinuxSDK::getTimeCost:T",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK release [status:3][time:T][num:-1]",
        kNote + session + "9\"}}]",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK new intance size:0",
        // Two refused sessions: one running instance is looked at each time.
        kNote + "VelaASRLinuxSDK::getTimeCost:T",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK every instance  [status:0][time:T][num:0]",
        kNote + created + "[1]]",
        kWarn + "create seesion  or json  faild [logid:L]",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK new intance size:1",
        kNote + "VelaASRLinuxSDK::getTimeCost:T",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK every instance  [status:0][time:T][num:0]",
        kNote + created + "[1]",
        kWarn + "create seesion parse json faild [logid:L]",
        kNote + "VelaASRLinuxSDK::VelaASRLinuxSDK new intance size:1",
    };
    EXPECT_EQ(expected, sdkLines(log.text())) << log.text();
}

TEST_F(LogLineTest, PushPathVerdictsAndPackets) {
    // Voice detection on: silence, then speech up to its end.
    VelaASRLinuxSDK* inst = make(1);
    ASSERT_NE(nullptr, inst);
    const std::string pcm = audio("speech_8k.pcm");
    ASSERT_FALSE(pcm.empty());
    EXPECT_EQ((std::vector<std::string>{kNote + "sendVad mfeGetCallbackData size: 0 logid:L",
                                        kNote + "sendVad no data size: 0 logid:L",
                                        kNote + "VelaASRLinuxSDK::push_audio sendVad is 0/3  req: logid:L"}),
              post(inst, pcm.data(), kChunk));

    std::vector<std::string> lines;
    bool packet_seen = false;
    int ret = 0;
    for (size_t i = 1; ret == 0 && (i + 1) * kChunk <= pcm.size(); ++i) {
        const int idx = inst->_idx;
        lines = post(inst, &pcm[i * kChunk], kChunk, &ret);
        if (ret != 0 || inst->_idx == idx || packet_seen) continue;
        // The first packet of the speech.
        packet_seen = true;
        const std::string size_text = kNote + "sendVad mfeGetCallbackData size: ";
        ASSERT_EQ(3u, lines.size());
        const std::string n =
            lines[1].substr(size_text.size(), lines[1].find(' ', size_text.size()) - size_text.size());
        EXPECT_EQ(
            (std::vector<std::string>{
                kNote + "RET_SILENCE_TO_SPEECRET_SILENCE [logid:L]", size_text + n + " logid:L",
                kNote + "VelaASRLinuxSDK::push_audio req:" + inst->upload_url(1) + " logid:L vad_len:" + n}),
            lines);
    }
    ASSERT_EQ(100, ret);
    EXPECT_TRUE(packet_seen);
    EXPECT_EQ(
        (std::vector<std::string>{kNote + "sendVad  VAD检测：说话结束，或说话过长结束 code: 2  logid:L",
                                  kNote + "sendVad  last_pkg_size:0  logid:L",
                                  kNote + "VelaASRLinuxSDK::push_audio logid:L vad_len 0  _last_pkg_size 0",
                                  kNote + "VelaASRLinuxSDK::push_audio req:" + inst->upload_url(-inst->_idx) +
                                      " logid:L vad_len:100"}),
        lines);
    EXPECT_TRUE(post(inst, pcm.data(), kChunk).empty());  // nothing after the last packet

    // Nothing but silence: no speech at last.
    VelaASRLinuxSDK* quiet = make(1);
    ASSERT_NE(nullptr, quiet);
    const std::string silence(kChunk, '\0');
    for (int i = 0; i < 60; ++i) {
        lines = post(quiet, silence.data(), kChunk);
        if (lines.size() != 3) break;
    }
    EXPECT_EQ((std::vector<std::string>{kNote + "sendVad  VAD检测：没有说话 code: 3  logid:L",
                                        kNote + "VelaASRLinuxSDK::push_audio sendVad is 0/3  req: logid:L"}),
              lines);

    // A final chunk too short for one sample, a stop, and a front end that was shut down.
    VelaASRLinuxSDK* odd = make(0);
    ASSERT_NE(nullptr, odd);
    EXPECT_EQ((std::vector<std::string>{
                  kWarn + "invald params",
                  kNote + "VelaASRLinuxSDK::push_audio logid:L vad_len 1  _last_pkg_size 0",
                  kNote + "VelaASRLinuxSDK::push_audio req:" + odd->upload_url(-1) + " logid:L vad_len:100"}),
              post(odd, pcm.data(), 1));
    VelaASRLinuxSDK* stopped = make(0);
    ASSERT_NE(nullptr, stopped);
    EXPECT_EQ((std::vector<std::string>{kNote + "VelaASRLinuxSDK::push_audio req:" + stopped->upload_url(-1) +
                                        " logid:L"}),
              post(stopped, nullptr, 0, nullptr, vela::VELA_ASR_CMD_STOP));
    stopped->_alg->mfeExit();
    EXPECT_EQ((std::vector<std::string>{kWarn + "sendVad failed error:-102 logid:L",
                                        kNote + "VelaASRLinuxSDK::push_audio req:" + stopped->upload_url(2) +
                                            " logid:L vad_len:0"}),
              post(stopped, pcm.data(), kChunk));
}

TEST_F(LogLineTest, FetchExchange) {
    server_.clearScript();
    server_.on(vela_test::hasPart("create-session"), Reply::json(R"({"asr_param":{"err_no":0,"sid":"s"}})"));
    server_.on(vela_test::methodIs("GET"),
               Reply::json(R"({"asr_param":{"err_no":0,"status":3},"asr_content":"x"})"), 1);
    server_.on(vela_test::methodIs("GET"), Reply::json("no json"));
    const std::string head = "NOTICE AudioTask] AudioTask::handle  [url:";

    VelaASRLinuxSDK* fin = make(0);
    ASSERT_NE(nullptr, fin);
    const std::string url = fin->fetch_url();
    fin->set_event_listener(&vela_test::EventLog::listener, const_cast<char*>("fin"));
    LogTail fin_log;
    start(fin);
    ASSERT_TRUE(settled(fin));
    EXPECT_EQ((std::vector<std::string>{
                  kNote + "VelaASRLinuxSDK::fetch_result url:" + url + " logid:L",
                  head + url +
                      "][logid:L][post size:0][idx:-1][buf:{\"asr_param\":{\"err_no\":0,\"status\":3},"
                      "\"asr_content\":\"x\"}]",
                  "NOTICE AudioTask] AudioTask::handle status :3  [logid:L][asr:\"x\"\n]",
                  "NOTICE AudioTask] AudioTask::handle status :3  [logid:L]"}),
              sdkLines(fin_log.text()));

    VelaASRLinuxSDK* bad = make(0);
    ASSERT_NE(nullptr, bad);
    LogTail bad_log;
    start(bad);
    ASSERT_TRUE(settled(bad));
    EXPECT_EQ((std::vector<std::string>{kNote + "VelaASRLinuxSDK::fetch_result url:" + url + " logid:L",
                                        head + url + "][logid:L][post size:0][idx:-1][buf:no json]",
                                        "WARNING AudioTask] AudioTask::handle parse json faild [logid:L]"}),
              sdkLines(bad_log.text()));
}
