#include "vad/IIRFilter.h"

#include <new>

namespace {

// High-pass with a double zero near DC; the coefficients are single-precision
// constants widened to double.
constexpr float kB0 = 0.9201f;
constexpr float kB1 = -1.8401f;
constexpr float kB2 = 0.9201f;
constexpr float kA0 = 1.0f;
constexpr float kA1 = -1.8337f;
constexpr float kA2 = 0.8465f;

}  // namespace

extern "C" {

IIR_HANDLE iir_init(void) {
    FILTCOEF* f = new (std::nothrow) FILTCOEF{};
    if (f == nullptr) return nullptr;
    f->b0 = kB0;
    f->b1 = kB1;
    f->b2 = kB2;
    f->a0 = kA0;
    f->a1 = kA1;
    f->a2 = kA2;
    return f;
}

double SectCalcForm1(FILTCOEF* f, double x) {
    const double y =
        ((f->b0 * x + f->b1 * f->RegX1) + f->b2 * f->RegX2) * f->a0 - f->a1 * f->RegY1 - f->a2 * f->RegY2;
    f->RegX2 = f->RegX1;
    f->RegX1 = x;
    f->RegY2 = f->RegY1;
    f->RegY1 = y;
    return y;
}

void iir_proc(IIR_HANDLE f, float* Input, int NumSigPts) {
    if (f == nullptr || Input == nullptr) return;
    for (int i = 0; i < NumSigPts; ++i) {
        Input[i] = static_cast<float>(SectCalcForm1(f, static_cast<double>(Input[i])));
    }
}

void iir_reset(IIR_HANDLE f) {
    if (f == nullptr) return;
    f->RegX1 = f->RegX2 = f->RegY1 = f->RegY2 = 0.0;
}

void iir_free(IIR_HANDLE f) { delete f; }

}  // extern "C"
