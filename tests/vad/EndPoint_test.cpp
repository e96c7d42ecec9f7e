// End-point detection: start and end of speech, the waits and limits, the
// end-of-input marker, and the release windows, on synthetic bursts and on
// short spoken files.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/MFE.h"
#include "vad/bv32/bv32.h"

namespace {

using fetest::kFrame;

struct Step {
    int detect;
    int handed;
    uint64_t frames;  // frames analysed after the call
    DWORD state;
};

// Sends chunks of `chunk` samples, calling detect and fetch each time, until a
// final verdict (2-5) or the end of the samples. PCM output goes to `pcm`.
std::vector<Step> drive(CMFE& m, const std::vector<short>& v, std::vector<char>* stream = nullptr,
                        size_t chunk = 1600) {
    std::vector<Step> steps;
    std::vector<char> buf(32000);
    for (size_t pos = 0; pos < v.size(); pos += chunk) {
        const size_t n = std::min(chunk, v.size() - pos);
        EXPECT_EQ(m.mfeSendData(const_cast<short*>(v.data()) + pos, static_cast<int>(n)), 0);
        const int d = m.mfeDetect();
        int got = 0;
        if (d != RET_NO_SPEECH && d != RET_SPEECH_TOO_SHORT) got = m.mfeGetCallbackData(buf.data(), 32000);
        if (got > 0 && stream != nullptr) stream->insert(stream->end(), buf.begin(), buf.begin() + got);
        steps.push_back({d, got, m.lVADResultCurLoc, m.nVADCurState});
        if (d >= RET_SPEECH_TO_SILENCE && d <= RET_SPEECH_TOO_LONG) break;
    }
    return steps;
}

// First frame of the last run of ones that is followed by a zero.
int firstZeroAfterSpeech(const CMFE& m) {
    int last = -1;
    for (uint64_t f = 0; f < m.lVADResultCurLoc; ++f) {
        if (m.g_pVADResult[f] == 1) last = static_cast<int>(f);
    }
    return last + 1;
}

class BurstAtRate : public ::testing::TestWithParam<int> {};

TEST_P(BurstAtRate, SpeechBetweenSilencesIsFoundWithBackOffAndEnds) {
    const int rate = GetParam();
    const int back = rate == 8000 ? 10 : 20;
    const uint64_t pause = rate == 8000 ? 15 : 30;
    const uint64_t candidate = rate == 8000 ? 2 : 4;
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, rate, true, false), 0);
    const std::vector<short> v = fetest::burstSession(40, 40, 80);
    std::vector<char> pcm;
    const std::vector<Step> steps = drive(m, v, &pcm);
    ASSERT_EQ(steps.back().detect, RET_SPEECH_TO_SILENCE);

    const int first = fetest::firstSpeechFrame(m);
    ASSERT_GE(first, 40);
    ASSERT_LE(first, 43);
    EXPECT_EQ(m.nStartFrame, static_cast<DWORD>(first - back));
    const int zero = firstZeroAfterSpeech(m);
    EXPECT_EQ(m.nEndFrame, zero + candidate);
    // The end is reported by the first call that has seen `pause` silent frames.
    EXPECT_GE(steps.back().frames, zero + pause);
    EXPECT_LT(steps[steps.size() - 2].frames, zero + pause);

    // Before the start only silence verdicts and no output; in silence a
    // batch ending on a speech frame says 1 but hands nothing out.
    size_t i = 0;
    for (; i < steps.size() && steps[i].state == SILENCE; ++i) {
        EXPECT_EQ(steps[i].handed, 0);
        EXPECT_TRUE(steps[i].detect == RET_SILENCE || steps[i].detect == RET_SILENCE_TO_SPEECH);
    }
    // From the start: 1 until the end, and every window in whole 80-sample units.
    ASSERT_LT(i, steps.size());
    for (size_t k = i; k + 1 < steps.size(); ++k) EXPECT_EQ(steps[k].detect, RET_SILENCE_TO_SPEECH);
    for (size_t k = i + 1; k < steps.size(); ++k) EXPECT_EQ(steps[k].handed % 160, 0) << k;
    ASSERT_GT(steps[i].handed, 4);
    EXPECT_EQ((steps[i].handed - 4) % 160, 0);

    // The released PCM runs from the start frame (pre-roll included) up to the
    // candidate end, less than one unit short of it.
    ASSERT_GE(pcm.size(), 4u);
    const size_t samples = (pcm.size() - 4) / 2;
    const size_t from = static_cast<size_t>(m.nStartFrame) * kFrame;
    EXPECT_TRUE(
        std::equal(v.begin() + from, v.begin() + from + samples, reinterpret_cast<short*>(pcm.data() + 4)));
    EXPECT_LE(from + samples, static_cast<size_t>(m.nEndFrame) * kFrame);
    EXPECT_GT(from + samples + 80, static_cast<size_t>(m.nEndFrame) * kFrame);
}

