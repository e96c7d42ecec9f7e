// The per-frame detector, fed frame by frame as mfeDetect feeds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/MFE.h"

namespace {

using fetest::kFrame;

class Detector : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(fetest::initLikeSdk(m_, 8000, true, false), 0); }

    short frame(const short* x, uint64_t f, DWORD state = SILENCE) {
        m_.lFrameCnt = f;
        m_.nVADCurState = state;
        return m_.VAD_SubbandEntropy_Process(const_cast<short*>(x));
    }
    // Frames 0 .. 8 of v (the learning phase); returns how many were speech.
    int learn(const std::vector<short>& v) {
        int speech = 0;
        for (int f = 0; f < 9; ++f) speech += frame(v.data() + f * kFrame, f);
        return speech;
    }
    double t() { return (m_.VAD_SubbandEntropy_CalThreshold() + 0.0001) - 7e-5; }

    CMFE m_;
};

TEST_F(Detector, DigitalSilenceSitsAtTheFlatSpectrumFloor) {
    std::vector<short> zero(kFrame, 0);
    m_.VAD_SubbandEntropy_CalSubEntro(zero.data());
    for (int j = 0; j < 8; ++j) EXPECT_NEAR(m_.g_ppMFEDataSpace[4][j], -std::log(32.0), 1e-12);
}

TEST_F(Detector, LearningFramesAreNeverSpeechAndLaterLoudFramesAre) {
    const std::vector<short> loud = fetest::noise(kFrame * 20, 20000.0, 0.9, 1);
    EXPECT_EQ(learn(loud), 0);
    ASSERT_EQ(m_.mfeReset(), 0);
    std::vector<short> v(kFrame * 9, 0);
    v.insert(v.end(), loud.begin(), loud.end());
    EXPECT_EQ(learn(v), 0);
    int speech = 0;
    for (int f = 9; f < 20; ++f) speech += frame(v.data() + f * kFrame, f);
    EXPECT_GT(speech, 5);
}

TEST_F(Detector, AmplitudeAndZeroCrossingsOfTheLearningFrames) {
    std::vector<short> v(kFrame * 9);
    for (int i = 0; i < kFrame * 9; ++i) v[i] = static_cast<short>((i % 2 ? 1 : -1) * (i / kFrame + 1) * 10);
    v[4 * kFrame + 5] = 0;  // pairs with a zero sample are not crossings
    learn(v);
    EXPECT_DOUBLE_EQ(m_.dBasicEnergy, 256.0 * (20 + 30 + 40) / 1024.0);  // frames 1-3, 0 discarded
    EXPECT_DOUBLE_EQ(m_.pStartEnergy[2], 30.0);
    EXPECT_EQ(m_.pZeroPass[4], 253.0);
    EXPECT_EQ(m_.pZeroPass[7], 255.0);
}

TEST_F(Detector, BackgroundClassAndThresholds) {
    learn(std::vector<short>(kFrame * 9, 0));
    EXPECT_EQ(m_.nAmp, 0u);
    EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, -27.7258825);
    EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, -27.72588525 + 5e-7);  // the SDK's Out bias of 5

    // Low-passed noise of rising level: slight noise, then noise classes 2, 3, 4.
    struct Case {
        double amp, lp;
        DWORD cls;
        double lo, hi, in, out;  // t range (lo, hi]; raises of In and Out over t
    };
    const Case cases[] = {{3000, 0.8, 1, -27.72585555, -27.725854555, 0, 0},
                          {8000, 0.5, 2, -27.725854555, -27.72583, 6e-5, 6e-5},
                          {15000, 0.7, 3, -27.72583, -27.7258, 0.00012, 0.00018},
                          {30000, 0.5, 4, -27.7258, 0.0, 0.00015, 0.00015}};
    for (const Case& c : cases) {
        ASSERT_EQ(m_.mfeReset(), 0);
        learn(fetest::noise(kFrame * 9, c.amp, c.lp, 7));
        const double tv = t();
        SCOPED_TRACE(testing::Message() << "class " << c.cls << " t " << tv);
        EXPECT_EQ(m_.nAmp, c.cls);
        EXPECT_TRUE(tv > c.lo && tv <= c.hi);
        if (c.cls == 1) {
            EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, -27.725866);
            EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, -27.72588 + 5e-7);
        } else {
            EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, tv + c.in);
            EXPECT_DOUBLE_EQ(m_.dThr_OutSpeech, ((tv - 2e-5) + c.out) + 5e-7);
        }
    }
}

