// What reaches the recogniser: stream headers, sample decoding, and sessions
// waiting for a decoder when all are busy.
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

#include "server/asr-server/bv32_stream.h"
#include "server/asr-server/session.h"
#include "server_fixture.h"
#include "support/files.h"

namespace asrserver {
namespace {

// Keeps every sample and the rate of the last utterance opened.
class RecordingRecognizer : public Recognizer {
  public:
    const char* name() const override { return "recording"; }
    std::unique_ptr<Utterance> open(int rate, std::chrono::milliseconds) override {
        std::lock_guard<std::mutex> lock(mutex);
        this->rate = rate;
        samples.clear();
        return std::make_unique<Rec>(*this);
    }
    std::mutex mutex;
    int rate = 0;
    std::vector<int16_t> samples;

  private:
    struct Rec : Utterance {
        explicit Rec(RecordingRecognizer& r) : r(r) {}
        void feed(const int16_t* s, size_t n) override {
            std::lock_guard<std::mutex> lock(r.mutex);
            r.samples.insert(r.samples.end(), s, s + n);
        }
        Hypothesis partial() override { return {}; }
        Hypothesis finish() override { return {"done", {}, {}}; }
        RecordingRecognizer& r;
    };
};

// A single decoder, handed to one utterance at a time, as a full pool behaves.
class OneDecoderRecognizer : public Recognizer {
  public:
    const char* name() const override { return "one"; }
    std::unique_ptr<Utterance> open(int rate, std::chrono::milliseconds wait) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!free_.wait_for(lock, wait, [this] { return !busy_; })) return nullptr;
        busy_ = true;
        return std::make_unique<Held>(*this, echo_.open(rate, wait));
    }

  private:
    struct Held : Utterance {
        Held(OneDecoderRecognizer& o, std::unique_ptr<Utterance> u) : owner(o), inner(std::move(u)) {}
        ~Held() override {
            std::lock_guard<std::mutex> lock(owner.mutex_);
            owner.busy_ = false;
            owner.free_.notify_all();
        }
        void feed(const int16_t* s, size_t n) override { inner->feed(s, n); }
        Hypothesis partial() override { return inner->partial(); }
        Hypothesis finish() override { return inner->finish(); }
        OneDecoderRecognizer& owner;
        std::unique_ptr<Utterance> inner;
    };
    EchoRecognizer echo_;
    std::mutex mutex_;
    std::condition_variable free_;
    bool busy_ = false;
};

// Packed BV32 frames of real speech and of encoded silence, as the front end
// appends them after its header.
std::string bv32Speech() { return vela_test::testData("bv32/speech_en_us.bv32"); }
std::string bv32Silence() { return vela_test::testData("bv32/zeros_1s.bv32"); }

TEST(StreamHeader, TakesAHeaderOnlyInTheShapeTheFrontEndSends) {
    const std::string speech = vela_test::testAudio("speech_8k.pcm");
    const std::string frames = bv32Speech();
    ASSERT_GE(speech.size(), 32000u);
    ASSERT_GE(frames.size(), 4000u);
    const std::string pcm = speech.substr(16000, 3200);
    struct Case {
        const char* what;
        std::string data;
        int session_rate;
        StreamFormat format;
    } cases[] = {
        {"PCM at 8 kHz", streamHeader(1) + pcm, 8000, StreamFormat::Pcm},
        {"PCM at 16 kHz", streamHeader(5) + pcm, 16000, StreamFormat::Pcm},
        {"a header before any sample", streamHeader(1), 8000, StreamFormat::Pcm},
        {"BV32 at 8 kHz", streamHeader(0) + frames.substr(0, 400), 8000, StreamFormat::Bv32},
        {"BV32 at 16 kHz", streamHeader(4) + frames.substr(0, 400), 16000, StreamFormat::Bv32},
        {"encoded silence", streamHeader(0) + bv32Silence().substr(0, 400), 8000, StreamFormat::Bv32},
        {"one frame", streamHeader(0) + frames.substr(0, 20), 8000, StreamFormat::Bv32},
        {"a long stream", streamHeader(0) + frames, 8000, StreamFormat::Bv32},
        {"a BV32 header before any frame", streamHeader(4), 16000, StreamFormat::Bv32},
        {"PCM-like frames", streamHeader(0) + pcm.substr(0, 400), 8000, StreamFormat::Bv32},

        {"PCM header of the other rate", streamHeader(1) + pcm, 16000, StreamFormat::WrongRate},
        {"PCM header of the other rate", streamHeader(5) + pcm, 8000, StreamFormat::WrongRate},
        {"BV32 header of the other rate", streamHeader(0) + frames.substr(0, 400), 16000,
         StreamFormat::WrongRate},
        {"BV32 header of the other rate", streamHeader(4) + frames.substr(0, 400), 8000,
         StreamFormat::WrongRate},

        {"PCM not in whole 80-sample units", streamHeader(1) + pcm + "ab", 8000, StreamFormat::Raw},
        {"BV32 not in whole frames", streamHeader(0) + frames.substr(0, 410), 8000, StreamFormat::Raw},
        {"raw PCM of whole 10 ms opening with silence", std::string(3200, '\0'), 8000, StreamFormat::Raw},
        {"raw PCM of whole 10 ms opening with silence", std::string(320, '\0') + pcm, 16000,
         StreamFormat::Raw},
        {"non-zero padding", std::string("\x01\x00\x00\x01", 4) + pcm, 8000, StreamFormat::Raw},
        {"two bytes", "ab", 8000, StreamFormat::Raw},
    };
    for (const Case& c : cases) {
        const StreamHead h = classifyFirstPacket(c.data, c.session_rate);
        EXPECT_EQ(c.format, h.format) << c.what << ", " << c.data.size() << " bytes at " << c.session_rate;
        EXPECT_EQ(c.format == StreamFormat::Raw ? 0u : 4u, h.header_size) << c.what;
    }
}

