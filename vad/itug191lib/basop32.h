// ITU-T G.191 basic operators: saturating 16/32-bit fixed-point arithmetic.
//
// Every saturation sets Overflow to 1; L_add_c, L_sub_c, L_macNs and L_msuNs also
// read and write Carry, and L_sat reads both. The flags are per thread, so encoders
// running on different threads never share them; a single thread sees the same
// values as with the process-wide flags of the original library.
//
// The operators are inline by default. Building with VELA_BASOP_OUT_OF_LINE defined
// turns them into out-of-line calls writing plain global flags, the way the original
// library works; that build exists only to measure the difference.
#ifndef VAD_ITUG191LIB_BASOP32_H
#define VAD_ITUG191LIB_BASOP32_H

#include "vad/bvcommon/typedef.h"

typedef int Flag;

constexpr Word16 MAX_16 = 0x7fff;
constexpr Word16 MIN_16 = -0x7fff - 1;
constexpr Word32 MAX_32 = 0x7fffffff;
constexpr Word32 MIN_32 = -0x7fffffff - 1;

#ifdef VELA_BASOP_OUT_OF_LINE
#define BASOP_FLAG_STORAGE
#else
#define BASOP_FLAG_STORAGE thread_local
#endif

// Defined here with a constant initialiser, so no unit needs a per-thread
// initialisation check to reach them.
inline BASOP_FLAG_STORAGE Flag Overflow = 0;
inline BASOP_FLAG_STORAGE Flag Carry = 0;

Word16 saturate(Word32 L_var1);
Word16 add(Word16 var1, Word16 var2);
Word16 sub(Word16 var1, Word16 var2);
Word16 abs_s(Word16 var1);
Word16 shl(Word16 var1, Word16 var2);
Word16 shr(Word16 var1, Word16 var2);
Word16 mult(Word16 var1, Word16 var2);
Word32 L_mult(Word16 var1, Word16 var2);
Word16 negate(Word16 var1);
Word16 extract_h(Word32 L_var1);
Word16 extract_l(Word32 L_var1);
Word16 round30To16(Word32 L_var1);  // extract_h(L_add(L_var1, 0x8000))
Word32 L_mac(Word32 L_var3, Word16 var1, Word16 var2);
Word32 L_msu(Word32 L_var3, Word16 var1, Word16 var2);
Word32 L_macNs(Word32 L_var3, Word16 var1, Word16 var2);
Word32 L_msuNs(Word32 L_var3, Word16 var1, Word16 var2);
Word32 L_add(Word32 L_var1, Word32 L_var2);
Word32 L_sub(Word32 L_var1, Word32 L_var2);
Word32 L_add_c(Word32 L_var1, Word32 L_var2);
Word32 L_sub_c(Word32 L_var1, Word32 L_var2);
Word32 L_negate(Word32 L_var1);
Word16 mult_r(Word16 var1, Word16 var2);
Word32 L_shl(Word32 L_var1, Word16 var2);
Word32 L_shr(Word32 L_var1, Word16 var2);
Word16 shr_r(Word16 var1, Word16 var2);
Word16 mac_r(Word32 L_var3, Word16 var1, Word16 var2);
Word16 msu_r(Word32 L_var3, Word16 var1, Word16 var2);
Word32 L_deposit_h(Word16 var1);
Word32 L_deposit_l(Word16 var1);
Word32 L_shr_r(Word32 L_var1, Word16 var2);
Word32 L_abs(Word32 L_var1);
Word32 L_sat(Word32 L_var1);
Word16 norm_s(Word16 var1);
Word16 div_s(Word16 var1, Word16 var2);  // var1/var2 in Q15; aborts unless 0 <= var1 <= var2, var2 > 0
Word16 norm_l(Word32 L_var1);
Word32 L_mls(Word32 Lv, Word16 v);
Word16 div_l(Word32 L_num, Word16 den);  // ends the process on den <= 0 or L_num < 0
Word16 i_mult(Word16 a, Word16 b);
Word32 L_mult0(Word16 var1, Word16 var2);
Word32 L_mac0(Word32 L_var3, Word16 var1, Word16 var2);
Word32 L_msu0(Word32 L_var3, Word16 var1, Word16 var2);

namespace basop_detail {
// Fatal paths of div_s and div_l: print the error and end the process.
[[noreturn]] void div_s_error(Word16 var1, Word16 var2);
[[noreturn]] void div_l_error(Word32 L_num, Word16 den);
}  // namespace basop_detail

#ifndef VELA_BASOP_OUT_OF_LINE
#define BASOP_FN inline
#include "vad/itug191lib/basop32_ops.h"
#endif

#endif  // VAD_ITUG191LIB_BASOP32_H
