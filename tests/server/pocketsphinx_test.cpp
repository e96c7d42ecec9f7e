// Real recognition of a synthesised utterance; skipped where the model or the
// speech tools are missing.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "server/asr-server/bv32_stream.h"
#include "server/asr-server/grammar.h"
#include "server/asr-server/pocketsphinx_recognizer.h"
#include "server_fixture.h"
#include "support/temp_dir.h"

namespace asrserver {
namespace {

namespace fs = std::filesystem;

bool haveModel() { return fs::exists(PocketSphinxConfig().model_dir + "/en-us.lm.bin"); }
bool haveSpeechTools() {
    return std::system("command -v espeak-ng >/dev/null && command -v sox >/dev/null") == 0;
}

// Clean synthetic speech needs more of the shaped noise than recorded speech,
// for which the server's default is set.
constexpr int kSyntheticSpeechNoiseDb = 15;

constexpr const char* kPhrases =
    "hello world|good morning|what time is it|hello there|good night|what day is it";

class PocketSphinxServerTest : public ServerTest {
  protected:
    // Speaks `words` with espeak-ng's `voice` into 16-bit PCM at `rate`, with half a second of
    // silence around it; without dither, so that the audio is the same on every run.
    std::string speak(const std::string& words, int rate, const std::string& voice = "en-us") {
        const vela_test::TempDir dir;
        const std::string wav = dir.path() + "/speech.wav";
        const std::string raw = dir.path() + "/speech.raw";
        // espeak-ng's audio library would leave its runtime folder in $TMPDIR.
        const std::string cmd = "PULSE_RUNTIME_PATH=" + dir.path() + "/pulse espeak-ng -v " + voice +
                                " -s 130 -w " + wav + " '" + words + "' && sox -D " + wav + " -r " +
                                std::to_string(rate) + " -b 16 -c 1 -e signed-integer -t raw " + raw +
                                " pad 0.5 0.5";
        std::string pcm;
        if (std::system(cmd.c_str()) == 0) {
            std::ifstream in(raw, std::ios::binary);
            pcm.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return pcm;
    }

    // Uploads `pcm` in 3,200-byte packets, or as BV32 in 400-byte packets
    // (20 frames), pairs swapped (2, 1, 4, 3, …), the first one behind the
    // stream header; returns the final reply.
    Json::Value recognise(const std::string& pcm, int rate, bool bv32 = false) {
        const std::string sid = newSession(rate == 8000 ? "8" : "16");
        const std::string data = bv32 ? encodeBv32(pcm) : pcm;
        const size_t size = bv32 ? 400 : 3200;
        const int count = static_cast<int>((data.size() + size - 1) / size);
        auto send = [&](int i) {
            std::string packet = data.substr((i - 1) * size, size);
            if (i == 1) packet = streamHeader((rate == 8000 ? 0 : 4) + (bv32 ? 0 : 1)) + packet;
            EXPECT_EQ(0, errNo(upload(sid, i == count ? -i : i, packet)));
        };
        for (int i = 1; i + 1 <= count; i += 2) {
            send(i + 1);
            send(i);
            if (i == 5 && count > 6) {
                EXPECT_EQ(2, status(fetch(sid)));
            }
        }
        if (count % 2 == 1) send(count);
        return fetchFinal(sid);
    }

    // One decoder, with the language model or the grammar of kPhrases.
    void startWithOneDecoder(bool grammar = false) {
        PocketSphinxConfig config;
        config.max_decoders = 1;
        config.shaped_noise_db = kSyntheticSpeechNoiseDb;
        std::string error;
        if (grammar) {
            ASSERT_TRUE(parsePhrases(kPhrases, config.phrases, error));
        }
        std::unique_ptr<PocketSphinxRecognizer> rec = PocketSphinxRecognizer::create(config, error);
        ASSERT_TRUE(rec) << error;
        start(fastConfig(), std::move(rec));
    }
};

TEST_F(PocketSphinxServerTest, RecognisesASpokenUtterance) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    if (!haveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    startWithOneDecoder();

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

// With a grammar, 8 kHz synthetic speech (which the language model mishears)
// comes back as exactly the phrase spoken, not as one that shares its words.
TEST_F(PocketSphinxServerTest, GrammarHearsExactlyThePhraseSpoken) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    if (!haveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    PocketSphinxConfig config;
    config.max_decoders = 1;
    std::string error;
    ASSERT_TRUE(parsePhrases(kPhrases, config.phrases, error));
    std::unique_ptr<PocketSphinxRecognizer> rec = PocketSphinxRecognizer::create(config, error);
    ASSERT_TRUE(rec) << error;
    start(fastConfig(), std::move(rec));
    for (const char* phrase : {"what time is it", "good morning"}) {
        const Json::Value v = recognise(speak(phrase, 8000, "en-us+f2"), 8000);
        ASSERT_EQ(3, status(v));
        EXPECT_EQ(phrase, text(v));
    }
}

// The same audio gives the same text whatever the decoder heard before.
TEST_F(PocketSphinxServerTest, SameAudioSameTextWhateverTheDecoderHeardBefore) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    if (!haveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    startWithOneDecoder();
    const std::string sentence = speak("seven of clubs", 8000);
    const std::string other = speak("please call stella and ask her to bring these things", 8000, "en-us+f3");
    std::set<std::string> texts;
    for (int i = 0; i < 5; ++i) {
        texts.insert(text(recognise(sentence, 8000)));
        recognise(other.substr(0, other.size() / (i + 1) & ~size_t{1}), 8000);
    }
    EXPECT_EQ(1u, texts.size()) << *texts.begin() << " / " << *texts.rbegin();
}

// Short commands with the language model: the cepstral mean is taken from the
// utterance itself, not from a preset that a few seconds of speech cannot move.
TEST_F(PocketSphinxServerTest, ShortCommandsAreHeardWithTheLanguageModel) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    if (!haveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    startWithOneDecoder();
    const struct {
        const char* phrase;
        const char* voice;
        bool bv32;
    } cases[] = {
        {"please call my mother", "en-us+m3", false},
        {"please call my mother", "en-us+m3", true},
        {"turn off the lights", "en-us+m7", true},
        {"show me the map", "en-us+f3", false},  // clean PCM: needs the shaped noise
    };
    for (const auto& c : cases) {
        std::string pcm = speak(c.phrase, 16000, c.voice);
        pcm.resize(pcm.size() / 160 * 160);
        EXPECT_EQ(c.phrase, text(recognise(pcm, 16000, c.bv32))) << c.voice << (c.bv32 ? " bv32" : " pcm");
    }
}

// BV32 sessions (their packets out of order) hear what PCM sessions of the
// same audio hear. With a grammar: the language model's text of synthetic
// speech turns on details that any lossy coding changes.
TEST_F(PocketSphinxServerTest, Bv32AndPcmSessionsOfOnePhraseGiveOneText) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    if (!haveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    startWithOneDecoder(true);
    for (const int rate : {16000, 8000}) {
        std::string pcm = speak("what time is it", rate, "en-us+f2");
        pcm.resize(pcm.size() / 160 * 160);  // whole frames
        const Json::Value compressed = recognise(pcm, rate, true);
        ASSERT_EQ(3, status(compressed));
        EXPECT_EQ("what time is it", text(recognise(pcm, rate))) << rate;
        EXPECT_EQ("what time is it", text(compressed)) << rate;
    }
}

// What the client's front end sends with voice detection, compressed or not,
// is recognised alike at both rates.
TEST_F(PocketSphinxServerTest, FrontEndOutputIsRecognisedWithAndWithoutCompression) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    if (!haveSpeechTools()) GTEST_SKIP() << "espeak-ng or sox missing";
    startWithOneDecoder(true);
    for (const int rate : {16000, 8000}) {
        const std::string pcm = speak("good morning", rate, "en-us+f2") + std::string(rate * 2, '\0');
        for (const bool compress : {false, true}) {
            const std::vector<std::string> packets = frontEndPackets(pcm, rate, true, compress);
            ASSERT_FALSE(packets.empty());
            const std::string sid = newSession(rate == 8000 ? "8" : "16");
            const int count = static_cast<int>(packets.size());
            for (int i = 1; i <= count; ++i) EXPECT_EQ(0, errNo(upload(sid, i, packets[i - 1])));
            EXPECT_EQ(0, errNo(upload(sid, -(count + 1), std::string(100, '\0'))));
            EXPECT_EQ("good morning", text(fetchFinal(sid))) << rate << " Hz, compression " << compress;
        }
    }
}

TEST(PocketSphinxSetup, RefusesGrammarsItCannotUse) {
    if (!haveModel()) GTEST_SKIP() << "no PocketSphinx model";
    const vela_test::TempDir dir;
    auto write = [&](const std::string& name, const std::string& text) {
        const std::string path = dir.path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    };
    const std::string good = write("good.gram", "#JSGF V1.0;\ngrammar g;\npublic <a> = yes | no;\n");
    const std::string unknown =
        write("unknown.gram", "#JSGF V1.0;\ngrammar g;\npublic <a> = yes | xyzzyq;\n");
    auto refused = [](const PocketSphinxConfig& config, SetupFailure expected, const std::string& message) {
        std::string error;
        SetupFailure failure = SetupFailure::Model;
        EXPECT_EQ(nullptr, PocketSphinxRecognizer::create(config, error, &failure)) << message;
        EXPECT_EQ(message, error);
        EXPECT_EQ(expected, failure) << message;
    };
    PocketSphinxConfig config;
    config.phrases = {"yes", "xyzzyq plugh"};
    refused(config, SetupFailure::Grammar,
            "the grammar of the phrases uses words the dictionary lacks: xyzzyq, plugh");
    config.phrases.clear();
    config.grammar_file = unknown;
    refused(config, SetupFailure::Grammar, "grammar " + unknown + " uses words the dictionary lacks: xyzzyq");
    config.grammar_file = dir.path() + "/none.gram";
    refused(config, SetupFailure::Grammar, "grammar file " + config.grammar_file + " does not exist");

    config.grammar_file = good;
    std::string error;
    EXPECT_NE(nullptr, PocketSphinxRecognizer::create(config, error)) << error;
    config.model_dir = "/nonexistent";  // the server may fall back to the echo recogniser
    refused(config, SetupFailure::Model, "model file /nonexistent/en-us/mdef is missing");
}

}  // namespace
}  // namespace asrserver
