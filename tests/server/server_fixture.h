// Runs the recognition server in-process on a free loopback port and talks
// to it with cpp-httplib's client, framing uploads the way the SDK does.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/asr-server/echo_recognizer.h"
#include "server/asr-server/http_server.h"
#include "server/asr-server/service.h"
#include "vad/MFE.h"
#include "vad/bv32/bv32.h"

namespace asrserver {

// The stream header the client's front end opens its output with.
inline std::string streamHeader(int format) { return std::string{static_cast<char>(format), 0, 0, 0}; }

// Packs 16-bit PCM (whole 80-sample frames) into 20-byte BV32 frames with the codec's encoder.
inline std::string encodeBv32(const std::string& pcm) {
    BV32_Encoder_State* state = allocEncoderState(0, 0);
    Reset_BV32_Encoder(state);
    BV32_Bit_Stream bits{};
    std::string out;
    Word16 frame[80];
    UWord8 packed[20];
    for (size_t at = 0; at + sizeof(frame) <= pcm.size(); at += sizeof(frame)) {
        std::memcpy(frame, pcm.data() + at, sizeof(frame));
        BV32_Encode(&bits, state, frame);
        BV32_BitPack(packed, &bits);
        out.append(reinterpret_cast<const char*>(packed), sizeof(packed));
    }
    deallocEncoderState(state, 0, 0);
    return out;
}

// The packets the client's front end hands out for `pcm`, set up as the client
// sets it up and fed 1,600 samples at a time, until the end of speech or of
// `pcm`, or until `max_packets` are out.
inline std::vector<std::string> frontEndPackets(const std::string& pcm, int rate, bool vad, bool compress,
                                                size_t max_packets = SIZE_MAX) {
    CMFE fe;
    const int settings[][2] = {
        {MFE_MAX_SPEECH_DURATION, 400},
        {MFE_VAD, vad},
        {MFE_COMPRESS, compress},
        {MFE_MIN_SPEECH_DURATION, 5},
        {MFE_OFFSET, 0},
        {MFE_SPEECH_MODE, 0},
        {MFE_CARLIFE, 0},
        {MFE_MAX_WAIT_DURATION, 250},
        {MFE_MAX_SPEECH_PAUSE, 15},
        {MFE_BIAS_SPEECH_IN, 0},
        {MFE_BIAS_SPEECH_OUT, 5},
        {MFE_SAMPLE_RATE, rate},
        {MFE_CODE_FORMAT, rate == 16000 ? 4 : 0},
        {MFE_SLEEP_TIMEOUT, 60},
    };
    for (const auto& s : settings) fe.mfeSetParam(s[0], s[1]);
    std::vector<std::string> packets;
    if (fe.mfeInit() != 0) return packets;
    std::vector<short> chunk(1600);
    std::vector<char> out(64000);
    for (size_t at = 0; packets.size() < max_packets && at + 3200 <= pcm.size(); at += 3200) {
        std::memcpy(chunk.data(), pcm.data() + at, 3200);
        fe.mfeSendData(chunk.data(), 1600);
        const int state = fe.mfeDetect();
        const int n = fe.mfeGetCallbackData(out.data(), static_cast<int>(out.size()));
        if (n > 0) packets.emplace_back(out.data(), n);
        if (state == RET_SPEECH_TO_SILENCE || state == RET_SPEECH_TOO_LONG) break;
    }
    fe.mfeExit();
    return packets;
}

class ServerTest : public ::testing::Test {
  protected:
    static constexpr const char* kPath = "/asr/v2";
    static constexpr const char* kBoundary = "------------------------5c1f0e9a";

    static ServiceConfig fastConfig() {
        ServiceConfig c;
        // Decoding runs beside the uploads: a fetch waits this long for it to
        // catch up (answering as soon as it has); only fetches that expect no
        // news wait it out.
        c.hold = std::chrono::milliseconds(500);  // below the gap bound
        c.session_timeout = std::chrono::seconds(30);
        return c;
    }

