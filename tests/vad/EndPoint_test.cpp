// End-point detection: start and end of speech, waits and limits, the
// end-of-input marker and the release windows, on synthetic bursts and on
// short spoken files.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/MFE.h"

namespace {

using fetest::kFrame;

struct Step {
    int detect, handed;
    uint64_t frames;  // frames analysed after the call
    DWORD state;
};

// Drives the engine as the SDK does: per chunk send, detect and (unless the
// verdict is 3 or 4) fetch; stops after a final verdict (2-5) unless told not to.
std::vector<Step> drive(CMFE& m, const std::vector<short>& v, std::vector<char>* stream = nullptr,
                        size_t upTo = SIZE_MAX, bool untilVerdict = true) {
    std::vector<Step> steps;
    std::vector<char> buf(32000);
    upTo = std::min(upTo, v.size());
    for (size_t pos = 0; pos < upTo; pos += 1600) {
        const int n = static_cast<int>(std::min<size_t>(1600, upTo - pos));
        EXPECT_EQ(m.mfeSendData(const_cast<short*>(v.data()) + pos, n), 0);
        const int d = m.mfeDetect();
        const int got =
            (d == RET_NO_SPEECH || d == RET_SPEECH_TOO_SHORT) ? 0 : m.mfeGetCallbackData(buf.data(), 32000);
        if (got > 0 && stream != nullptr) stream->insert(stream->end(), buf.begin(), buf.begin() + got);
        steps.push_back({d, got, m.lVADResultCurLoc, m.nVADCurState});
        if (untilVerdict && d >= RET_SPEECH_TO_SILENCE && d <= RET_SPEECH_TOO_LONG) break;
    }
    return steps;
}

// Sends v up to `upTo` samples, then the end-of-input marker; returns the verdict.
int endAfter(CMFE& m, const std::vector<short>& v, size_t upTo, std::vector<char>* stream = nullptr) {
    for (const Step& s : drive(m, v, stream, upTo, false)) EXPECT_LE(s.detect, RET_SILENCE_TO_SPEECH);
    EXPECT_EQ(m.mfeSendData(nullptr, 0), 0);
    const int d = m.mfeDetect();
    std::vector<char> buf(32000);
    const int got = m.mfeGetCallbackData(buf.data(), 32000);
    if (got > 0 && stream != nullptr) stream->insert(stream->end(), buf.begin(), buf.begin() + got);
    return d;
}

class BurstAtRate : public ::testing::TestWithParam<int> {};

TEST_P(BurstAtRate, SpeechBetweenSilencesIsFoundWithBackOffAndEnds) {
    const int rate = GetParam();
    const int back = rate == 8000 ? 10 : 20;
    const uint64_t pause = rate == 8000 ? 15 : 30, candidate = rate == 8000 ? 2 : 4;
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, rate, true, false), 0);
    const std::vector<short> v = fetest::burstSession(40, 40, 80);
    std::vector<char> pcm;
    const std::vector<Step> steps = drive(m, v, &pcm);
    ASSERT_EQ(steps.back().detect, RET_SPEECH_TO_SILENCE);

    const int first = fetest::firstSpeechFrame(m);
    ASSERT_TRUE(first >= 40 && first <= 43) << first;
    EXPECT_EQ(m.nStartFrame, static_cast<DWORD>(first - back));
    int zero = first;
    while (m.g_pVADResult[zero] == 1) ++zero;
    EXPECT_EQ(std::count(m.g_pVADResult + zero, m.g_pVADResult + m.lVADResultCurLoc, 1), 0);
    EXPECT_EQ(m.nEndFrame, zero + candidate);
    // The end comes with the first call that has seen `pause` silent frames.
    EXPECT_GE(steps.back().frames, zero + pause);
    EXPECT_LT(steps[steps.size() - 2].frames, zero + pause);

    // In silence no output, even when a batch ends on a speech frame (verdict 1).
    size_t i = 0;
    for (; i < steps.size() && steps[i].state == SILENCE; ++i) EXPECT_EQ(steps[i].handed, 0);
    ASSERT_LT(i + 1, steps.size());
    EXPECT_EQ(steps[i - 1].detect, RET_SILENCE_TO_SPEECH);
    // From the start: verdict 1 until the end, windows in whole 80-sample units.
    EXPECT_EQ((steps[i].handed - 4) % 160, 0);
    for (size_t k = i + 1; k < steps.size(); ++k) EXPECT_EQ(steps[k].handed % 160, 0) << k;
    for (size_t k = i; k + 1 < steps.size(); ++k) EXPECT_EQ(steps[k].detect, RET_SILENCE_TO_SPEECH) << k;

    // The PCM runs from the start frame (pre-roll included) to within one unit
    // of the candidate end.
    const size_t from = m.nStartFrame * kFrame, samples = (pcm.size() - 4) / 2;
    EXPECT_TRUE(
        std::equal(v.begin() + from, v.begin() + from + samples, reinterpret_cast<short*>(pcm.data() + 4)));
    EXPECT_LE(from + samples, m.nEndFrame * kFrame);
    EXPECT_GT(from + samples + 80, m.nEndFrame * kFrame);
}

