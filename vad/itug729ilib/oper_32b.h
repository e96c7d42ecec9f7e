// ITU-T G.729 double-precision operators on the basic operators of G.191.
//
// A double-precision value is a pair (hi, lo) of 16-bit words standing for
// L_32 = hi * 2^16 + lo * 2; L_Extract splits a 32-bit value, L_Comp joins one.
#ifndef VAD_ITUG729ILIB_OPER_32B_H
#define VAD_ITUG729ILIB_OPER_32B_H

#include "vad/bvcommon/typedef.h"
#include "vad/itug191lib/basop32.h"

void L_Extract(Word32 L_32, Word16* hi, Word16* lo);
Word32 L_Comp(Word16 hi, Word16 lo);
// Product of two Q31 double-precision values, in Q31.
Word32 Mpy_32(Word16 hi1, Word16 lo1, Word16 hi2, Word16 lo2);
// Product of a Q31 double-precision value and a Q15 value, in Q31.
Word32 Mpy_32_16(Word16 hi, Word16 lo, Word16 n);
// L_num / (denom_hi, denom_lo) in Q31, for 0 < L_num < denominator and denom_hi normalised.
Word32 Div_32(Word32 L_num, Word16 denom_hi, Word16 denom_lo);

#ifndef VELA_BASOP_OUT_OF_LINE
#define OPER32B_FN inline
#include "vad/itug729ilib/oper_32b_ops.h"
#endif

#endif  // VAD_ITUG729ILIB_OPER_32B_H