TEST(StreamHeader, TakesTheFrontEndsFirstPacketForWhatItIs) {
    for (const int rate : {8000, 16000}) {
        const std::string speech =
            vela_test::testAudio(std::string("speech_") + (rate == 8000 ? "8k" : "16k") + ".pcm");
        ASSERT_GE(speech.size(), 32000u);
        for (const std::string& pcm : {speech, std::string(rate * 3 / 5, '\0') + speech}) {  // 0.3 s of zeros
            for (const bool vad : {false, true}) {
                for (const bool compress : {false, true}) {
                    const std::vector<std::string> packets = frontEndPackets(pcm, rate, vad, compress, 1);
                    ASSERT_FALSE(packets.empty());
                    const std::string& packet = packets[0];
                    EXPECT_EQ(compress ? StreamFormat::Bv32 : StreamFormat::Pcm,
                              classifyFirstPacket(packet, rate).format)
                        << rate << " Hz, " << (pcm.size() > speech.size() ? "zeros first, " : "")
                        << "voice detection " << vad << ", compression " << compress << ", " << packet.size()
                        << " bytes";
                }
            }
        }
    }
}

class AudioPathTest : public ServerTest {};

TEST_F(AudioPathTest, DecodesLittleEndianSamplesAcrossPacketsAfterAnyHeader) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    start(fastConfig(), std::move(owned));
    const std::string sid = newSession("16");
    // 80 samples of 7 behind the header, then 0x0201, and 0x0403 split over the packet boundary.
    std::string unit;
    for (int i = 0; i < 80; ++i) unit += std::string("\x07\x00", 2);
    EXPECT_EQ(0, errNo(upload(sid, 1, streamHeader(5) + unit)));
    EXPECT_EQ(0, errNo(upload(sid, 2, "\x01\x02\x03")));
    EXPECT_EQ(0, errNo(upload(sid, -3, std::string("\x04\xff\x7f\x09", 4))));  // odd end byte dropped
    EXPECT_EQ("done", text(fetch(sid)));
    EXPECT_EQ(16000, rec.rate);
    std::vector<int16_t> expected(80, 7);
    expected.insert(expected.end(), {0x0201, 0x0403, 0x7fff});
    EXPECT_EQ(expected, rec.samples);

    // Raw PCM that opens with zeros, one sample longer than a header and whole
    // BV32 frames: every byte is a sample.
    const std::string raw = newSession("8");
    const std::string pcm = std::string(4800, '\0') + vela_test::testAudio("speech_8k.pcm");
    const std::string packet = pcm.substr(0, 4 + 20 * 1000 + 2);
    EXPECT_EQ(0, errNo(upload(raw, -1, packet)));
    EXPECT_EQ("done", text(fetch(raw)));
    EXPECT_EQ(8000, rec.rate);
    ASSERT_EQ(packet.size() / 2, rec.samples.size());
    EXPECT_EQ(0, std::memcmp(packet.data(), rec.samples.data(), packet.size()));
}