INSTANTIATE_TEST_SUITE_P(Rates, BurstAtRate, ::testing::Values(8000, 16000));

TEST(EndPoint, SpeechRightAfterLearningStartsAtFrameZero) {
    CMFE m;
    ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
    const std::vector<short> v = fetest::burstSession(7, 40, 40);  // loud from frame 7 on
    std::vector<char> pcm;
    drive(m, v, &pcm);
    EXPECT_EQ(fetest::firstSpeechFrame(m), 9);
    EXPECT_EQ(m.nStartFrame, 0u);
    ASSERT_GT(pcm.size(), 4u);
    EXPECT_EQ(reinterpret_cast<short*>(pcm.data() + 4)[7 * kFrame], v[7 * kFrame]);
}

TEST(EndPoint, NoSpeechWithinTheWaitAndSpeechBeyondTheLimit) {
    for (int rate : {8000, 16000}) {
        SCOPED_TRACE(rate);
        const uint64_t wait = rate == 8000 ? 250 : 500, limit = rate == 8000 ? 400 : 800;
        const uint64_t candidate = rate == 8000 ? 2 : 4;
        CMFE quiet;
        ASSERT_EQ(fetest::initLikeSdk(quiet, rate, true, true), 0);
        std::vector<Step> steps = drive(quiet, std::vector<short>(kFrame * (wait + 40), 0));
        ASSERT_EQ(steps.back().detect, RET_NO_SPEECH);
        EXPECT_GT(steps.back().frames + 8, wait);  // the scan runs up to 7 frames ahead
        EXPECT_LE(steps[steps.size() - 2].frames, wait);
        for (const Step& s : steps) EXPECT_EQ(s.handed, 0);

        CMFE talk;
        ASSERT_EQ(fetest::initLikeSdk(talk, rate, true, false), 0);
        steps = drive(talk, fetest::burstSession(20, static_cast<int>(limit) + 100, 0));
        ASSERT_EQ(steps.back().detect, RET_SPEECH_TOO_LONG);
        // The scan position runs at most the candidate window past the last frame.
        EXPECT_GT(steps.back().frames + candidate - 1 - talk.nStartFrame, limit);
        EXPECT_LE(steps[steps.size() - 2].frames + candidate - 1 - talk.nStartFrame, limit);
    }
}

TEST(EndPoint, SpeechShorterThanTheMinimumIsTooShort) {
    CMFE m;
    m.mfeSetParam(4, 40);  // at least 40 frames (1.28 s)
    m.mfeSetParam(3, 15);
    ASSERT_EQ(m.mfeInit(), 0);
    EXPECT_EQ(drive(m, fetest::burstSession(30, 8, 60)).back().detect, RET_SPEECH_TOO_SHORT);
    EXPECT_LT(m.nEndFrame - m.nStartFrame, 40u);
}

TEST(EndPoint, CandidateEndPastTheLastSlotOfAFullStoreReleasesOnlyHeldSamples) {
    // A 2 s store holds 16000 samples in 62 whole frames. Speech fading out in
    // its last frames finds a candidate end beyond the last slot.
    for (int tail = 14; tail <= 16; ++tail) {
        SCOPED_TRACE(tail);
        CMFE m;
        m.mfeSetParam(5, 2);
        m.mfeSetParam(3, 15);
        m.mfeSetParam(12, 0);
        ASSERT_EQ(m.mfeInit(), 0);
        std::vector<short> v = fetest::burstSession(12, 62 - 12 - tail, tail);
        v.resize(16000, 0);
        std::vector<char> pcm;
        drive(m, v, &pcm);
        EXPECT_LE(m.lSampleEnd, m.lSample);
        ASSERT_GT(pcm.size(), 4u);
        const size_t from = m.nStartFrame * kFrame, samples = (pcm.size() - 4) / 2;
        ASSERT_LE(from + samples, v.size());
        EXPECT_TRUE(std::equal(v.begin() + from, v.begin() + from + samples,
                               reinterpret_cast<short*>(pcm.data() + 4)));
    }
}