TEST_F(Detector, ZeroCrossingCheckSendsImplausibleNoiseBackToSilence) {
    // White noise: class 4 by level, but learning frames with over 130 crossings.
    learn(fetest::noise(kFrame * 9, 30000.0, 0.0, 7));
    EXPECT_GE(t(), -27.7258);
    EXPECT_EQ(m_.nAmp, 0u);
    EXPECT_DOUBLE_EQ(m_.dThr_InSpeech, -27.7258825);
    // Loud rumble with under 30 crossings: silence; pZeroPass[0] keeps that minimum.
    ASSERT_EQ(m_.mfeReset(), 0);
    learn(fetest::noise(kFrame * 9, 5000.0, 0.97, 7));
    EXPECT_EQ(m_.nAmp, 0u);
    EXPECT_EQ(m_.pZeroPass[0], *std::min_element(m_.pZeroPass + 3, m_.pZeroPass + 8));
    EXPECT_LT(m_.pZeroPass[0], 30.0);
}

TEST_F(Detector, LargeFrameMeanIsRemovedBeforeTheSpectrum) {
    const std::vector<short> sig = fetest::noise(kFrame, 300.0, 0.5, 3);
    int64_t sum = 0;
    for (short v : sig) sum += v;
    auto entropies = [&](int mean) {
        std::vector<short> x(sig);
        for (short& v : x) v = static_cast<short>(v + mean - sum / kFrame);
        m_.VAD_SubbandEntropy_CalSubEntro(x.data());
        return std::vector<double>(m_.g_ppMFEDataSpace[4], m_.g_ppMFEDataSpace[4] + 8);
    };
    const std::vector<double> centred = entropies(0), mean1500 = entropies(1500), mean900 = entropies(900);
    for (int j = 0; j < 8; ++j) EXPECT_NEAR(mean1500[j], centred[j], 1e-9) << j;
    // At a mean of 900 the DC bin stays in: subband 0 moves by far more.
    EXPECT_GT(std::fabs(mean900[0] - centred[0]), 1e-6);
    EXPECT_NEAR(m_.pMean[0], 900.0, 1.0);
}

TEST_F(Detector, NoisyBackgroundInSpeechModeZeroNeverLeavesSpeech) {
    learn(fetest::noise(kFrame * 9, 8000.0, 0.5, 7));
    ASSERT_GE(m_.nAmp, 2u);
    std::vector<short> zero(kFrame, 0);
    for (int f = 9; f < 40; ++f) EXPECT_EQ(frame(zero.data(), f, SILENCE_TO_SPEECH), 1) << f;
}

TEST(DetectorModes, ModeThreeNeverFindsSpeechAndModeTwoUsesItsOwnThresholds) {
    std::vector<short> v(kFrame * 9, 0);
    const std::vector<short> loud = fetest::noise(kFrame * 30, 30000.0, 0.9, 5);
    v.insert(v.end(), loud.begin(), loud.end());
    for (int mode : {2, 3}) {
        CMFE m;
        m.mfeSetParam(10, mode);
        ASSERT_EQ(m.mfeInit(), 0);
        int speech = 0;
        for (uint64_t f = 0; f < 39; ++f) {
            m.lFrameCntTotal = f;
            speech += m.VAD_SubbandEntropy_Process(v.data() + f * kFrame);
        }
        if (mode == 3) {
            EXPECT_EQ(speech, 0);
        } else {
            EXPECT_GT(speech, 20);
            EXPECT_NEAR(m.dThr_InSpeech, -8.0 * std::log(32.0) + 0.00025, 1e-9);
            EXPECT_NEAR(m.dThr_InSpeech - m.dThr_OutSpeech, 0.0001, 1e-12);
        }
    }
}

}  // namespace
