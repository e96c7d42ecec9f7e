// Shared-stage loops in two forms: Fast = true takes the exact shortcuts of
// fastpath.h where they apply, Fast = false runs the basic operators only. Both
// give the same results and flags; the stages use kFastPaths.
#ifndef VAD_BVCOMMON_KERNELS_H
#define VAD_BVCOMMON_KERNELS_H

#include "vad/bvcommon/typedef.h"

namespace bv32 {
namespace kernels {

template <bool Fast>
void autocorr(Word32 r[], const Word16 x[], const Word16 window[], Word16 l_window, Word16 m);

// azfilter (out_shift 4, Q0 output) and azfilterQ0_Q1 (out_shift 5, Q1 output).
template <bool Fast>
void azfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 out_shift);

// apfilter (Q0 input) and apfilterQ1_Q0 (Q1 input), both Q0 output.
template <bool Fast>
void apfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
              Word16 update);
template <bool Fast>
void apfilterQ1_Q0(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
                   Word16 update);

}  // namespace kernels
}  // namespace bv32

#endif  // VAD_BVCOMMON_KERNELS_H