TEST(EndOfInput, VerdictFollowsTheStateBeforeTheMarker) {
    const std::vector<short> v = fetest::burstSession(30, 600, 0);
    CMFE none;
    ASSERT_EQ(fetest::initLikeSdk(none, 8000, true, false), 0);
    EXPECT_EQ(endAfter(none, v, 20 * kFrame), RET_NO_SPEECH);

    CMFE ordinary;  // the rest of the audio is released in whole units
    ASSERT_EQ(fetest::initLikeSdk(ordinary, 8000, true, false), 0);
    std::vector<char> pcm;
    EXPECT_EQ(endAfter(ordinary, v, 130 * kFrame + 100, &pcm), RET_SPEECH_TO_SILENCE);
    EXPECT_EQ(ordinary.nEndFrame, 130u);
    const size_t end = ordinary.nStartFrame * kFrame + (pcm.size() - 4) / 2;
    EXPECT_TRUE(end <= ordinary.lSample && end + 80 > ordinary.lSample);
    EXPECT_EQ(ordinary.mfeSendData(nullptr, 0), 0);  // again after the end
    EXPECT_EQ(ordinary.mfeDetect(), RET_SPEECH_TO_SILENCE);

    CMFE shortOne;
    shortOne.mfeSetParam(4, 60);
    shortOne.mfeSetParam(12, 0);
    ASSERT_EQ(shortOne.mfeInit(), 0);
    EXPECT_EQ(endAfter(shortOne, v, 70 * kFrame), RET_SPEECH_TOO_SHORT);

    // Longer than the maximum less 10 frames, before the scan's own limit.
    CMFE probe;
    ASSERT_EQ(fetest::initLikeSdk(probe, 8000, true, false), 0);
    drive(probe, v, nullptr, 60 * kFrame);
    const DWORD start = probe.nStartFrame;
    ASSERT_GT(start, 0u);
    for (DWORD length : {390u, 391u}) {
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, 8000, true, false), 0);
        const int d = endAfter(m, v, (start + length) * kFrame);
        EXPECT_EQ(m.nEndFrame - m.nStartFrame, length);
        EXPECT_EQ(d, length == 390u ? RET_SPEECH_TO_SILENCE : RET_SPEECH_TOO_LONG);
    }
}

TEST(SpokenFiles, WordsAreFoundInSilenceAndInNoise) {
    for (const char* file : {"speech_8k.pcm", "speech_noise_8k.pcm", "speech_16k.pcm"}) {
        SCOPED_TRACE(file);
        const int rate = std::string(file).find("16k") != std::string::npos ? 16000 : 8000;
        CMFE m;
        ASSERT_EQ(fetest::initLikeSdk(m, rate, true, false), 0);
        const std::vector<short> v = fetest::loadSpeech(file);
        ASSERT_FALSE(v.empty());
        ASSERT_EQ(drive(m, v).back().detect, RET_SPEECH_TO_SILENCE);
        // The words start 0.6 s in and last about 1.4 s.
        EXPECT_NEAR(fetest::firstSpeechFrame(m) * 256.0 / rate, 0.6, 0.15);
        EXPECT_GT(m.nEndFrame * 256.0 / rate, 1.9);
        EXPECT_LT(m.nEndFrame * 256.0 / rate, 2.6);
    }
}

TEST(SpokenFiles, RangeControlConditionsOnlyWhatTheDetectorSees) {
    const std::vector<short> v = fetest::loadSpeech("speech_noise_8k.pcm");
    ASSERT_FALSE(v.empty());
    CMFE m;
    m.mfeSetParam(22, 1);
    m.mfeSetParam(3, 15);
    m.mfeSetParam(12, 0);
    ASSERT_EQ(m.mfeInit(), 0);
    ASSERT_NE(m.drc_handle, nullptr);
    std::vector<char> pcm;
    EXPECT_EQ(drive(m, v, &pcm).back().detect, RET_SPEECH_TO_SILENCE);
    EXPECT_TRUE(std::equal(v.begin(), v.begin() + m.lSample, m.g_pData));
    ASSERT_GT(pcm.size(), 4u);
    EXPECT_TRUE(std::equal(v.begin() + m.nStartFrame * kFrame,
                           v.begin() + m.nStartFrame * kFrame + (pcm.size() - 4) / 2,
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
        std::vector<short> v = fetest::loadSpeech("two_words_8k.pcm");
        v.resize(v.size() + 8000 * 3, 0);
        std::vector<char> buf(32000);
        DWORD prev = SILENCE;
        int pauses = 0, segments = 0;
        for (size_t pos = 0; pos + 1600 <= v.size() && m.nVADCurState != SPEECH_TO_SILENCE; pos += 1600) {
            ASSERT_EQ(m.mfeSendData(v.data() + pos, 1600), 0);
            const int d = m.mfeDetect();
            const int n = m.mfeGetCallbackData(buf.data(), 32000);
            if (m.nVADCurState == SPEECH_PAUSE && prev != SPEECH_PAUSE) {
                ++pauses;
                EXPECT_EQ(d, RET_SILENCE);
            }
            if (m.nVADCurState == SILENCE_TO_SPEECH && prev != SILENCE_TO_SPEECH) {
                ++segments;
                // Each segment's stream starts with the header, unless a resumed
                // segment strips the repeated one.
                const bool header = !(comb == 1 && prev == SPEECH_PAUSE);
                ASSERT_GT(n, 4);
                EXPECT_EQ((n - (header ? 4 : 0)) % 20, 0) << n;
                EXPECT_TRUE(!header || buf[0] == 0);
            }
            prev = m.nVADCurState;
        }
        EXPECT_EQ(pauses, 2);
        EXPECT_EQ(segments, 2);
        EXPECT_EQ(m.nVADCurState, static_cast<DWORD>(SPEECH_TO_SILENCE));
    }
}

}  // namespace
