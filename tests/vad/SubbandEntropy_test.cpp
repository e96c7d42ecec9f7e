// The per-frame detector, driven frame by frame as mfeDetect drives it.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/MFE.h"

namespace {

using fetest::kFrame;

// Initialised engine (SDK settings at 8000 Hz unless told otherwise).
class Detector : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(fetest::initLikeSdk(m_, 8000, true, false), 0); }

    short frame(const short* x, uint64_t f, DWORD state = SILENCE) {
        m_.lFrameCnt = f;
        m_.nVADCurState = state;
        return m_.VAD_SubbandEntropy_Process(const_cast<short*>(x));
    }
    // Feeds frames 0 .. count-1 of v in the silence state; returns the decisions.
    std::vector<short> learn(const std::vector<short>& v, int count = 9) {
        std::vector<short> r;
        for (int f = 0; f < count; ++f) r.push_back(frame(v.data() + f * kFrame, f));
        return r;
    }
    double t() {  // provisional threshold from the learned medians
        return (m_.VAD_SubbandEntropy_CalThreshold() + 0.0001) - 7e-5;
    }

    CMFE m_;
};

const double kFlat = -8.0 * std::log(32.0);

TEST_F(Detector, DigitalSilenceSitsAtTheFlatSpectrumFloor) {
    std::vector<short> zero(kFrame, 0);
    m_.VAD_SubbandEntropy_CalSubEntro(zero.data());
    double sum = 0.0;
    for (int j = 0; j < 8; ++j) {
        EXPECT_NEAR(m_.g_ppMFEDataSpace[4][j], -std::log(32.0), 1e-12);
        sum += m_.g_ppMFEDataSpace[4][j];
    }
    EXPECT_NEAR(sum, kFlat, 1e-11);
}

TEST_F(Detector, LearningFramesAreNeverSpeechWhateverTheirContent) {
    const std::vector<short> loud = fetest::noise(kFrame * 30, 20000.0, 0.9, 1);
    std::vector<short> v(kFrame * 9, 0);
    v.insert(v.end(), loud.begin(), loud.end());
    // Speech-like frames from frame 0 on: still 0 for frames 0 .. 8.
    for (short r : learn(loud)) EXPECT_EQ(r, 0);
    // In a silent session a loud frame 9 onwards is speech once the history holds it.
    CMFE& m = m_;
    ASSERT_EQ(m.mfeReset(), 0);
    for (short r : learn(v)) EXPECT_EQ(r, 0);
    int speech = 0;
    for (int f = 9; f < 20; ++f) speech += frame(v.data() + f * kFrame, f);
    EXPECT_GT(speech, 5);
}

TEST_F(Detector, BackgroundAmplitudeAndZeroCrossingsOfLearningFrames) {
    std::vector<short> v(kFrame * 9);
    for (int f = 0; f < 9; ++f) {
        for (int i = 0; i < kFrame; ++i)
            v[f * kFrame + i] = static_cast<short>((i % 2 ? 1 : -1) * (f + 1) * 10);
    }
    v[4 * kFrame + 5] = 0;  // pairs with a zero sample do not count as crossings
    learn(v);
    // Frames 1-3 of amplitude 20, 30, 40: (256 * 90) / 1024.
    EXPECT_DOUBLE_EQ(m_.dBasicEnergy, 256.0 * 90.0 / 1024.0);
    EXPECT_DOUBLE_EQ(m_.pStartEnergy[2], 30.0);
    EXPECT_EQ(m_.pZeroPass[4], 253.0);
    EXPECT_EQ(m_.pZeroPass[7], 255.0);
}

TEST_F(Detector, SilentBackgroundGetsTheFixedSilenceThresholds) {
    learn(std::vector<short>(kFrame * 9, 0));
    EXPECT_EQ(m_.nAmp, 0u);
    EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, -27.7258825);
    // The SDK's bias of 5 raises Out by 5e-7.
    EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, -27.72588525 + 5e-7);
}

TEST_F(Detector, NoiseBackgroundsAreClassifiedByTheLearnedThreshold) {
    struct Case {
        double amp, lp;
        DWORD cls;
    };
    // Low-passed noise of rising level: slight noise, then noise classes 2, 3, 4.
    const Case cases[] = {{3000, 0.8, 1}, {8000, 0.5, 2}, {15000, 0.7, 3}, {30000, 0.5, 4}};
    for (const Case& c : cases) {
        ASSERT_EQ(m_.mfeReset(), 0);
        learn(fetest::noise(kFrame * 9, c.amp, c.lp, 7));
        const double tv = t();
        SCOPED_TRACE(testing::Message() << "class " << c.cls << " t " << tv);
        EXPECT_EQ(m_.nAmp, c.cls);
        switch (c.cls) {
            case 1:
                EXPECT_GT(tv, -27.72585555);
                EXPECT_LE(tv, -27.725854555);
                EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, -27.725866);
                EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, -27.72588 + 5e-7);
                break;
            case 2:
                EXPECT_GT(tv, -27.725854555);
                EXPECT_LE(tv, -27.72583);
                EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, tv + 6e-5);
                EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, ((tv - 2e-5) + 6e-5) + 5e-7);
                break;
            case 3:
                EXPECT_GT(tv, -27.72583);
                EXPECT_LT(tv, -27.7258);
                EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, tv + 0.00012);
                EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, ((tv - 2e-5) + 0.00018) + 5e-7);
                break;
            default:
                EXPECT_GE(tv, -27.7258);
                EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, tv + 0.00015);
                EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, ((tv - 2e-5) + 0.00015) + 5e-7);
        }
    }
}

