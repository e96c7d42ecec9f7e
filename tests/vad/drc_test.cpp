#include "vad/drc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "FrontEndTestUtil.h"
#include "vad/IIRFilter.h"
#include "vad/NoiseLevel.h"

namespace {

struct DrcDeleter {
    void operator()(DRC_PARAM* h) const { drc_destroy(h); }
};
using Drc = std::unique_ptr<DRC_PARAM, DrcDeleter>;

Drc makeDrc() {
    Drc h(drc_create());
    drc_init(h.get());
    return h;
}

std::vector<short> frameOf(const std::vector<short>& v, size_t f) {
    return std::vector<short>(v.begin() + f * 256, v.begin() + (f + 1) * 256);
}

TEST(ClippingDetect, LowersGainInThreePercentStepsUntilPeakIsAtMostPointNine) {
    std::vector<float> in(256, 0.1f);
    in[17] = 0.95f;
    in[90] = -0.5f;
    std::vector<float> out(256);
    clipping_detect(in.data(), out.data(), 1.0f);
    // 0.95 * 0.97 = 0.9215 is still above 0.9; 0.95 * 0.97^2 = 0.894 is not.
    const float g2 = static_cast<float>(static_cast<double>(0.97f) * 0.97);
    EXPECT_FLOAT_EQ(out[17], 0.95f * g2);
    EXPECT_NEAR(out[17] / 0.95f, 0.9409f, 1e-6);
    EXPECT_FLOAT_EQ(out[90], -0.5f * g2);

    // A peak of exactly 0.9 and any peak below pass at the given gain.
    in[17] = 0.9f;
    clipping_detect(in.data(), out.data(), 1.0f);
    EXPECT_EQ(out[17], 0.9f);
    clipping_detect(in.data(), out.data(), 0.5f);
    EXPECT_EQ(out[17], 0.45f);
}

TEST(Biquad, CoefficientsAndStepOrder) {
    IIR_HANDLE f = iir_init();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->b0, static_cast<double>(0.9201f));
    EXPECT_EQ(f->b1, static_cast<double>(-1.8401f));
    EXPECT_EQ(f->a1, static_cast<double>(-1.8337f));
    EXPECT_EQ(f->a2, static_cast<double>(0.8465f));
    // Impulse response: b0, then b1 - a1*b0, ...
    const double y0 = SectCalcForm1(f, 1.0);
    const double y1 = SectCalcForm1(f, 0.0);
    const double y2 = SectCalcForm1(f, 0.0);
    EXPECT_EQ(y0, f->b0);
    EXPECT_EQ(y1, f->b1 * 1.0 - f->a1 * y0);
    EXPECT_EQ(y2, (f->b2 * 1.0) - f->a1 * y1 - f->a2 * y0);
    iir_reset(f);
    EXPECT_EQ(f->RegX1 + f->RegX2 + f->RegY1 + f->RegY2, 0.0);
    float v[2] = {1.0f, 2.0f};
    iir_proc(f, v, 0);
    iir_proc(f, v, -3);
    EXPECT_EQ(v[0], 1.0f);
    iir_free(f);
}

TEST(Biquad, DcIsStronglyAttenuatedAndPassBandKept) {
    IIR_HANDLE f = iir_init();
    std::vector<float> dc(8000, 1.0f);
    iir_proc(f, dc.data(), static_cast<int>(dc.size()));
    // With the single-precision coefficients the DC gain is about 0.0078, not 0.
    EXPECT_NEAR(dc.back(), 0.0078, 0.0002);

    iir_reset(f);
    std::vector<float> hf(8000);
    for (size_t i = 0; i < hf.size(); ++i)
        hf[i] = static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * i / 8000));
    iir_proc(f, hf.data(), static_cast<int>(hf.size()));
    float peak = 0.0f;
    for (size_t i = 4000; i < hf.size(); ++i) peak = std::max(peak, std::fabs(hf[i]));
    EXPECT_NEAR(peak, 1.0f, 0.05f);
    iir_free(f);
}

TEST(NoiseTracker, FollowsMinimaAndIgnoresLoudFramesInStageTwo) {
    S_NoiseLevel_RP t;
    NoiseLevel_Init_RP(&t, 0.8545f, 2.3842e-7f, 50);
    EXPECT_EQ(t.RunMinLen1, 50);
    EXPECT_EQ(t.RunMinLen, 100);
    EXPECT_EQ(t.NoiseLevel, 0.8545f);

    // A lower energy becomes the stage-1 minimum at once; the level moves by 20%.
    NoiseLevel_RP(0.01f, &t);
    EXPECT_EQ(t.MinEnergy1, 0.01f);
    EXPECT_FLOAT_EQ(t.NoiseLevel1, 0.8545f + (0.01f - 0.8545f) * 0.2f);
    for (int i = 0; i < 60; ++i) NoiseLevel_RP(0.01f, &t);
    EXPECT_NEAR(t.NoiseLevel1, 0.01f, 1e-4);
    EXPECT_NEAR(t.NoiseLevel, 0.01f, 1e-4);

    // A frame far louder than the stage-1 level leaves stage 2 untouched.
    const S_NoiseLevel_RP before = t;
    NoiseLevel_RP(5.0f, &t);
    EXPECT_EQ(t.MinAge, before.MinAge);
    EXPECT_EQ(t.NoiseLevel, before.NoiseLevel);
    EXPECT_EQ(t.MinAge1, before.MinAge1 + 1);

    // When the background rises for good, the old minimum is forgotten after
    // at most 3R/2 frames of stage 1.
    for (int i = 0; i < 80; ++i) NoiseLevel_RP(0.05f, &t);
    EXPECT_EQ(t.MinEnergy1, 0.05f);
}