    // Serves with `recognizer`, the echo recogniser by default; `http` sets the HTTP limits.
    void start(ServiceConfig config = fastConfig(), std::unique_ptr<Recognizer> recognizer = nullptr,
               HttpConfig http = HttpConfig()) {
        recognizer_ = recognizer ? std::move(recognizer) : std::make_unique<EchoRecognizer>();
        // Idle expiry runs on a clock the tests move by hand.
        service_ = std::make_unique<Service>(*recognizer_, config, [this] {
            return std::chrono::steady_clock::time_point(std::chrono::milliseconds(clock_ms_.load()));
        });
        http.port = 0;
        http.sweep_interval = std::chrono::hours(1);  // expiry only when a test asks
        http_ = std::make_unique<HttpServer>(*service_, http);
        std::string error;
        ASSERT_TRUE(http_->start(error)) << error;
        if (!http.tls_cert.empty()) return;  // HTTPS tests make their own client
        client_ = std::make_unique<httplib::Client>("127.0.0.1", http_->port());
        client_->set_read_timeout(60, 0);
    }

    void TearDown() override {
        client_.reset();
        if (http_) http_->stop();
        http_.reset();
        service_.reset();
    }

    void advanceClock(std::chrono::milliseconds ms) { clock_ms_ += ms.count(); }

    static Json::Value parse(const httplib::Result& res, int http_status = 200) {
        Json::Value v;
        if (!res) {
            ADD_FAILURE() << "no reply: " << httplib::to_string(res.error());
            return v;
        }
        EXPECT_EQ(http_status, res->status);
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        EXPECT_TRUE(reader->parse(res->body.data(), res->body.data() + res->body.size(), &v, &errors))
            << res->body;
        return v;
    }

    static int errNo(const Json::Value& v) { return v["asr_param"]["err_no"].asInt(); }

    // One form part in the SDK's framing: form-data parts under a request
    // Content-Type of application/json with the boundary appended.
    static std::string form(const std::string& name, const std::string& data, bool file) {
        return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"" +
               (file ? "; filename=\"\"" : "") + "\r\nContent-Type: " + (file ? "audio/pcm" : "text/json") +
               "\r\n\r\n" + data + "\r\n--" + kBoundary + "--\r\n";
    }

    Json::Value postRaw(const std::string& query, const std::string& body,
                        const std::string& type = std::string("application/json; boundary=") + kBoundary) {
        return parse(client_->Post((kPath + query).c_str(), body, type.c_str()));
    }

    Json::Value create(const std::string& rate = "8") {
        return postRaw(
            "?pid=1&appname=test&idx=0&rate=" + rate,
            form("create-session", R"({"devid":"t","pfm":"p","ver":"v","gender_recog":"1"})", false));
    }

    std::string newSession(const std::string& rate = "8") {
        const Json::Value v = create(rate);
        EXPECT_EQ(0, errNo(v));
        return v["asr_param"]["sid"].asString();
    }

    Json::Value upload(const std::string& sid, int idx, const std::string& data) {
        return postRaw("?pid=1&appname=test&idx=" + std::to_string(idx) + "&sid=" + sid + "&rate=8",
                       form("asr_audio", data, true));
    }

    // A client serves one request at a time: a concurrent fetch needs its own (`own_client`).
    Json::Value fetch(const std::string& sid, bool own_client = false) {
        const std::string path = std::string(kPath) + "?pid=1&appname=test&sid=" + sid + "&rate=8";
        if (!own_client) return parse(client_->Get(path.c_str()));
        httplib::Client client("127.0.0.1", http_->port());
        client.set_read_timeout(60, 0);
        return parse(client.Get(path.c_str()));
    }

    // Fetches until the final result comes, as the client does: decoding runs
    // beside the uploads, so an answer may come before it has caught up.
    Json::Value fetchFinal(const std::string& sid) {
        Json::Value v = fetch(sid);
        for (int i = 0; i < 3000 && errNo(v) == 0 && status(v) == 2; ++i) v = fetch(sid);
        return v;
    }

    static std::string text(const Json::Value& v) { return v["asr_content"]["text"].asString(); }
    static int status(const Json::Value& v) { return v["asr_param"]["status"].asInt(); }

    std::unique_ptr<Recognizer> recognizer_;  // outlives the service
    std::atomic<long long> clock_ms_{1000000};
    std::unique_ptr<Service> service_;
    std::unique_ptr<HttpServer> http_;
    std::unique_ptr<httplib::Client> client_;
};

}  // namespace asrserver
