#include "server/asr-server/upsampler.h"

#include <cmath>

namespace asrserver {

namespace {

int16_t saturate(double v) {
    const long r = std::lround(v);
    if (r > INT16_MAX) return INT16_MAX;
    if (r < INT16_MIN) return INT16_MIN;
    return static_cast<int16_t>(r);
}

}  // namespace

Upsampler2x::Upsampler2x() {
    // Half-band prototype h(n) = sinc(n/2)·w(n) at the odd offsets n = 2k+1;
    // the even offsets are zero except h(0) = 1, which passes inputs through.
    const double pi = std::acos(-1.0);
    const double span = 2.0 * kHalfTaps;
    double sum = 0.0;
    for (size_t k = 0; k < kHalfTaps; ++k) {
        const double n = 2.0 * k + 1.0;
        const double sinc = std::sin(pi * n / 2.0) / (pi * n / 2.0);
        const double window = 0.42 + 0.5 * std::cos(pi * n / span) + 0.08 * std::cos(2.0 * pi * n / span);
        coef_[k] = sinc * window;
        sum += 2.0 * coef_[k];
    }
    for (double& c : coef_) c /= sum;  // unit gain at DC
}

void Upsampler2x::push(int16_t x, std::vector<int16_t>& out) {
    ring_[total_ % kRing] = x;
    ++total_;
    if (total_ <= kHalfTaps) return;  // the first centre still lacks its right-hand side
    // Centre input c = newest − kHalfTaps. Slots left of the stream start hold
    // zeros: they are written only kRing samples after the start.
    const size_t c = total_ - 1 - kHalfTaps;
    double acc = 0.0;
    for (size_t k = 0; k < kHalfTaps; ++k) {
        const int left = ring_[(c + kRing - k) % kRing];
        const int right = ring_[(c + 1 + k) % kRing];
        acc += coef_[k] * (left + right);
    }
    out.push_back(ring_[c % kRing]);
    out.push_back(saturate(acc));
}

void Upsampler2x::process(const int16_t* in, size_t count, std::vector<int16_t>& out) {
    for (size_t i = 0; i < count; ++i) push(in[i], out);
}

void Upsampler2x::flush(std::vector<int16_t>& out) {
    // kHalfTaps zeros bring every input to the centre once: n inputs give 2n outputs.
    for (size_t i = 0; i < kHalfTaps; ++i) push(0, out);
    ring_.fill(0);
    total_ = 0;
}

}  // namespace asrserver
