#include "server/asr-server/shaped_noise.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace asrserver {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kGamma = 0.9;          // envelope flattening
constexpr double kLagWindowHz = 60.0;   // Gaussian smoothing of the envelope peaks
constexpr double kWhiteFloor = 1.0001;  // lag-0 boost: keeps the fit well conditioned
constexpr double kSilentPower = 1.0;    // below this mean square the input is silence
constexpr double kSampleRate = 16000.0;
constexpr uint32_t kSeed = 0x9e3779b9u;

struct Tables {
    std::array<double, ShapedNoise::kWindow> window{};  // Hamming
    std::array<double, ShapedNoise::kOrder + 1> lag{};  // lag window
    double window_power = 0.0;                          // mean square of the window
    Tables() {
        const size_t n = ShapedNoise::kWindow;
        for (size_t i = 0; i < n; ++i) {
            window[i] =
                0.54 - 0.46 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(n - 1));
            window_power += window[i] * window[i];
        }
        window_power /= static_cast<double>(n);
        for (int l = 0; l <= ShapedNoise::kOrder; ++l) {
            const double x = 2.0 * kPi * kLagWindowHz * l / kSampleRate;
            lag[static_cast<size_t>(l)] = std::exp(-0.5 * x * x);
        }
        lag[0] = kWhiteFloor;
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// One output sample of the all-pole filter 1/A(z) for input `x`; `mem` holds
// the filter's past outputs, newest first.
double allPole(const std::array<double, ShapedNoise::kOrder + 1>& a,
               std::array<double, ShapedNoise::kOrder>& mem, double x) {
    for (int j = 1; j <= ShapedNoise::kOrder; ++j)
        x -= a[static_cast<size_t>(j)] * mem[static_cast<size_t>(j - 1)];
    std::copy_backward(mem.begin(), mem.end() - 1, mem.end());
    mem[0] = x;
    return x;
}

}  // namespace

ShapedNoise::ShapedNoise(double level_db) : level_(std::pow(10.0, -level_db / 10.0)) { reset(); }

void ShapedNoise::reset() {
    history_.fill(0.0);
    pos_ = 0;
    since_ = 0;
    a_.fill(0.0);
    a_[0] = 1.0;
    mem_.fill(0.0);
    gain_ = 0.0;
    seed_ = kSeed;
}

double ShapedNoise::white() {
    seed_ ^= seed_ << 13;
    seed_ ^= seed_ >> 17;
    seed_ ^= seed_ << 5;
    // Uniform on [-sqrt(3), sqrt(3)): variance 1.
    return (static_cast<double>(seed_) * (1.0 / 4294967296.0) * 2.0 - 1.0) * 1.7320508075688772;
}

void ShapedNoise::analyse() {
    const Tables& t = tables();
    std::array<double, kWindow> x{};
    for (size_t i = 0; i < kWindow; ++i) x[i] = history_[(pos_ + i) % kWindow] * t.window[i];
    std::array<double, kOrder + 1> r{};
    for (int l = 0; l <= kOrder; ++l) {
        double s = 0.0;
        for (size_t i = static_cast<size_t>(l); i < kWindow; ++i) s += x[i] * x[i - static_cast<size_t>(l)];
        r[static_cast<size_t>(l)] = s;
    }
    gain_ = 0.0;
    const double power = r[0] / (static_cast<double>(kWindow) * t.window_power);
    if (power < kSilentPower) return;
    for (size_t l = 0; l <= kOrder; ++l) r[l] *= t.lag[l];

    // Levinson-Durbin: A(z) = 1 + a1 z^-1 + ... + a16 z^-16.
    std::array<double, kOrder + 1> a{};
    a[0] = 1.0;
    double err = r[0];
    for (int m = 1; m <= kOrder; ++m) {
        double acc = r[static_cast<size_t>(m)];
        for (int j = 1; j < m; ++j) acc += a[static_cast<size_t>(j)] * r[static_cast<size_t>(m - j)];
        const double k = -acc / err;
        if (!(std::fabs(k) < 1.0)) return;  // numerically unstable fit: add nothing this hop
        const std::array<double, kOrder + 1> prev = a;
        for (int j = 1; j < m; ++j) {
            a[static_cast<size_t>(j)] = prev[static_cast<size_t>(j)] + k * prev[static_cast<size_t>(m - j)];
        }
        a[static_cast<size_t>(m)] = k;
        err *= 1.0 - k * k;
    }
    double g = 1.0;
    for (int j = 1; j <= kOrder; ++j) {
        g *= kGamma;
        a[static_cast<size_t>(j)] *= g;
    }

    // Power gain of 1/A(z/gamma) for white input: the energy of its impulse response.
    std::array<double, kOrder> m{};
    double energy = 0.0;
    for (size_t n = 0; n < kWindow; ++n) {
        const double y = allPole(a, m, n == 0 ? 1.0 : 0.0);
        energy += y * y;
    }
    a_ = a;
    gain_ = std::sqrt(power * level_ / energy);
}

void ShapedNoise::process(int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        history_[pos_] = samples[i];
        pos_ = (pos_ + 1) % kWindow;
        const double y = allPole(a_, mem_, gain_ != 0.0 ? gain_ * white() : 0.0);
        const double out = std::round(static_cast<double>(samples[i]) + y);
        samples[i] = static_cast<int16_t>(std::clamp(out, -32768.0, 32767.0));
        if (++since_ == kHop) {
            since_ = 0;
            analyse();
        }
    }
}

}  // namespace asrserver
