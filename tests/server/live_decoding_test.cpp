// Recorded speech through the PocketSphinx recogniser's utterances, fed in
// 10 ms steps as a live stream: how early the first words show (counted in
// audio fed, not in time) and that the final text depends on the audio alone.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/asr-server/pocketsphinx_recognizer.h"
#include "support/files.h"
#include "support/speech.h"

namespace asrserver {
namespace {

struct Case {
    const char* recording;  // under tests/data
    const char* grammar;    // under tests/data, or null for the language model
    const char* profile;
};

const Case kCases[] = {
    {"../../examples/audio/goforward.raw", nullptr, "accurate"},  // with the flat-lexicon pass
    {"../../examples/audio/goforward.raw", nullptr, "balanced"},
    {"../../examples/audio/goforward.raw", nullptr, "fast"},  // without the settled pass
    {"speech/cards-005.wav", "speech/cards.gram", "balanced"},
};

struct Decoded {
    size_t first_words = 0;  // samples fed after the speech onset until the first non-empty partial
    std::string text;
};

Decoded decode(Recognizer& rec, const std::vector<int16_t>& pcm) {
    std::unique_ptr<Utterance> utt = rec.open(16000, std::chrono::seconds(10));
    EXPECT_TRUE(utt);
    if (!utt) return {};
    const size_t onset = vela_test::speechOnset(pcm, 16000);
    Decoded d;
    d.first_words = pcm.size();
    for (size_t at = 0; at < pcm.size(); at += 160) {
        const size_t n = std::min<size_t>(160, pcm.size() - at);
        utt->feed(pcm.data() + at, n);
        if (d.first_words == pcm.size() && !utt->partial().text.empty())
            d.first_words = at + n - std::min(at + n, onset);
    }
    d.text = utt->finish().text;
    return d;
}

TEST(LiveDecoding, FirstWordsEarlyAndFinalTextIndependentOfTheDecodersPast) {
    if (!std::filesystem::exists(PocketSphinxConfig().model_dir + "/en-us.lm.bin")) {
        GTEST_SKIP() << "no PocketSphinx model";
    }
    const std::vector<int16_t> other = vela_test::pcmSamples(vela_test::testData("speech/librivox-0880.wav"));
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.recording) + " " + c.profile);
        PocketSphinxConfig config;
        config.max_decoders = 1;  // every utterance on the same decoder
        config.profile = c.profile;
        if (c.grammar != nullptr) config.grammar_file = vela_test::testDataPath(c.grammar);
        std::string error;
        std::unique_ptr<PocketSphinxRecognizer> rec = PocketSphinxRecognizer::create(config, error);
        ASSERT_TRUE(rec) << error;
        const std::vector<int16_t> pcm = vela_test::pcmSamples(vela_test::testData(c.recording));
        ASSERT_GT(pcm.size(), 16000u);

        const Decoded first = decode(*rec, pcm);
        std::printf("%s, %s: first words %zu ms of audio after the onset, \"%s\"\n", c.recording, c.profile,
                    first.first_words / 16, first.text.c_str());
        EXPECT_LE(first.first_words, 500u * 16);
        EXPECT_FALSE(first.text.empty());
        decode(*rec, other);  // something else, of another speaker, in between
        EXPECT_EQ(first.text, decode(*rec, pcm).text);
    }
}

}  // namespace
}  // namespace asrserver
