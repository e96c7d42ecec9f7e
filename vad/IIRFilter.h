// Second-order IIR section (biquad) used as the high-pass stage of dynamic
// range control. The functions carry plain C symbol names.
#ifndef VAD_IIRFILTER_H
#define VAD_IIRFILTER_H

#ifdef __cplusplus
extern "C" {
#endif

// Registers and coefficients of one direct-form-I section, all in double.
typedef struct FILTCOEF {
    double RegX1;  // x[n-1]
    double RegX2;  // x[n-2]
    double RegY1;  // y[n-1]
    double RegY2;  // y[n-2]
    double b0;
    double b1;
    double b2;
    double a0;
    double a1;
    double a2;
} FILTCOEF;

typedef FILTCOEF* IIR_HANDLE;

// New section with zero registers and the high-pass coefficients; null when
// memory is exhausted.
IIR_HANDLE iir_init(void);

// Filters NumSigPts values in place (nothing when NumSigPts <= 0 or f is null).
void iir_proc(IIR_HANDLE f, float* Input, int NumSigPts);

// Zeroes the four registers.
void iir_reset(IIR_HANDLE f);

void iir_free(IIR_HANDLE f);

// One filter step: returns y for input x and shifts the registers.
double SectCalcForm1(FILTCOEF* f, double x);

#ifdef __cplusplus
}
#endif

#endif  // VAD_IIRFILTER_H