// BV32 frames cut at byte counts that straddle frames, sent in order and
// reversed: the recogniser gets what one decoder makes of the whole stream,
// 80 samples per frame at the session's rate, for speech and for noise bits.
TEST_F(AudioPathTest, Bv32StreamsAreDecodedInStreamOrderWhateverTheArrival) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    start(fastConfig(), std::move(owned));
    const std::string speech = vela_test::testAudio("speech_16k.pcm");
    ASSERT_GE(speech.size(), 48000u);
    std::string noise;
    for (uint32_t i = 0, x = 1; i < 2000; ++i, x = x * 1103515245u + 12345u)
        noise += static_cast<char>(x >> 24);
    for (const std::string& frames : {encodeBv32(speech.substr(32000, 16000)), noise}) {
        ASSERT_EQ(2000u, frames.size());
        Bv32Stream reference;
        std::vector<int16_t> expected;
        reference.decode(frames.data(), frames.size(), expected);
        ASSERT_EQ(100u * 80u, expected.size());
        for (const int rate : {16000, 8000}) {
            const std::vector<std::string> packets = {
                streamHeader(rate == 16000 ? 4 : 0) + frames.substr(0, 400), frames.substr(400, 333),
                frames.substr(733, 667), frames.substr(1400)};
            for (const bool reversed : {false, true}) {
                const std::string sid = newSession(rate == 16000 ? "16" : "8");
                for (int k = 0; k < 4; ++k) {
                    const int i = reversed ? 4 - k : k + 1;
                    EXPECT_EQ(0, errNo(upload(sid, i == 4 ? -i : i, packets[i - 1])));
                }
                const Json::Value v = fetch(sid);
                EXPECT_EQ(3, status(v));
                EXPECT_EQ(0, v["asr_content"]["missing"].asInt());
                EXPECT_EQ(rate, rec.rate);
                EXPECT_TRUE(expected == rec.samples) << rate << " Hz, reversed " << reversed;
            }
        }
    }
}

// The client sends the application's last, shorter chunk as raw PCM even in a
// compressed stream: it reaches the recogniser as samples, not as frames.
TEST_F(AudioPathTest, Bv32StreamsMayEndInRawPcm) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    start(fastConfig(), std::move(owned));
    const std::string frames = bv32Speech().substr(0, 600);
    const std::string pcm = vela_test::testAudio("speech_16k.pcm").substr(32000, 1600);
    for (const std::string& tail : {pcm, pcm.substr(0, 1234), frames.substr(400)}) {
        const std::string sid = newSession("16");
        EXPECT_EQ(0, errNo(upload(sid, 1, streamHeader(4) + frames.substr(0, 400))));
        EXPECT_EQ(0, errNo(upload(sid, -2, tail)));
        EXPECT_EQ(3, status(fetch(sid)));
        const bool raw = tail.size() != 200;
        ASSERT_EQ(20u * 80u + (raw ? tail.size() / 2 : 10u * 80u), rec.samples.size()) << tail.size();
        if (raw) {
            EXPECT_EQ(0, std::memcmp(tail.data(), rec.samples.data() + 20 * 80, tail.size()));
        }
    }
}

// Input that is not a well-formed stream ends with a clear error or is decoded
// for what it is; every session finishes.
TEST_F(AudioPathTest, MalformedStreamsFinish) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    start(fastConfig(), std::move(owned));
    const std::string frames = bv32Speech().substr(0, 420);

    // A BV32 header of the other rate: refused, and the session ends without text.
    std::string sid = newSession("8");
    const Json::Value refused = upload(sid, 1, streamHeader(4) + frames);
    EXPECT_EQ(1, errNo(refused));
    EXPECT_EQ("the stream header's format is for the other sample rate",
              refused["asr_param"]["err_msg"].asString());
    EXPECT_EQ(1, errNo(upload(sid, -2, frames)));
    Json::Value v = fetch(sid);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("", text(v));

    // A first packet that is not a header and whole frames is raw PCM.
    sid = newSession("8");
    EXPECT_EQ(0, errNo(upload(sid, -1, streamHeader(0) + frames.substr(0, 30))));
    EXPECT_EQ("done", text(fetch(sid)));
    EXPECT_EQ(17u, rec.samples.size());

    // A BV32 stream whose end is not a whole frame: the whole frames are decoded.
    sid = newSession("16");
    EXPECT_EQ(0, errNo(upload(sid, 1, streamHeader(4) + frames.substr(0, 400))));
    EXPECT_EQ(0, errNo(upload(sid, -2, frames.substr(400, 30))));
    v = fetch(sid);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("done", text(v));
    EXPECT_EQ(21u * 80u, rec.samples.size());
}

