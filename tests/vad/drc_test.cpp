#include "vad/drc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "FrontEndTestUtil.h"

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

// Runs frames of v through h; returns the last output frame.
std::vector<short> feed(DRC_PARAM* h, const std::vector<short>& v) {
    std::vector<short> in(256), out(256);
    for (size_t f = 0; f + 256 <= v.size(); f += 256) {
        std::copy(v.begin() + f, v.begin() + f + 256, in.begin());
        drc_process(h, in.data(), out.data());
    }
    return out;
}

TEST(ClippingDetect, LowersGainInThreePercentStepsOnlyAbovePointNine) {
    std::vector<float> in(256, 0.1f), out(256);
    in[17] = 0.95f;
    clipping_detect(in.data(), out.data(), 1.0f);
    // 0.95 * 0.97 = 0.9215 is still above 0.9; 0.95 * 0.97^2 = 0.894 is not.
    const float g2 = static_cast<float>(static_cast<double>(0.97f) * 0.97);
    EXPECT_EQ(out[17], 0.95f * g2);
    EXPECT_EQ(out[0], 0.1f * g2);
    EXPECT_NEAR(g2, 0.9409f, 1e-6);
    in[17] = 0.9f;  // exactly 0.9 passes
    clipping_detect(in.data(), out.data(), 1.0f);
    EXPECT_EQ(out[17], 0.9f);
}

TEST(Biquad, DcIsStronglyAttenuatedAndThePassBandKept) {
    IIR_HANDLE f = iir_init();
    ASSERT_NE(f, nullptr);
    std::vector<float> dc(8000, 1.0f);
    iir_proc(f, dc.data(), static_cast<int>(dc.size()));
    // With the single-precision coefficients the DC gain is about 0.0078, not 0.
    EXPECT_NEAR(dc.back(), 0.0078, 0.0002);
    iir_reset(f);
    std::vector<float> hf(8000);
    for (size_t i = 0; i < hf.size(); ++i)
        hf[i] = static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * i / 8000));
    iir_proc(f, hf.data(), static_cast<int>(hf.size()));
    EXPECT_NEAR(*std::max_element(hf.begin() + 4000, hf.end()), 1.0f, 0.05f);
    const float keep = hf[0];
    iir_proc(f, hf.data(), 0);
    EXPECT_EQ(hf[0], keep);
    iir_free(f);
}

TEST(NoiseTracker, FollowsMinimaAndStageTwoIgnoresLoudFrames) {
    S_NoiseLevel_RP t;
    NoiseLevel_Init_RP(&t, 0.8545f, 2.3842e-7f, 50);
    EXPECT_EQ(t.RunMinLen, 100);
    NoiseLevel_RP(0.01f, &t);  // a lower energy is the new minimum at once
    EXPECT_EQ(t.MinEnergy1, 0.01f);
    EXPECT_FLOAT_EQ(t.NoiseLevel1, 0.8545f + (0.01f - 0.8545f) * 0.2f);
    for (int i = 0; i < 60; ++i) NoiseLevel_RP(0.01f, &t);
    EXPECT_NEAR(t.NoiseLevel, 0.01f, 1e-4);
    const S_NoiseLevel_RP before = t;
    NoiseLevel_RP(5.0f, &t);  // far above 10x the stage-1 level
    EXPECT_EQ(t.MinAge, before.MinAge);
    EXPECT_EQ(t.NoiseLevel, before.NoiseLevel);
    for (int i = 0; i < 80; ++i) NoiseLevel_RP(0.05f, &t);  // old minimum forgotten
    EXPECT_EQ(t.MinEnergy1, 0.05f);
}

TEST(Drc, ZeroFramesPassUnchangedOnceRingingHasDiedAndResetTheController) {
    Drc h = makeDrc();
    const std::vector<short> zero(256, 0);
    EXPECT_EQ(feed(h.get(), zero), zero);
    feed(h.get(), fetest::noise(256 * 20, 300.0, 0.0, 5));
    ASSERT_EQ(h->FLAG_DRC_ON, 1);
    EXPECT_NE(feed(h.get(), zero), zero);  // the filter still rings
    int frames = 1;
    while (frames < 50 && feed(h.get(), zero) != zero) ++frames;
    EXPECT_LT(frames, 50);
    EXPECT_EQ(h->FLAG_DRC_ON, 0);
    EXPECT_EQ(h->gain, 1.0f);
    EXPECT_EQ(h->noise_level_cnt, 0);
}

TEST(Drc, BeforeLearningOutputIsTheHighPassedInputLimitedToPointNine) {
    Drc h = makeDrc();
    IIR_HANDLE ref = iir_init();
    const std::vector<short> t = fetest::tone(256 * 3, 31000.0, 1000.0, 8000);
    for (size_t f = 0; f < 3; ++f) {
        std::vector<short> in(t.begin() + f * 256, t.begin() + (f + 1) * 256), out(256);
        std::vector<float> x(256), y(256);
        for (int i = 0; i < 256; ++i) x[i] = static_cast<float>(in[i]) * 3.0517578125e-5f;
        iir_proc(ref, x.data(), 256);
        clipping_detect(x.data(), y.data(), 1.0f);
        drc_process(h.get(), in.data(), out.data());
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(out[i], static_cast<short>(static_cast<double>(y[i]) * 32768.0)) << f << ":" << i;
            ASSERT_LE(std::abs(out[i]), static_cast<int>(0.9 * 32768));
        }
    }
    EXPECT_EQ(h->FLAG_DRC_ON, 0);
    EXPECT_EQ(h->gain, 1.0f);
    iir_free(ref);
}

TEST(Drc, LearnedKneesAndAHighNoiseThresholdKeepTheGainDefined) {
    Drc h = makeDrc();
    feed(h.get(), fetest::noise(256 * 8, 300.0, 0.0, 9));
    ASSERT_EQ(h->FLAG_DRC_ON, 1);
    EXPECT_LT(h->thr3, h->thr2);
    EXPECT_LT(h->thr2, h->thr1);
    EXPECT_NEAR(h->thr2, h->thr3 + (h->thr1 - h->thr3) / 3.0f, 1e-4);
    EXPECT_NEAR(h->y_thr2, h->thr3 + 2.0f * (h->thr1 - h->thr3) / 3.0f, 1e-4);

    // A run of noise frames completed while the smoothed power is high puts
    // the noise threshold above -6 dB.
    Drc hot = makeDrc();
    hot->noise_level_cnt = hot->NOISE_FRM_CNT;
    hot->in_power = 10.0f;
    const std::vector<short> quiet = fetest::noise(256 * 6, 200.0, 0.0, 4);
    feed(hot.get(), std::vector<short>(quiet.begin(), quiet.begin() + 256));
    ASSERT_EQ(hot->FLAG_DRC_ON, 1);
    EXPECT_GE(hot->thr3, -6.0f);
    EXPECT_TRUE(std::isfinite(hot->slope1));
    feed(hot.get(), quiet);
    EXPECT_TRUE(std::isfinite(hot->gain));
}

TEST(Drc, MissingRecordsPassFramesThrough) {
    const std::vector<short> in = fetest::noise(256, 1000.0, 0.0, 2);
    EXPECT_EQ(feed(nullptr, in), in);
    Drc bare(drc_create());  // not initialised: no tracker, no filter
    EXPECT_EQ(feed(bare.get(), in), in);
    drc_init(nullptr);
    drc_reset(nullptr);
}

}  // namespace