INSTANTIATE_TEST_SUITE_P(Rates, BurstAtRate, ::testing::Values(8000, 16000));

TEST(EndPoint, SpeechRightAfterLearningStartsAtFrameZero) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    // Loud frames from frame 7 on: decisions are 0 up to frame 8, 1 from frame 9.
    const std::vector<short> v = fetest::burstSession(7, 40, 40);
    std::vector<char> pcm;
    drive(m, v, &pcm);
    EXPECT_EQ(fetest::firstSpeechFrame(m), 9);
    EXPECT_EQ(m.nStartFrame, 0u);
    ASSERT_GT(pcm.size(), 4u);
    EXPECT_EQ(reinterpret_cast<short*>(pcm.data() + 4)[0], v[0]);
}

TEST(EndPoint, NoSpeechWithinTheWait) {
    for (int rate : {8000, 16000}) {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, rate, true, true), 0);
        const uint64_t wait = rate == 8000 ? 250 : 500;
        const std::vector<short> v(static_cast<size_t>(kFrame) * (wait + 40), 0);
        const std::vector<Step> steps = drive(m, v);
        ASSERT_EQ(steps.back().detect, RET_NO_SPEECH) << rate;
        EXPECT_GT(steps.back().frames + 8, wait);  // the scan runs up to 7 frames ahead
        EXPECT_LE(steps[steps.size() - 2].frames, wait);
        for (const Step& s : steps) EXPECT_EQ(s.handed, 0);
    }
}

TEST(EndPoint, SpeechLongerThanTheLimitIsTooLong) {
    for (int rate : {8000, 16000}) {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, rate, true, false), 0);
        const uint64_t limit = rate == 8000 ? 400 : 800;
        const std::vector<short> v = fetest::burstSession(20, static_cast<int>(limit) + 100, 0);
        const std::vector<Step> steps = drive(m, v);
        const uint64_t candidate = rate == 8000 ? 2 : 4;
        ASSERT_EQ(steps.back().detect, RET_SPEECH_TOO_LONG) << rate;
        // The scan position runs at most the candidate window past the last frame.
        EXPECT_GT(steps.back().frames + candidate - 1 - m.nStartFrame, limit);
        EXPECT_LE(steps[steps.size() - 2].frames + candidate - 1 - m.nStartFrame, limit);
    }
}

TEST(EndPoint, SpeechShorterThanTheMinimumIsTooShort) {
    CMFE m;
    m.mfeSetParam(4, 40);  // 40 frames (1.28 s) of speech at least
    m.mfeSetParam(3, 15);
    m.mfeSetParam(12, 0);
    ASSERT_EQ(m.mfeInit(), 0);
    const std::vector<Step> steps = drive(m, fetest::burstSession(30, 8, 60));
    EXPECT_EQ(steps.back().detect, RET_SPEECH_TOO_SHORT);
    EXPECT_LT(static_cast<int>(m.nEndFrame) - static_cast<int>(m.nStartFrame), 40);
}

// Sends v in 1600-sample chunks up to `upTo` samples, then the end-of-input marker.
int endAfter(CMFE& m, const std::vector<short>& v, size_t upTo, std::vector<char>* out = nullptr) {
    std::vector<char> buf(32000);
    for (size_t pos = 0; pos < upTo; pos += 1600) {
        EXPECT_EQ(m.mfeSendData(const_cast<short*>(v.data()) + pos,
                                static_cast<int>(std::min<size_t>(1600, upTo - pos))),
                  0);
        const int d = m.mfeDetect();
        EXPECT_TRUE(d == RET_SILENCE || d == RET_SILENCE_TO_SPEECH) << pos << ": " << d;
        const int n = m.mfeGetCallbackData(buf.data(), 32000);
        if (n > 0 && out != nullptr) out->insert(out->end(), buf.begin(), buf.begin() + n);
    }
    EXPECT_EQ(m.mfeSendData(nullptr, 0), 0);
    const int d = m.mfeDetect();
    const int n = m.mfeGetCallbackData(buf.data(), 32000);
    if (n > 0 && out != nullptr) out->insert(out->end(), buf.begin(), buf.begin() + n);
    return d;
}

