// Word timings, confidences and alternatives: the word lists PocketSphinx
// gives for recorded speech, and how the server renders them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "server/asr-server/pocketsphinx_recognizer.h"
#include "server/asr-server/ps_hypothesis.h"
#include "server_fixture.h"
#include "support/files.h"

namespace asrserver {
namespace {

// The samples of a recording: raw PCM, or a WAV file of the test data (a
// 44-byte header).
std::vector<int16_t> samplesOf(const std::string& bytes) {
    const size_t from = bytes.compare(0, 4, "RIFF") == 0 ? 44 : 0;
    std::vector<int16_t> out((bytes.size() - std::min(from, bytes.size())) / 2);
    std::memcpy(out.data(), bytes.data() + from, out.size() * 2);
    return out;
}

// Checks what every hypothesis must hold; `where` names it in failures.
void expectWellFormed(const Hypothesis& h, int audio_ms, const std::string& where) {
    std::string spelled;
    int previous_end = 0;
    for (const Word& w : h.words) {
        spelled += (spelled.empty() ? "" : " ") + w.word;
        EXPECT_FALSE(isFillerWord(w.word)) << where << ": " << w.word;
        EXPECT_EQ(baseWord(w.word), w.word) << where;
        EXPECT_LE(previous_end, w.start_ms) << where << ": " << w.word;
        EXPECT_LE(w.start_ms, w.end_ms) << where << ": " << w.word;
        EXPECT_LE(w.end_ms, audio_ms) << where << ": " << w.word;
        EXPECT_TRUE(w.conf >= 0 && w.conf <= 1) << where << ": " << w.word << " " << w.conf;
        previous_end = w.end_ms;
    }
    EXPECT_EQ(h.text, spelled) << where;
}

TEST(WordNames, FillersAndVariants) {
    for (const char* w : {"<s>", "</s>", "<sil>", "[NOISE]", "++BREATH++", "(NULL)", ""})
        EXPECT_TRUE(isFillerWord(w));
    for (const char* w : {"the", "the(2)", "o'clock"}) EXPECT_FALSE(isFillerWord(w)) << w;
    const std::pair<const char*, const char*> bases[] = {{"the(2)", "the"}, {"read(12)", "read"},
                                                         {"the", "the"},    {"(2)", "(2)"},
                                                         {"x(a)", "x(a)"},  {"x()", "x()"}};
    for (const auto& b : bases) EXPECT_EQ(b.second, baseWord(b.first)) << b.first;
}

// Recorded speech through the recogniser in 100 ms feeds, with the language
// model and with a grammar, at 16 kHz and (every other sample) 8 kHz: every
// intermediate and final hypothesis is well formed, and finals carry distinct
// alternatives, best first. A recording said twice around a pause is heard on
// both sides of it: no word within the pause, the first before it, the last
// after it.
TEST(PocketSphinxWords, WordListsOfRecordedSpeechAreWellFormed) {
    if (!std::filesystem::exists(PocketSphinxConfig().model_dir + "/en-us.lm.bin")) {
        GTEST_SKIP() << "no PocketSphinx model";
    }
    const struct Case {
        const char* file;
        bool grammar;
        int rate;
        bool twice = false;  // with 2 s of silence between
        int lead_s = 0;      // seconds of silence before it
    } cases[] = {
        {"../../examples/audio/goforward.raw", false, 16000},
        {"speech/cards-001.wav", false, 16000},
        {"speech/librivox-0880.wav", false, 16000},
        {"speech/cards-005.wav", true, 16000},
        {"speech/cards-005.wav", true, 8000},
        {"speech/cards-001.wav", true, 8000},
        {"speech/cards-001.wav", false, 16000, true},
        {"speech/cards-001.wav", true, 16000, true},
        {"../../examples/audio/goforward.raw", false, 16000, false, 4},
    };
    std::unique_ptr<PocketSphinxRecognizer> lm;
    std::unique_ptr<PocketSphinxRecognizer> grammar;
    for (const Case& c : cases) {
        std::unique_ptr<PocketSphinxRecognizer>& rec = c.grammar ? grammar : lm;
        if (!rec) {
            PocketSphinxConfig config;
            config.max_decoders = 1;
            config.nbest = 3;
            if (c.grammar) config.grammar_file = vela_test::testDataPath("speech/cards.gram");
            std::string error;
            rec = PocketSphinxRecognizer::create(config, error);
            ASSERT_TRUE(rec) << error;
        }
        std::vector<int16_t> pcm = samplesOf(vela_test::testData(c.file));
        ASSERT_FALSE(pcm.empty()) << c.file;
        if (c.rate == 8000) {
            for (size_t i = 0; i < pcm.size() / 2; ++i) pcm[i] = pcm[2 * i];
            pcm.resize(pcm.size() / 2);
        }
        const int once_ms = static_cast<int>(pcm.size() * 1000 / c.rate);
        if (c.twice) {
            const std::vector<int16_t> once = pcm;
            pcm.resize(pcm.size() + 2 * static_cast<size_t>(c.rate), 0);
            pcm.insert(pcm.end(), once.begin(), once.end());
        }
        pcm.insert(pcm.begin(), static_cast<size_t>(c.lead_s * c.rate), 0);
        const std::string where = std::string(c.file) + (c.grammar ? " grammar " : " LM ") +
                                  std::to_string(c.rate) + (c.twice ? " twice" : "") +
                                  (c.lead_s > 0 ? " after silence" : "");
        std::unique_ptr<Utterance> u = rec->open(c.rate, std::chrono::seconds(1));
        ASSERT_TRUE(u);
        const size_t step = static_cast<size_t>(c.rate) / 10;
        for (size_t at = 0; at < pcm.size(); at += step) {
            const size_t n = std::min(step, pcm.size() - at);
            u->feed(pcm.data() + at, n);
            const Hypothesis partial = u->partial();
            expectWellFormed(partial, static_cast<int>((at + n) * 1000 / c.rate), where + " partial");
            EXPECT_TRUE(partial.alternatives.empty()) << where;
        }
        const Hypothesis final = u->finish();
        expectWellFormed(final, static_cast<int>(pcm.size() * 1000 / c.rate), where + " final");
        EXPECT_FALSE(final.words.empty()) << where;
        if (!final.words.empty()) {
            EXPECT_GE(final.words.front().start_ms, c.lead_s * 1000) << where;
        }
        ASSERT_FALSE(final.alternatives.empty()) << where;
        if (c.twice && !final.words.empty()) {
            EXPECT_LT(final.words.front().start_ms, once_ms) << where;
            EXPECT_GT(final.words.back().end_ms, once_ms + 2000) << where;
            for (const Word& w : final.words) {
                EXPECT_TRUE(w.end_ms <= once_ms + 500 || w.start_ms >= once_ms + 1500)
                    << where << ": " << w.word;
            }
        }
        EXPECT_LE(final.alternatives.size(), 3u) << where;
        for (size_t i = 1; i < final.alternatives.size(); ++i) {
            EXPECT_GE(final.alternatives[i - 1].score, final.alternatives[i].score) << where;
            for (size_t j = 0; j < i; ++j) EXPECT_NE(final.alternatives[j].text, final.alternatives[i].text);
        }
        std::printf("%s: \"%s\"\n ", where.c_str(), final.text.c_str());
        for (const Word& w : final.words)
            std::printf(" %s %d-%d %.2f", w.word.c_str(), w.start_ms, w.end_ms, w.conf);
        std::printf("\n  alternatives:");
        for (const Alternative& a : final.alternatives) std::printf(" \"%s\" %.1f;", a.text.c_str(), a.score);
        std::printf("\n");
    }
}

// The server's rendering, with the echo recogniser (six words sharing each
// utterance's audio equally): words on every result, times counted from the
// session's first sample across the pieces a decoder given back for idleness
// leaves, alternatives on final results only and only when asked for.
TEST_F(ServerTest, ResultsCarryWordsAndFinalsAlternatives) {
    for (const size_t nbest : {0, 2}) {
        ServiceConfig config = fastConfig();
        config.limits.decoder_idle = std::chrono::seconds(2);
        start(config, std::make_unique<EchoRecognizer>(nbest));
        const std::string sid = newSession("8");
        ASSERT_EQ(0, errNo(upload(sid, 1, std::string(12000, 'a'))));  // 750 ms at 8 kHz
        Json::Value v = fetch(sid);
        ASSERT_EQ(2, status(v));
        const Json::Value* words = &v["asr_content"]["words"];
        ASSERT_EQ(6u, words->size());
        EXPECT_EQ("received", (*words)[0]["word"].asString());
        EXPECT_EQ(625, (*words)[5]["start_ms"].asInt());
        EXPECT_EQ(750, (*words)[5]["end_ms"].asInt());
        EXPECT_EQ(1.0, (*words)[5]["conf"].asDouble());
        EXPECT_FALSE(v["asr_content"].isMember("alternatives"));

        advanceClock(std::chrono::seconds(3));  // idle: the first piece is finished
        service_->expireIdle();
        ASSERT_EQ(0, errNo(upload(sid, -2, std::string(4800, 'a'))));  // 300 ms more
        v = fetchFinal(sid);
        ASSERT_EQ(3, status(v));
        const std::string text = "received 12000 bytes in 1 packets received 4800 bytes in 1 packets";
        EXPECT_EQ(text, this->text(v));
        words = &v["asr_content"]["words"];
        ASSERT_EQ(12u, words->size());
        EXPECT_EQ(750, (*words)[6]["start_ms"].asInt());
        EXPECT_EQ(1050, (*words)[11]["end_ms"].asInt());
        EXPECT_EQ(nbest > 0, v["asr_content"].isMember("alternatives"));
        const Json::Value& alternatives = static_cast<const Json::Value&>(v)["asr_content"]["alternatives"];
        ASSERT_EQ(nbest, alternatives.size());
        if (nbest > 0) {
            EXPECT_EQ(text, alternatives[0]["text"].asString());
            EXPECT_EQ(0.0, alternatives[0]["score"].asDouble());
            EXPECT_EQ("received 12000 bytes in 1 packets received 4800 bytes in 2 packets",
                      alternatives[1]["text"].asString());
            EXPECT_EQ(-1.0, alternatives[1]["score"].asDouble());
        }
        TearDown();
    }
}

}  // namespace
}  // namespace asrserver