TEST(Drc, AllZeroFrameIsCopiedAndResetsTheController) {
    Drc h = makeDrc();
    std::vector<short> zero(256, 0);
    std::vector<short> out(256, 7);
    drc_process(h.get(), zero.data(), out.data());
    EXPECT_EQ(out, zero);
    EXPECT_EQ(h->FLAG_DRC_ON, 0);
    EXPECT_EQ(h->gain, 1.0f);

    // After loud input the filter rings: zero frames pass unchanged (and reset)
    // only once the ringing energy has died down.
    const std::vector<short> loud = fetest::noise(256 * 20, 3000.0, 0.0, 5);
    for (size_t f = 0; f < 20; ++f) {
        std::vector<short> in = frameOf(loud, f);
        drc_process(h.get(), in.data(), out.data());
    }
    drc_process(h.get(), zero.data(), out.data());
    EXPECT_NE(out, zero);
    int frames = 1;
    for (; frames < 50 && out != zero; ++frames) drc_process(h.get(), zero.data(), out.data());
    EXPECT_EQ(out, zero);
    EXPECT_LT(frames, 50);
    EXPECT_EQ(h->FLAG_DRC_ON, 0);
    EXPECT_EQ(h->gain, 1.0f);
    EXPECT_EQ(h->noise_level_cnt, 0);
}

TEST(Drc, BeforeLearningOutputIsHighPassedInputLimitedToPointNine) {
    Drc h = makeDrc();
    IIR_HANDLE ref = iir_init();
    // A loud tone: its filtered peak is above 0.9 and must be limited.
    const std::vector<short> t = fetest::tone(256 * 3, 31000.0, 1000.0, 8000);
    for (size_t f = 0; f < 3; ++f) {
        std::vector<short> in = frameOf(t, f);
        std::vector<float> x(256);
        for (int i = 0; i < 256; ++i) x[i] = static_cast<float>(in[i]) * 3.0517578125e-5f;
        iir_proc(ref, x.data(), 256);
        std::vector<float> y(256);
        clipping_detect(x.data(), y.data(), 1.0f);
        std::vector<short> out(256);
        drc_process(h.get(), in.data(), out.data());
        EXPECT_EQ(h->FLAG_DRC_ON, 0);
        for (int i = 0; i < 256; ++i) {
            EXPECT_EQ(out[i], static_cast<short>(static_cast<double>(y[i]) * 32768.0)) << f << ":" << i;
            EXPECT_LE(std::abs(out[i]), static_cast<int>(0.9 * 32768));
        }
    }
    EXPECT_EQ(h->gain, 1.0f);
    iir_free(ref);
}

TEST(Drc, SteadyNoiseLearnsConsistentKnees) {
    Drc h = makeDrc();
    const std::vector<short> bg = fetest::noise(256 * 12, 300.0, 0.0, 9);
    std::vector<short> out(256);
    for (size_t f = 0; f < 12 && h->FLAG_DRC_ON == 0; ++f) {
        std::vector<short> in = frameOf(bg, f);
        drc_process(h.get(), in.data(), out.data());
    }
    ASSERT_EQ(h->FLAG_DRC_ON, 1);
    EXPECT_LT(h->thr3, h->thr2);
    EXPECT_LT(h->thr2, h->thr1);
    EXPECT_EQ(h->thr1, -6.0f);
    EXPECT_NEAR(h->thr2, h->thr3 + (h->thr1 - h->thr3) / 3.0f, 1e-4);
    EXPECT_NEAR(h->y_thr2, h->thr3 + 2.0f * (h->thr1 - h->thr3) / 3.0f, 1e-4);
    EXPECT_NEAR(h->slope1, 0.5f, 1e-5);
    EXPECT_TRUE(std::isfinite(h->gain));
}

TEST(Drc, NoiseThresholdAtOrAboveMinusSixDbKeepsGainDefined) {
    Drc h = makeDrc();
    // A quiet frame completes a run of noise frames while the smoothed power is
    // high, so the learned noise threshold lands above -6 dB.
    h->noise_level_cnt = h->NOISE_FRM_CNT;
    h->in_power = 10.0f;
    std::vector<short> in = fetest::noise(256, 200.0, 0.0, 4);
    std::vector<short> out(256);
    drc_process(h.get(), in.data(), out.data());
    ASSERT_EQ(h->FLAG_DRC_ON, 1);
    EXPECT_GE(h->thr3, -6.0f);
    EXPECT_TRUE(std::isfinite(h->slope1));
    EXPECT_TRUE(std::isfinite(h->gain));
    for (int i = 0; i < 5; ++i) drc_process(h.get(), in.data(), out.data());
    EXPECT_TRUE(std::isfinite(h->gain));
}

TEST(Drc, MissingRecordsPassFramesThrough) {
    std::vector<short> in = fetest::noise(256, 1000.0, 0.0, 2);
    std::vector<short> out(256, 0);
    drc_process(nullptr, in.data(), out.data());
    EXPECT_EQ(out, in);

    Drc h(drc_create());  // created but not initialised: no tracker, no filter
    std::fill(out.begin(), out.end(), 0);
    drc_process(h.get(), in.data(), out.data());
    EXPECT_EQ(out, in);
    drc_init(nullptr);
    drc_reset(nullptr);
    drc_destroy(nullptr);
}

}  // namespace
