// 16 kHz to 8 kHz conversion: a 19th-order recursive low-pass in double
// precision, then every second sample.
#include "speech-util/utilcxx/downsampling/downsampling.h"

#include <array>
#include <cmath>
#include <cstdint>

namespace {

constexpr size_t kOrder = 19;
constexpr size_t kTaps = kOrder + 1;
// Input samples per frame (5 ms at 16000 Hz); a shorter remainder is ignored.
constexpr size_t kFrameSize = 80;

// Chebyshev type I low-pass, 1 dB ripple, pass-band edge at 4000 Hz for a
// 16000 Hz input: y[n] = sum b[k] x[n-k] - sum a[k] y[n-k] (a[0] = 1).
constexpr std::array<double, kTaps> kA = {1.0,
                                          -6.96098641403643,
                                          28.1608075533243,
                                          -82.042713709554,
                                          188.662921650366,
                                          -358.490643063379,
                                          578.435393248619,
                                          -805.987456408528,
                                          980.086293043145,
                                          -1046.40552374877,
                                          983.479452860358,
                                          -813.296955376464,
                                          589.635634656494,
                                          -372.082028417052,
                                          201.954922009851,
                                          -92.5384711988758,
                                          34.7469587930287,
                                          -10.1656759175515,
                                          2.1012124178304,
                                          -0.239341787588154};
constexpr std::array<double, kTaps> kB = {
    1.0261572115898e-07,  1.94969870202062e-06, 1.75472883181856e-05, 9.94346338030517e-05,
    0.000397738535212207, 0.00119321560563662,  0.00278416974648545,  0.00517060095775869,
    0.00775590143663804,  0.00947943508922427,  0.00947943508922426,  0.00775590143663803,
    0.00517060095775869,  0.00278416974648545,  0.00119321560563662,  0.000397738535212207,
    9.94346338030517e-05, 1.75472883181856e-05, 1.94969870202062e-06, 1.0261572115898e-07};

// The last N values, newest first, without shifting: every value is written
// twice so that the N values from the newest one on are always contiguous.
template <size_t N>
class History {
  public:
    void push(double v) {
        pos_ = (pos_ == 0) ? N - 1 : pos_ - 1;
        buf_[pos_] = v;
        buf_[pos_ + N] = v;
    }
    // k = 0 is the newest value.
    double operator[](size_t k) const { return buf_[pos_ + k]; }

  private:
    std::array<double, 2 * N> buf_{};
    size_t pos_ = 0;
};

// Truncates toward zero and keeps the low 16 bits of the integer.
short low16(double v) {
    int32_t i;
    if (std::fabs(v) < 2147483648.0) {
        i = static_cast<int32_t>(v);
    } else if (std::isfinite(v)) {
        i = static_cast<int32_t>(std::fmod(std::trunc(v), 65536.0));  // exact
    } else {
        i = 0;
    }
    return static_cast<short>(static_cast<uint16_t>(i));
}

}  // namespace

int down_sampling(short* input_audio_16k, short* output_audio_8k, size_t input_audio_len,
                  size_t& output_audio_len) {
    if (input_audio_16k == nullptr || output_audio_8k == nullptr || input_audio_len == 0) {
        return -1;
    }
    output_audio_len = 0;
    const size_t samples = input_audio_len / 2 / kFrameSize * kFrameSize;

    History<kTaps> x;   // inputs x[n] ... x[n-19]
    History<kOrder> y;  // outputs y[n-1] ... y[n-19]
    for (size_t n = 0; n < samples; ++n) {
        short out = input_audio_16k[n];
        // The filter starts at sample 19 with an empty history.
        if (n >= kOrder) {
            x.push(input_audio_16k[n]);
            double dX = 0.0;
            for (size_t k = 0; k < kTaps; ++k) dX += kB[k] * x[k];
            double dY = 0.0;
            for (size_t k = 0; k < kOrder; ++k) dY += kA[k + 1] * y[k];
            y.push(dX - dY);
            out = low16(dX - dY);
        }
        if (n % 2 == 0) output_audio_8k[n / 2] = out;
    }
    output_audio_len = samples;  // samples / 2 outputs of 2 bytes
    return 0;
}
