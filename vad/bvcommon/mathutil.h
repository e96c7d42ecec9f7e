// Fixed-point math functions of the codec (table lookup with linear interpolation).
#ifndef VAD_BVCOMMON_MATHUTIL_H
#define VAD_BVCOMMON_MATHUTIL_H

#include "vad/bvcommon/typedef.h"

namespace bv32 {

// 2^(int_comp + frac_comp / 2^15), rounded to an integer (Q0).
Word32 Pow2(Word16 int_comp, Word16 frac_comp);

// log2(x) = *int_comp + *frac_comp / 2^15 for x > 0; both 0 for x <= 0.
void Log2(Word32 x, Word16* int_comp, Word16* frac_comp);

// sqrt(x) with x and the result in Q15; 0 for x <= 0.
Word16 sqrts(Word16 x);

// 1/sqrt(x_man * 2^-x_exp) as y_man * 2^-y_exp (y_man in Q15); 0 for x_man <= 0.
void sqrt_i(Word16 x_man, Word16 x_exp, Word16* y_man, Word16* y_exp);

}  // namespace bv32

#endif  // VAD_BVCOMMON_MATHUTIL_H
