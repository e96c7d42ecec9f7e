// What reaches the recogniser: stream headers, sample decoding, and sessions
// waiting for a decoder when all are busy.
#include <condition_variable>
#include <mutex>
#include <vector>

#include "server/asr-server/session.h"
#include "server_fixture.h"

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
        std::string partial() override { return ""; }
        std::string finish() override { return "done"; }
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
        std::string partial() override { return inner->partial(); }
        std::string finish() override { return inner->finish(); }
        OneDecoderRecognizer& owner;
        std::unique_ptr<Utterance> inner;
    };
    EchoRecognizer echo_;
    std::mutex mutex_;
    std::condition_variable free_;
    bool busy_ = false;
};

std::string header(int format) { return std::string{static_cast<char>(format), 0, 0, 0}; }

TEST(StreamHeader, ClassifiesTheFirstPacket) {
    const std::string pcm(3200, '\x11');
    const std::string frames(40, '\x22');
    struct Case {
        std::string data;
        int session_rate;
        StreamFormat format;
        int rate;
    } cases[] = {
        {header(1) + pcm, 16000, StreamFormat::Pcm, 8000},
        {header(5) + pcm, 8000, StreamFormat::Pcm, 16000},
        {header(0) + frames, 8000, StreamFormat::Bv32, 8000},
        {header(4) + frames, 16000, StreamFormat::Bv32, 16000},
        {header(0) + frames, 16000, StreamFormat::Raw, 16000},       // format 0 is the 8 kHz codec
        {header(0) + pcm.substr(4), 8000, StreamFormat::Raw, 8000},  // starts silent, not whole frames
        {header(0), 8000, StreamFormat::Raw, 8000},
        {std::string("\x01\x00\x00\x01", 4) + pcm, 8000, StreamFormat::Raw, 8000},
        {"ab", 8000, StreamFormat::Raw, 8000},
    };
    for (const Case& c : cases) {
        const StreamHead h = classifyFirstPacket(c.data, c.session_rate);
        EXPECT_EQ(c.format, h.format) << c.data.size() << " bytes at " << c.session_rate;
        EXPECT_EQ(c.rate, h.sample_rate);
        EXPECT_EQ(c.format == StreamFormat::Raw ? 0u : 4u, h.header_size);
    }
}

class AudioPathTest : public ServerTest {};

TEST_F(AudioPathTest, DecodesLittleEndianSamplesAcrossPacketsAfterAnyHeader) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    start(fastConfig(), std::move(owned));
    const std::string sid = newSession("16");
    // Samples 0x0201, 0x0403, then 0x0605 split over the packet boundary.
    EXPECT_EQ(0, errNo(upload(sid, 1, header(1) + "\x01\x02\x03\x04\x05")));
    EXPECT_EQ(0, errNo(upload(sid, -2, std::string("\x06\xff\x7f\x09", 4))));  // odd end byte dropped
    EXPECT_EQ("done", text(fetch(sid)));
    EXPECT_EQ(8000, rec.rate);  // the header's rate overrides the session's
    EXPECT_EQ((std::vector<int16_t>{0x0201, 0x0403, 0x0605, 0x7fff}), rec.samples);

    // Without a header: the session's rate, every byte from the first.
    const std::string raw = newSession("16");
    EXPECT_EQ(0, errNo(upload(raw, -1, std::string("\x00\x00\x00\x00\xfe\xff", 6))));
    EXPECT_EQ("done", text(fetch(raw)));
    EXPECT_EQ(16000, rec.rate);
    EXPECT_EQ((std::vector<int16_t>{0, 0, -2}), rec.samples);
}

TEST_F(AudioPathTest, Bv32StreamsGetAPlainFinalText) {
    auto owned = std::make_unique<RecordingRecognizer>();
    RecordingRecognizer& rec = *owned;
    start(fastConfig(), std::move(owned));
    const std::string sid = newSession("8");
    EXPECT_EQ(0, errNo(upload(sid, 1, header(0) + std::string(60, '\x33'))));
    EXPECT_EQ(0, errNo(upload(sid, 2, std::string(40, '\x33'))));
    EXPECT_EQ(0, errNo(upload(sid, -3, std::string(100, '\0'))));
    const Json::Value v = fetch(sid);
    EXPECT_EQ(0, errNo(v));
    EXPECT_EQ(3, status(v));
    EXPECT_EQ("BV32-compressed audio cannot be decoded by this server (received 100 bytes in 3 packets)",
              text(v));
    EXPECT_TRUE(rec.samples.empty());
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

}  // namespace
}  // namespace asrserver
