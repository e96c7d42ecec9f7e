// Real recognition of a synthesised utterance; skipped where the model or the
// speech tools are missing.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "server/asr-server/pocketsphinx_recognizer.h"
#include "server_fixture.h"

namespace asrserver {
namespace {

namespace fs = std::filesystem;

class PocketSphinxServerTest : public ServerTest {
  protected:
    // Speaks `words` with espeak-ng into 16-bit PCM at `rate`, with half a second of silence around
    // it; without dither, so that the audio is the same on every run.
    std::string speak(const std::string& words, int rate) {
        char pattern[] = "/tmp/asrserver-test-XXXXXX";
        const char* dir = mkdtemp(pattern);
        if (dir == nullptr) return std::string();
        const std::string wav = std::string(dir) + "/speech.wav";
        const std::string raw = std::string(dir) + "/speech.raw";
        const std::string cmd = "espeak-ng -v en-us -s 130 -w " + wav + " '" + words + "' && sox -D " + wav +
                                " -r " + std::to_string(rate) + " -b 16 -c 1 -e signed-integer -t raw " +
                                raw + " pad 0.5 0.5";
        std::string pcm;
        if (std::system(cmd.c_str()) == 0) {
            std::ifstream in(raw, std::ios::binary);
            pcm.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        fs::remove_all(dir);
        return pcm;
    }

    // Uploads `pcm` in 3,200-byte packets, pairs swapped (2, 1, 4, 3, …), the
    // first one behind a PCM stream header; returns the final reply.
    Json::Value recognise(const std::string& pcm, int rate) {
        const std::string sid = newSession(rate == 8000 ? "8" : "16");
        const int count = static_cast<int>((pcm.size() + 3199) / 3200);
        auto send = [&](int i) {
            std::string data = pcm.substr((i - 1) * 3200, 3200);
            if (i == 1) data = std::string{rate == 8000 ? '\x01' : '\x05', 0, 0, 0} + data;
            EXPECT_EQ(0, errNo(upload(sid, i == count ? -i : i, data)));
        };
        for (int i = 1; i + 1 <= count; i += 2) {
            send(i + 1);
            send(i);
            if (i == 5) {
                EXPECT_EQ(2, status(fetch(sid)));
            }
        }
        if (count % 2 == 1) send(count);
        return fetch(sid);
    }
};

TEST_F(PocketSphinxServerTest, RecognisesASpokenUtterance) {
    PocketSphinxConfig config;
    if (!fs::exists(config.model_dir + "/en-us.lm.bin")) GTEST_SKIP() << "no PocketSphinx model";
    if (std::system("command -v espeak-ng >/dev/null && command -v sox >/dev/null") != 0) {
        GTEST_SKIP() << "espeak-ng or sox missing";
    }
    config.max_decoders = 1;
    std::string error;
    std::unique_ptr<PocketSphinxRecognizer> rec = PocketSphinxRecognizer::create(config, error);
    ASSERT_TRUE(rec) << error;
    start(fastConfig(), std::move(rec));

    const std::string pcm16 = speak("one two three four five", 16000);
    ASSERT_GT(pcm16.size(), 64000u);
    Json::Value v = recognise(pcm16, 16000);
    ASSERT_EQ(3, status(v));
    const std::string heard = " " + text(v) + " ";
    bool found = false;
    for (const char* word : {" one ", " two ", " three ", " four ", " five "})
        found |= heard.find(word) != std::string::npos;
    EXPECT_TRUE(found) << "final text: " << text(v);

    // 8 kHz audio goes through the upsampler into the same 16 kHz model.
    v = recognise(speak("one two three four five", 8000), 8000);
    ASSERT_EQ(3, status(v));
    EXPECT_FALSE(text(v).empty());
}

}  // namespace
}  // namespace asrserver
