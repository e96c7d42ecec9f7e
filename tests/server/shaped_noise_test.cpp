#include "server/asr-server/shaped_noise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace asrserver {
namespace {

// A vowel-like signal: harmonics of 150 Hz with falling amplitude, at `amplitude` peak.
std::vector<int16_t> vowel(size_t n, double amplitude) {
    const double pi = std::acos(-1.0);
    std::vector<int16_t> s(n);
    for (size_t i = 0; i < n; ++i) {
        double v = 0.0;
        for (int h = 1; h <= 40; ++h) v += std::sin(2 * pi * 150.0 * h * i / 16000.0) / h;
        s[i] = static_cast<int16_t>(std::lround(std::clamp(amplitude * v / 1.8, -32768.0, 32767.0)));
    }
    return s;
}

std::vector<int16_t> shaped(ShapedNoise& noise, std::vector<int16_t> s, size_t chunk) {
    for (size_t i = 0; i < s.size(); i += chunk) noise.process(s.data() + i, std::min(chunk, s.size() - i));
    return s;
}

// Added power over input power, in dB, after the first analysis.
double addedDb(const std::vector<int16_t>& in, const std::vector<int16_t>& out) {
    double e = 0.0, d = 0.0;
    for (size_t i = ShapedNoise::kWindow; i < in.size(); ++i) {
        e += double(in[i]) * in[i];
        d += (double(out[i]) - in[i]) * (double(out[i]) - in[i]);
    }
    return 10.0 * std::log10(d / e);
}

TEST(ShapedNoise, AddsNoiseAtItsLevelWhateverTheChunkingAndRepeatsAfterReset) {
    const std::vector<int16_t> in = vowel(16000, 8000);
    for (int level : {15, 30}) {
        ShapedNoise noise(level);
        const std::vector<int16_t> whole = shaped(noise, in, in.size());
        EXPECT_NEAR(-level, addedDb(in, whole), 2.0) << level;
        for (size_t chunk : {1, 7, 159, 160, 161, 4000}) {
            noise.reset();
            EXPECT_EQ(whole, shaped(noise, in, chunk)) << level << " dB in chunks of " << chunk;
        }
    }
}

TEST(ShapedNoise, LeavesSilenceSilentAndSaturatesLoudInput) {
    ShapedNoise noise(15);
    const std::vector<int16_t> silence(4000, 0);
    EXPECT_EQ(silence, shaped(noise, silence, 333));

    // Clipped full-scale input: the sum saturates instead of wrapping round.
    const std::vector<int16_t> loud = vowel(8000, 60000);
    const std::vector<int16_t> out = shaped(noise, loud, 8000);
    for (size_t i = 0; i < loud.size(); ++i) {
        if (loud[i] == 32767) {
            ASSERT_GT(out[i], 0) << i;
        } else if (loud[i] == -32768) {
            ASSERT_LT(out[i], 0) << i;
        }
    }
}

}  // namespace
}  // namespace asrserver
