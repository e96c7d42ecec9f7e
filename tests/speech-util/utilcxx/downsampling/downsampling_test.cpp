#include "speech-util/utilcxx/downsampling/downsampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

constexpr short kUnwritten = 0x5a5a;

std::vector<short> sine(double freq_hz, double amplitude, size_t samples, double rate_hz = 16000.0) {
    std::vector<short> s(samples);
    for (size_t n = 0; n < samples; ++n) {
        s[n] = static_cast<short>(std::lround(amplitude * std::sin(2.0 * M_PI * freq_hz * n / rate_hz)));
    }
    return s;
}

// Runs down_sampling over all of `in` (plus `extra_bytes`) into a buffer
// pre-filled with kUnwritten.
struct Result {
    int rc;
    size_t len;
    std::vector<short> out;
};
Result convert(std::vector<short> in, size_t extra_bytes = 0) {
    Result r{0, 777, std::vector<short>(in.size() / 2 + 8, kUnwritten)};
    in.push_back(0);  // room for an odd trailing byte
    r.rc = down_sampling(in.data(), r.out.data(), (in.size() - 1) * 2 + extra_bytes, r.len);
    return r;
}

TEST(DownSampling, RefusesMissingInputWithoutTouchingAnything) {
    std::vector<short> in(160, 1), out(80, kUnwritten);
    size_t len = 777;
    EXPECT_EQ(-1, down_sampling(nullptr, out.data(), 320, len));
    EXPECT_EQ(-1, down_sampling(in.data(), nullptr, 320, len));
    EXPECT_EQ(-1, down_sampling(in.data(), out.data(), 0, len));
    EXPECT_EQ(777u, len);
    EXPECT_EQ(std::vector<short>(80, kUnwritten), out);
}

TEST(DownSampling, ConvertsWholeFramesOnly) {
    // 79 samples: not one frame.
    Result r = convert(sine(1000, 8000, 79));
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(0u, r.len);
    for (short v : r.out) EXPECT_EQ(kUnwritten, v);

    // 80 samples plus an odd byte: 40 outputs, nothing beyond.
    r = convert(sine(1000, 8000, 80), 1);
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ(80u, r.len);
    EXPECT_EQ(kUnwritten, r.out[40]);

    // 850 samples: the 10-sample remainder is ignored.
    r = convert(sine(1000, 8000, 850));
    EXPECT_EQ(800u, r.len);
    for (size_t k = 400; k < r.out.size(); ++k) EXPECT_EQ(kUnwritten, r.out[k]) << k;
}

TEST(DownSampling, FirstTenOutputsAreRawEvenInputs) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> dist(-20000, 20000);
    std::vector<short> in(160);
    for (short& v : in) v = static_cast<short>(dist(rng));
    const Result r = convert(in);
    for (size_t k = 0; k < 10; ++k) EXPECT_EQ(in[2 * k], r.out[k]) << k;
    // Sample 20 is filtered: with random input it cannot stay equal to the input.
    EXPECT_NE(in[20], r.out[10]);
}

TEST(DownSampling, PassesOneKilohertzWithinOneDecibel) {
    const double amplitude = 10000;
    const Result r = convert(sine(1000, amplitude, 800));
    ASSERT_EQ(800u, r.len);
    // After the first frame: 45 whole periods of 1 kHz at 8 kHz, each of 8 samples
    // that a clean sine would repeat.
    double power = 0;
    for (size_t k = 40; k < 400; ++k) {
        power += static_cast<double>(r.out[k]) * r.out[k];
        if (k + 8 < 400) {
            EXPECT_NEAR(r.out[k], r.out[k + 8], 0.01 * amplitude) << k;
        }
    }
    const double peak = std::sqrt(2.0 * power / 360);
    EXPECT_LE(peak, amplitude * 1.001);
    EXPECT_GE(peak, amplitude * std::pow(10.0, -1.0 / 20.0));
}

TEST(DownSampling, RemovesSixKilohertzAfterTheTransient) {
    // The start-up ringing near the band edge dies out within about 60 ms.
    const Result r = convert(sine(6000, 30000, 8000));
    ASSERT_EQ(8000u, r.len);
    for (size_t k = 600; k < 4000; ++k) ASSERT_EQ(0, r.out[k]) << k;
}

TEST(DownSampling, EachCallStartsAfresh) {
    const std::vector<short> tone = sine(1500, 12000, 1600);
    const Result first = convert(tone);
    convert(sine(300, 30000, 1600));
    const Result again = convert(tone);
    EXPECT_EQ(first.out, again.out);
}

// Straightforward direct-form filter with shifted histories, as a check of
// the converter's history handling and of its 16-bit wrap.
std::vector<short> reference(const std::vector<short>& in, bool* wrapped) {
    // clang-format off
    static const double a[20] = {
        1.0, -6.96098641403643, 28.1608075533243, -82.042713709554, 188.662921650366, -358.490643063379,
        578.435393248619, -805.987456408528, 980.086293043145, -1046.40552374877, 983.479452860358,
        -813.296955376464, 589.635634656494, -372.082028417052, 201.954922009851, -92.5384711988758,
        34.7469587930287, -10.1656759175515, 2.1012124178304, -0.239341787588154};
    static const double b[20] = {
        1.0261572115898e-07, 1.94969870202062e-06, 1.75472883181856e-05, 9.94346338030517e-05,
        0.000397738535212207, 0.00119321560563662, 0.00278416974648545, 0.00517060095775869,
        0.00775590143663804, 0.00947943508922427, 0.00947943508922426, 0.00775590143663803,
        0.00517060095775869, 0.00278416974648545, 0.00119321560563662, 0.000397738535212207,
        9.94346338030517e-05, 1.75472883181856e-05, 1.94969870202062e-06, 1.0261572115898e-07};
    // clang-format on
    double x[20] = {}, y[19] = {};
    std::vector<short> frame(in), out;
    *wrapped = false;
    for (size_t j = 19; j < frame.size(); ++j) {
        x[0] = frame[j];
        double dx = 0, dy = 0;
        for (int k = 0; k < 20; ++k) dx += b[k] * x[k];
        for (int k = 0; k < 19; ++k) dy += a[k + 1] * y[k];
        const double v = dx - dy;
        *wrapped |= v > 32767.0 || v < -32768.0;
        frame[j] = static_cast<short>(static_cast<uint16_t>(static_cast<int32_t>(v)));
        for (int k = 19; k > 0; --k) x[k] = x[k - 1];
        for (int k = 18; k > 0; --k) y[k] = y[k - 1];
        y[0] = v;
    }
    for (size_t k = 0; k < frame.size(); k += 2) out.push_back(frame[k]);
    return out;
}

TEST(DownSampling, MatchesDirectFormFilterIncludingWrappedOverflow) {
    // A full-scale square wave makes the filter overshoot the 16-bit range.
    std::vector<short> in(1600);
    for (size_t n = 0; n < in.size(); ++n) in[n] = (n / 40) % 2 ? -32768 : 32767;
    bool wrapped = false;
    const std::vector<short> expected = reference(in, &wrapped);
    ASSERT_TRUE(wrapped);
    Result r = convert(in);
    r.out.resize(expected.size());
    EXPECT_EQ(expected, r.out);
}

}  // namespace
