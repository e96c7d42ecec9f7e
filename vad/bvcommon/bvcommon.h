// Signal processing stages shared by the BroadVoice codecs (LPC analysis, LSP
// conversion, all-zero and all-pole filters). Q formats are given per argument.
#ifndef VAD_BVCOMMON_BVCOMMON_H
#define VAD_BVCOMMON_BVCOMMON_H

#include "vad/bvcommon/bvcnst.h"
#include "vad/bvcommon/typedef.h"

namespace bv32 {

// Windowed autocorrelation r[0..m] of x[0..l_window-1] (l_window <= 160), block
// normalised so that r[0] uses the full 32-bit range.
void Autocorr(Word32 r[], const Word16 x[], const Word16 window[], Word16 l_window, Word16 m);

// Multiplies r[1..m] by the lag window held as high/low halves.
void Spectral_Smoothing(Word16 m, Word32 r[], const Word16 lag_h[], const Word16 lag_l[]);

// Levinson-Durbin recursion: a[0..m] (Q12) from r[0..m] (r is normalised in place).
// When a reflection coefficient reaches the stability limit, a = {1.0, old_a[1..m]};
// otherwise old_a[1..m] takes the new coefficients.
void Levinson(Word32 r[], Word16 a[], Word16 old_a[], Word16 m);

// LPC (Q12, order LPCO) to LSP (Q15); keeps old_lsp when fewer than LPCO roots are found.
void a2lsp(const Word16 pc[], Word16 lsp[], const Word16 old_lsp[]);

// Chebyshev series of order nd2 with coefficients t_man/t_exp at x (Q15); Q13 result.
Word16 FNevChebP(Word16 x, const Word16* t_man, const Word16* t_exp, Word16 nd2);

// LSP (Q15) to LPC (Q12, a[0] = 4096).
void lsp2a(const Word16 lsp[], Word16 a[]);

// Sum or difference polynomial f[0..LPCO] (Q23) from every second LSP starting at lsp[0].
void get_pq_polynomials(Word32* f, const Word16* lsp);

// Sorts the LSPs ascending and enforces the minimum spacing and range.
void stblz_lsp(Word16* lsp, Word16 order);

// 1 when x[0] >= 0 and x is non-decreasing, else 0.
Word16 stblchck(const Word16* x, Word16 vdim);

// All-zero filter y[n] = sum a[i] x[n-i] (x includes m past samples before x[0]).
// azfilter: Q0 in, Q0 out; azfilterQ0_Q1: Q0 in, Q1 out.
void azfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg);
void azfilterQ0_Q1(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg);

// All-pole filter y[n] = x[n] - sum a[i] y[n-i] with memory mem[0..m-1] (oldest first),
// updated when update != 0. x and y may be the same array.
// apfilter: Q0 in, Q0 out; apfilterQ1_Q0: Q1 in, Q0 out.
void apfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
              Word16 update);
void apfilterQ1_Q0(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
                   Word16 update);

}  // namespace bv32

#endif  // VAD_BVCOMMON_BVCOMMON_H
