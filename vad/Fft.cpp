// Real FFT of length n via a complex radix-2 FFT of length n/2 on the
// interleaved values, followed by the split into the n/2 + 1 real-input bins.
#include "vad/Fft.h"

#include <cmath>
#include <utility>

namespace {

// In-place complex FFT (forward) of `count` values stored as (re, im) pairs
// from c[0]; `count` is a power of two.
void complex_fft(float* c, unsigned count) {
    // Bit-reversal permutation.
    for (unsigned i = 1, j = 0; i < count; ++i) {
        unsigned bit = count >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) {
            std::swap(c[2 * i], c[2 * j]);
            std::swap(c[2 * i + 1], c[2 * j + 1]);
        }
    }
    // Butterflies; twiddles by recurrence in double.
    for (unsigned len = 2; len <= count; len <<= 1) {
        const double theta = -2.0 * M_PI / len;
        const double step_re = std::cos(theta), step_im = std::sin(theta);
        double w_re = 1.0, w_im = 0.0;
        const unsigned half = len / 2;
        for (unsigned j = 0; j < half; ++j) {
            const auto wr = static_cast<float>(w_re), wi = static_cast<float>(w_im);
            for (unsigned i = j; i < count; i += len) {
                float* a = c + 2 * i;
                float* b = c + 2 * (i + half);
                const float t_re = wr * b[0] - wi * b[1];
                const float t_im = wr * b[1] + wi * b[0];
                b[0] = a[0] - t_re;
                b[1] = a[1] - t_im;
                a[0] += t_re;
                a[1] += t_im;
            }
            const double next = w_re * step_re - w_im * step_im;
            w_im = w_re * step_im + w_im * step_re;
            w_re = next;
        }
    }
}

}  // namespace

bool CFft::Realft(float* data, int n) {
    if (data == nullptr || n < 2 || (n & (n - 1)) != 0) return false;
    const auto half = static_cast<unsigned>(n / 2);
    float* z = data + 1;  // z[2m], z[2m+1] = x[2m], x[2m+1] as one complex value
    complex_fft(z, half);

    // Z is the transform of the even/odd pairs; for k and half - k together:
    // E = (Z[k] + conj Z[half-k]) / 2, O = (Z[k] - conj Z[half-k]) / 2i,
    // X[k] = E + W^k O and X[half-k] = conj(E - W^k O), W = exp(-2 pi i / n).
    const double theta = -2.0 * M_PI / n;
    const double step_re = std::cos(theta), step_im = std::sin(theta);
    double w_re = step_re, w_im = step_im;
    for (unsigned k = 1; k <= half / 2; ++k) {
        float* a = z + 2 * k;
        float* b = z + 2 * (half - k);
        const double e_re = 0.5 * (a[0] + b[0]), e_im = 0.5 * (a[1] - b[1]);
        const double o_re = 0.5 * (a[1] + b[1]), o_im = -0.5 * (a[0] - b[0]);
        const double t_re = w_re * o_re - w_im * o_im;
        const double t_im = w_re * o_im + w_im * o_re;
        a[0] = static_cast<float>(e_re + t_re);
        a[1] = static_cast<float>(e_im + t_im);
        b[0] = static_cast<float>(e_re - t_re);
        b[1] = static_cast<float>(t_im - e_im);
        const double next = w_re * step_re - w_im * step_im;
        w_im = w_re * step_im + w_im * step_re;
        w_re = next;
    }
    // Bin 0 and bin n/2 are real: Z[0].re + Z[0].im and Z[0].re - Z[0].im.
    const float dc = z[0] + z[1], nyquist = z[0] - z[1];
    z[0] = dc;
    z[1] = nyquist;
    return true;
}