TEST(EndOfInput, VerdictFollowsTheStateBeforeTheMarker) {
    const std::vector<short> v = fetest::burstSession(30, 600, 0);
    {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
        EXPECT_EQ(endAfter(m, v, 20 * kFrame), RET_NO_SPEECH);
    }
    {
        CMFE m;  // 100 frames of speech: an ordinary end, the rest released
        ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
        std::vector<char> pcm;
        EXPECT_EQ(endAfter(m, v, 130 * kFrame + 100, &pcm), RET_SPEECH_TO_SILENCE);
        EXPECT_EQ(m.nEndFrame, 130u);
        const size_t end = m.nStartFrame * kFrame + (pcm.size() - 4) / 2;
        EXPECT_LE(end, m.lSample);
        EXPECT_GT(end + 80, m.lSample);
    }
    {
        CMFE m;  // minimum raised above what was heard
        m.mfeSetParam(4, 60);
        m.mfeSetParam(12, 0);
        ASSERT_EQ(m.mfeInit(), 0);
        EXPECT_EQ(endAfter(m, v, 70 * kFrame), RET_SPEECH_TOO_SHORT);
    }
    {
        // More than the maximum less 10 frames, while the scan limit (400
        // frames after the start) is not reached yet.
        CMFE probe;
        ASSERT_EQ(fetest::initLikeSdk(probe, 8000, true, false), 0);
        drive(probe, std::vector<short>(v.begin(), v.begin() + 60 * kFrame));
        const DWORD start = probe.nStartFrame;
        ASSERT_GT(start, 0u);
        for (DWORD length : {390u, 391u}) {
            CMFE m;
            ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
            const int d = endAfter(m, v, static_cast<size_t>(start + length) * kFrame);
            EXPECT_EQ(m.nStartFrame, start);
            EXPECT_EQ(m.nEndFrame - m.nStartFrame, length);
            EXPECT_EQ(d, length == 390u ? RET_SPEECH_TO_SILENCE : RET_SPEECH_TOO_LONG);
        }
    }
}

TEST(EndOfInput, DetectionOffAndAfterTheEnd) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    const std::vector<Step> steps = drive(m, fetest::burstSession(30, 30, 60));
    ASSERT_EQ(steps.back().detect, RET_SPEECH_TO_SILENCE);
    EXPECT_EQ(m.mfeSendData(nullptr, 0), 0);
    EXPECT_EQ(m.mfeDetect(), RET_SPEECH_TO_SILENCE);
}

TEST(SpokenFiles, WordsAreFoundInSilenceAndInNoise) {
    struct Case {
        const char* file;
        int rate;
    };
    for (const Case& c :
         {Case{"speech_8k.pcm", 8000}, Case{"speech_noise_8k.pcm", 8000}, Case{"speech_16k.pcm", 16000}}) {
        SCOPED_TRACE(c.file);
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, c.rate, true, false), 0);
        const std::vector<Step> steps = drive(m, fetest::loadPcm(c.file));
        ASSERT_EQ(steps.back().detect, RET_SPEECH_TO_SILENCE);
        // The words start 0.6 s in and last about 1.4 s.
        const double frameSec = 256.0 / c.rate;
        const double start = fetest::firstSpeechFrame(m) * frameSec;
        const double end = m.nEndFrame * frameSec;
        EXPECT_NEAR(start, 0.6, 0.15);
        EXPECT_GT(end, 1.9);
        EXPECT_LT(end, 2.6);
    }
}