// Once the last packet is in, a packet that stays missing for the gap bound is
// given up: a fetch waiting for the final result answers then, not at the end
// of its hold, with the count of missing packets. Audio of a known length is
// put in its place (silence, or concealed BV32 frames).
TEST_F(AudioPathTest, LostPacketsAreFilledAfterTheGapBound) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    ServiceConfig config = fastConfig();
    config.hold = std::chrono::seconds(30);
    config.limits.gap_timeout = std::chrono::milliseconds(30);
    start(config, std::move(owned));
    const std::string pcm = vela_test::testAudio("speech_16k.pcm").substr(32000, 3200);
    const std::string frames = bv32Speech().substr(0, 1000);
    struct Case {
        const char* what;
        std::vector<std::string> packets;  // packet i + 1; empty: lost
        size_t samples;                    // fed to the recogniser
        int missing;
    } cases[] = {
        {"PCM, sizes agree",
         {streamHeader(5) + pcm.substr(0, 320), pcm.substr(0, 320), "", pcm.substr(0, 320), "x"},
         160 * 4,
         1},
        {"PCM, sizes differ",
         {streamHeader(5) + pcm.substr(0, 320), pcm.substr(0, 320), "", pcm.substr(0, 640), "x"},
         160 * 4,
         1},
        {"PCM, first packet lost",
         {"", pcm.substr(0, 320), pcm.substr(0, 320), std::string(100, '\0')},
         320,
         1},
        {"BV32, sizes agree",
         {streamHeader(4) + frames.substr(0, 200), frames.substr(200, 200), "", "", frames.substr(600, 200),
          frames.substr(800, 200)},
         80 * 60,
         2},
        {"BV32, first packet lost", {"", frames.substr(200, 200), frames.substr(400, 200)}, 80 * 20, 1},
    };
    for (const Case& c : cases) {
        const std::string sid = newSession("16");
        const int last = static_cast<int>(c.packets.size());
        for (int i = 1; i <= last; ++i) {
            if (!c.packets[i - 1].empty()) {
                EXPECT_EQ(0, errNo(upload(sid, i == last ? -i : i, c.packets[i - 1])));
            }
        }
        fetch(sid);  // the progress made
        const Json::Value v = fetch(sid);
        EXPECT_EQ(3, status(v)) << c.what;
        EXPECT_EQ(c.missing, v["asr_content"]["missing"].asInt()) << c.what;
        EXPECT_EQ(c.samples, rec.samples.size()) << c.what;
    }
}

TEST_F(AudioPathTest, SessionsWaitForABusyDecoderAndKeepTheirAudio) {
    start(fastConfig(), std::make_unique<OneDecoderRecognizer>());
    const std::string first = newSession();
    const std::string second = newSession();
    EXPECT_EQ(0, errNo(upload(first, 1, std::string(320, 'a'))));  // takes the decoder
    EXPECT_EQ(0, errNo(upload(second, 1, std::string(320, 'a'))));
    EXPECT_EQ(0, errNo(upload(second, -2, std::string(640, 'a'))));
    Json::Value v = fetch(second);  // complete, but no decoder within the hold time
    EXPECT_EQ(2, status(v));
    EXPECT_EQ("", text(v));
    EXPECT_EQ(2, v["asr_content"]["packets"].asInt());

    EXPECT_EQ(0, errNo(upload(first, -2, std::string(320, 'a'))));  // final: gives the decoder back
    EXPECT_EQ("received 640 bytes in 2 packets", text(fetch(first)));
    v = fetch(second);
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("received 960 bytes in 2 packets", text(v));  // one feed per buffered packet

    // An expired session gives its decoder back too.
    const std::string abandoned = newSession();
    EXPECT_EQ(0, errNo(upload(abandoned, 1, std::string(320, 'a'))));
    advanceClock(std::chrono::minutes(1));
    EXPECT_EQ(3u, service_->expireIdle());
    const std::string third = newSession();
    EXPECT_EQ(0, errNo(upload(third, -1, std::string(320, 'a'))));
    EXPECT_EQ("received 320 bytes in 1 packets", text(fetch(third)));
}

// A session that sends no audio for the idle bound gives its decoder to the
// next session; the text of its audio so far leads its final text.
TEST_F(AudioPathTest, IdleSessionsGiveTheirDecoderBack) {
    ServiceConfig config = fastConfig();
    config.limits.decoder_idle = std::chrono::seconds(2);
    start(config, std::make_unique<OneDecoderRecognizer>());
    const std::string idle = newSession();
    const std::string waiting = newSession();
    EXPECT_EQ(0, errNo(upload(idle, 1, std::string(320, 'a'))));  // takes the decoder
    EXPECT_EQ(0, errNo(upload(waiting, -1, std::string(640, 'a'))));
    for (const int status_after_sweep : {2, 3}) {
        advanceClock(std::chrono::seconds(1));
        service_->expireIdle();
        const Json::Value v = fetch(waiting);
        EXPECT_EQ(status_after_sweep, status(v));
    }
    EXPECT_EQ(0, errNo(upload(idle, -2, std::string(160, 'a'))));
    EXPECT_EQ("received 320 bytes in 1 packets received 160 bytes in 1 packets", text(fetch(idle)));
}

}  // namespace
}  // namespace asrserver
