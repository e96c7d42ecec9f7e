#include "server/asr-server/upsampler.h"

#include <gtest/gtest.h>

#include <cmath>

namespace asrserver {
namespace {

std::vector<int16_t> tone(double hz, double rate, size_t n, double amplitude, double phase = 0.0) {
    std::vector<int16_t> s(n);
    const double pi = std::acos(-1.0);
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * pi * hz * i / rate + phase)));
    return s;
}

std::vector<int16_t> upsample(const std::vector<int16_t>& in, size_t chunk) {
    Upsampler2x up;
    std::vector<int16_t> out;
    for (size_t i = 0; i < in.size(); i += chunk)
        up.process(in.data() + i, std::min(chunk, in.size() - i), out);
    up.flush(out);
    return out;
}

TEST(Upsampler, DoublesTheLengthAndKeepsInputSamples) {
    const std::vector<int16_t> in = tone(440, 8000, 1001, 12000);
    const std::vector<int16_t> out = upsample(in, 1001);
    ASSERT_EQ(2 * in.size(), out.size());
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(in[i], out[2 * i]) << i;
    EXPECT_EQ(out, upsample(in, 7));  // chunking does not change the stream
    EXPECT_EQ(6u, upsample({1, 2, 3}, 3).size());
}

TEST(Upsampler, InterpolatesPassbandTonesAndDc) {
    // 1 kHz and 3 kHz at 8 kHz: every new sample lies on the 16 kHz tone.
    for (double hz : {1000.0, 3000.0}) {
        const std::vector<int16_t> out = upsample(tone(hz, 8000, 800, 10000), 160);
        const std::vector<int16_t> ideal = tone(hz, 16000, 1600, 10000);
        for (size_t i = 64; i + 64 < out.size(); ++i)
            ASSERT_NEAR(ideal[i], out[i], 200) << hz << " Hz at " << i;
    }
    const std::vector<int16_t> dc = upsample(std::vector<int16_t>(200, -20000), 200);
    for (size_t i = 64; i + 64 < dc.size(); ++i) ASSERT_NEAR(-20000, dc[i], 2) << i;
}

TEST(Upsampler, SaturatesInsteadOfWrapping) {
    std::vector<int16_t> in(100);
    // Full-scale 2 kHz: M, M, −M, −M peaks at √2·M halfway between equal samples.
    for (size_t i = 0; i < in.size(); ++i) in[i] = (i / 2) % 2 ? -INT16_MAX : INT16_MAX;
    const std::vector<int16_t> out = upsample(in, 100);
    for (size_t i = 16; i < 80; i += 4) {
        EXPECT_EQ(INT16_MAX, out[2 * i + 1]) << i;
        EXPECT_EQ(INT16_MIN, out[2 * i + 5]) << i;
    }
}

}  // namespace
}  // namespace asrserver