TEST(SpokenFiles, CompressedStreamIsTheEncodingOfTheReleasedSamples) {
    for (int rate : {8000, 16000}) {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, rate, true, true), 0);
        const std::vector<short> v = fetest::loadPcm(rate == 8000 ? "speech_8k.pcm" : "speech_16k.pcm");
        std::vector<char> stream;
        drive(m, v, &stream);
        ASSERT_GT(stream.size(), 4u);
        EXPECT_EQ(stream[0], rate == 8000 ? 0 : 4);
        EXPECT_EQ(stream[1] | stream[2] | stream[3], 0);
        ASSERT_EQ((stream.size() - 4) % 20, 0u);

        BV32_Encoder_State* st = allocEncoderState(0, 0);
        BV32_Bit_Stream* bs = allocBitStream(0, 0);
        Reset_BV32_Encoder(st);
        const size_t frames = (stream.size() - 4) / 20;
        const size_t from = static_cast<size_t>(m.nStartFrame) * kFrame;
        UWord8 packed[20];
        for (size_t k = 0; k < frames; ++k) {
            std::vector<Word16> x(v.begin() + from + 80 * k, v.begin() + from + 80 * (k + 1));
            BV32_Encode(bs, st, x.data());
            BV32_BitPack(packed, bs);
            ASSERT_TRUE(
                std::equal(packed, packed + 20, reinterpret_cast<UWord8*>(stream.data()) + 4 + 20 * k))
                << rate << " frame " << k;
        }
        deallocEncoderState(st, 0, 0);
        deallocBitStream(bs, 0, 0);
    }
}

TEST(SpokenFiles, RangeControlConditionsOnlyWhatTheDetectorSees) {
    const std::vector<short> v = fetest::loadPcm("speech_noise_8k.pcm");
    CMFE m;
    m.mfeSetParam(22, 1);
    m.mfeSetParam(3, 15);
    m.mfeSetParam(12, 0);
    ASSERT_EQ(m.mfeInit(), 0);
    ASSERT_NE(m.drc_handle, nullptr);
    std::vector<char> pcm;
    const std::vector<Step> steps = drive(m, v, &pcm);
    EXPECT_EQ(steps.back().detect, RET_SPEECH_TO_SILENCE);
    EXPECT_TRUE(std::equal(v.begin(), v.begin() + m.lSample, m.g_pData));
    const size_t from = static_cast<size_t>(m.nStartFrame) * kFrame;
    ASSERT_GT(pcm.size(), 4u);
    EXPECT_TRUE(std::equal(v.begin() + from, v.begin() + from + (pcm.size() - 4) / 2,
                           reinterpret_cast<short*>(pcm.data() + 4)));
    EXPECT_EQ(m.mfeReset(), 0);
    EXPECT_NE(m.drc_handle, nullptr);
    EXPECT_EQ(m.mfeExit(), 0);
    EXPECT_EQ(m.drc_handle, nullptr);
}

TEST(SpeechModes, PauseRewindsAndTheNextSegmentRestartsTheStream) {
    for (int comb : {0, 1}) {
        SCOPED_TRACE(comb);
        CMFE m;
        m.mfeSetParam(10, 1);
        m.mfeSetParam(21, comb);
        m.mfeSetParam(3, 15);
        ASSERT_EQ(m.mfeInit(), 0);
        std::vector<short> v = fetest::loadPcm("two_words_8k.pcm");
        v.resize(v.size() + 8000 * 3, 0);
        std::vector<char> buf(32000);
        std::vector<int> firstOfSegment;
        DWORD prev = SILENCE;
        int pauses = 0;
        for (size_t pos = 0; pos + 1600 <= v.size(); pos += 1600) {
            ASSERT_EQ(m.mfeSendData(v.data() + pos, 1600), 0);
            const int d = m.mfeDetect();
            const int n = m.mfeGetCallbackData(buf.data(), 32000);
            if (m.nVADCurState == SPEECH_PAUSE && prev != SPEECH_PAUSE) {
                ++pauses;
                EXPECT_EQ(d, RET_SILENCE);
            }
            if (m.nVADCurState == SILENCE_TO_SPEECH && prev != SILENCE_TO_SPEECH) {
                ASSERT_GT(n, 4);
                firstOfSegment.push_back(n);
                // Every segment's stream starts with the header, except a resumed
                // one when the repeated header is stripped.
                const bool header = !(comb == 1 && prev == SPEECH_PAUSE);
                EXPECT_EQ((n - (header ? 4 : 0)) % 20, 0) << n;
                if (header) {
                    EXPECT_EQ(buf[0], 0);
                }
            }
            prev = m.nVADCurState;
            if (d == RET_SPEECH_TO_SILENCE) break;
        }
        EXPECT_EQ(pauses, 2);
        EXPECT_EQ(firstOfSegment.size(), 2u);
        EXPECT_EQ(m.nVADCurState, static_cast<DWORD>(SPEECH_TO_SILENCE));
    }
}

}  // namespace
