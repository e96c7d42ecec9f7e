// Streaming 2x interpolation of 16-bit PCM (8 kHz to 16 kHz) with a
// Blackman-windowed half-band low-pass filter. Even output samples are the
// input samples themselves; odd ones are interpolated from the 16 nearest
// inputs on each side, so the output lags the input by 16 samples until
// flush() drains it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace asrserver {

class Upsampler2x {
  public:
    static constexpr size_t kHalfTaps = 16;  // interpolation taps on each side

    Upsampler2x();
    // Appends the output for `count` more input samples to `out`.
    void process(const int16_t* in, size_t count, std::vector<int16_t>& out);
    // Appends the delayed tail, so that the output totals twice the input,
    // and starts a new stream.
    void flush(std::vector<int16_t>& out);

  private:
    void push(int16_t x, std::vector<int16_t>& out);

    static constexpr size_t kRing = 2 * kHalfTaps;  // power of two
    std::array<double, kHalfTaps> coef_{};
    std::array<int16_t, kRing> ring_{};
    size_t total_ = 0;  // input samples pushed in this stream
};

}  // namespace asrserver