TEST_F(Detector, ZeroCrossingCheckSendsImplausibleNoiseBackToSilence) {
    // White noise: its level alone would make class 4, but some learning frame
    // has more than 130 crossings.
    learn(fetest::noise(kFrame * 9, 30000.0, 0.0, 7));
    EXPECT_GE(t(), -27.7258);
    EXPECT_EQ(m_.nAmp, 0u);
    EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, -27.7258825);

    // Loud rumble with fewer than 30 crossings per loud frame: silence, and the
    // smallest loud-frame figure is kept in pZeroPass[0].
    ASSERT_EQ(m_.mfeReset(), 0);
    learn(fetest::noise(kFrame * 9, 5000.0, 0.97, 7));
    EXPECT_EQ(m_.nAmp, 0u);
    double zmin = 1000.0;
    for (int k = 3; k < 8; ++k) zmin = std::min(zmin, m_.pZeroPass[k]);
    EXPECT_LT(zmin, 30.0);
    EXPECT_EQ(m_.pZeroPass[0], zmin);

    // A background that is class 0 by level skips the check and keeps frame 0's count.
    ASSERT_EQ(m_.mfeReset(), 0);
    std::vector<short> quiet = fetest::noise(kFrame * 9, 10.0, 0.0, 7);
    learn(quiet);
    EXPECT_EQ(m_.nAmp, 0u);
    int crossings = 0;
    for (int i = 0; i + 1 < kFrame; ++i)
        crossings += (quiet[i] > 0 && quiet[i + 1] < 0) || (quiet[i] < 0 && quiet[i + 1] > 0);
    EXPECT_EQ(m_.pZeroPass[0], crossings);
}

TEST_F(Detector, LargeDcOffsetIsRemovedBeforeTheSpectrum) {
    const std::vector<short> sig = fetest::noise(kFrame, 300.0, 0.5, 3);
    auto entropies = [&](int offset) {
        std::vector<short> x(sig);
        int64_t sum = 0;
        for (short v : sig) sum += v;
        // Shift so that the frame mean is exactly `offset`.
        const int shift = offset - static_cast<int>(sum / kFrame);
        for (short& v : x) v = static_cast<short>(v + shift);
        m_.VAD_SubbandEntropy_CalSubEntro(x.data());
        return std::vector<double>(m_.g_ppMFEDataSpace[4], m_.g_ppMFEDataSpace[4] + 8);
    };
    const std::vector<double> centred = entropies(0);
    const std::vector<double> mean1500 = entropies(1500);
    const std::vector<double> mean900 = entropies(900);
    EXPECT_NE(centred, mean1500);  // the remaining fractional mean still differs slightly
    for (int j = 0; j < 8; ++j) EXPECT_NEAR(mean1500[j], centred[j], 1e-9) << j;
    // At a mean of 900 the DC bin stays in: subband 0 moves far more.
    EXPECT_GT(std::fabs(mean900[0] - centred[0]), 100.0 * std::fabs(mean1500[0] - centred[0]) + 1e-9);
    EXPECT_NEAR(m_.pMean[0], 900.0, 1.0);
}

TEST_F(Detector, NoisyBackgroundInSpeechModeZeroStaysInSpeech) {
    learn(fetest::noise(kFrame * 9, 8000.0, 0.5, 7));
    ASSERT_GE(m_.nAmp, 2u);
    std::vector<short> zero(kFrame, 0);
    for (int f = 9; f < 40; ++f) EXPECT_EQ(frame(zero.data(), f, SILENCE_TO_SPEECH), 1) << f;
}

TEST_F(Detector, OffsetFramesAreSkippedAndShiftTheLearningPhase) {
    CMFE m;
    m.mfeSetParam(8, 3);  // three leading frames
    ASSERT_EQ(m.mfeInit(), 0);
    std::vector<short> zero(kFrame, 0);
    for (uint64_t f = 0; f < 12; ++f) {
        m.lFrameCnt = f;
        m.nVADCurState = SILENCE;
        EXPECT_EQ(m.VAD_SubbandEntropy_Process(zero.data()), 0);
    }
    // Learning ended at frame 3 + 8.
    EXPECT_EQ(m.nAmp, 0u);
    EXPECT_DOUBLE_EQ(m.dThr_InSpeech, -27.7258825);
}

TEST(DetectorModes, ModeThreeNeverFindsSpeechAndModeTwoUsesItsOwnThresholds) {
    std::vector<short> v(kFrame * 9, 0);
    fetest::append(v, fetest::noise(kFrame * 30, 30000.0, 0.9, 5));
    for (int mode : {2, 3}) {
        CMFE m;
        m.mfeSetParam(10, mode);
        ASSERT_EQ(m.mfeInit(), 0);
        int speech = 0;
        for (uint64_t f = 0; f < 39; ++f) {
            m.lFrameCntTotal = f;
            m.nVADCurState = SILENCE;
            speech += m.VAD_SubbandEntropy_Process(const_cast<short*>(v.data() + f * kFrame));
        }
        if (mode == 3) {
            EXPECT_EQ(speech, 0);
            EXPECT_EQ(m.dThr_InSpeech, 0.0);
        } else {
            EXPECT_GT(speech, 20);
            EXPECT_NEAR(m.dThr_InSpeech - m.dThr_OutSpeech, 0.0001, 1e-12);
            EXPECT_NEAR(m.dThr_InSpeech, kFlat + 0.00025, 1e-9);
        }
    }
}

}  // namespace
