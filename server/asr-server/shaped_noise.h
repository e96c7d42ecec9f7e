// Adds to 16 kHz speech a low noise shaped like its own smoothed spectral
// envelope, before recognition.
//
// The acoustic model was trained on recorded speech, whose spectrum always
// carries noise-like energy between the harmonics and under the formants.
// Clean synthetic speech has none: its log mel spectrum has valleys the model
// never saw, and such audio was recognised far worse as plain PCM than after
// lossy coding, whose noise fills them. This stage fills them the same way
// for every input.
//
// Every 10 ms it fits a 16th-order LPC envelope to the last 20 ms of input,
// flattens it by bandwidth expansion (A(z) -> A(z/gamma)), and for the next
// 10 ms adds white noise through 1/A(z/gamma), `level_db` below the power of
// the analysed input. Digital silence gets no noise of its own. The output of a stream
// does not depend on how it is split into calls, and reset() restarts the
// noise generator, so the same audio always gives the same samples.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace asrserver {

class ShapedNoise {
  public:
    static constexpr int kOrder = 16;
    static constexpr size_t kHop = 160;     // 10 ms
    static constexpr size_t kWindow = 320;  // 20 ms

    // `level_db` > 0: noise power this far below the input's.
    explicit ShapedNoise(double level_db);

    // Starts a new stream: empty history, filter at rest, generator reseeded.
    void reset();
    // Adds the noise to `count` samples in place, saturating at 16 bits.
    void process(int16_t* samples, size_t count);

  private:
    // Fits the envelope and the noise gain to the last kWindow input samples.
    void analyse();
    // Uniform noise of unit variance from a 32-bit xorshift generator.
    double white();

    const double level_;                     // noise power over input power, linear
    std::array<double, kWindow> history_{};  // clean input, ring
    size_t pos_ = 0;                         // next write position in history_
    size_t since_ = 0;                       // samples since the last analysis
    std::array<double, kOrder + 1> a_{};     // 1/A(z/gamma), a_[0] = 1
    std::array<double, kOrder> mem_{};       // synthesis filter state, newest first
    double gain_ = 0.0;                      // white-noise scale; 0 adds nothing
    uint32_t seed_ = 0;
};

}  // namespace asrserver
