// Pow2, Log2, sqrts and sqrt_i: 65-entry table lookup with linear interpolation.
#include "vad/bvcommon/mathutil.h"

#include "vad/bvcommon/mathtables.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
// table[idx] + (table[idx+1] - table[idx]) * frac in Q31, frac in Q15.
Word32 interpolate(const Word16* table, Word16 idx, Word16 frac) {
    return L_mac(L_deposit_h(table[idx]), frac, sub(table[idx + 1], table[idx]));
}
}  // namespace

// 2^x = 2^(int+1) * 2^(frac-1); tabpow holds 2^(f-1) for f in [0, 1].
Word32 Pow2(Word16 int_comp, Word16 frac_comp) {
    const Word16 idx_frac = shr(frac_comp, 9);
    const Word16 sub_frac = shl(static_cast<Word16>(frac_comp & 0x01ff), 6);  // Q15
    const Word32 a0 = interpolate(tabpow, idx_frac, sub_frac);                // Q31
    return L_shr_r(a0, sub(30, int_comp));                                    // Q0
}

// log2(x) = log2(mantissa) + exponent, mantissa in [1, 2) looked up in tablog.
void Log2(Word32 x, Word16* int_comp, Word16* frac_comp) {
    if (x <= 0) {
        *int_comp = 0;
        *frac_comp = 0;
        return;
    }
    const Word16 exp = norm_l(x);
    Word32 a0 = L_shl(x, exp);             // Q30 mantissa in [1, 2)
    a0 = L_shr(L_sub(a0, 0x40000000), 8);  // Q16 table position, leading 1 removed
    const Word16 idx_man = extract_h(a0);
    const Word16 sub_man = extract_l(L_shr(a0 & 0xffff, 1));  // Q15
    *frac_comp = round30To16(interpolate(tablog, idx_man, sub_man));
    *int_comp = sub(30, exp);
}

Word16 sqrts(Word16 x) {
    if (x <= 0) return 0;
    Word16 exp = norm_s(x);
    const Word16 xb = shl(x, exp);
    const Word16 idx = shr(xb, 9);
    Word32 a0 = interpolate(tabsqrt, idx, shl(static_cast<Word16>(xb & 0x01ff), 6));  // Q31
    if (exp & 0x0001) {
        // Odd normalisation: one more halving step and a factor 1/sqrt(2).
        exp = shr(add(exp, 1), 1);
        a0 = L_shr(a0, exp);
        const Word16 y = round30To16(a0);
        a0 = L_mac(a0, 13573, y);
    } else {
        exp = shr(exp, 1);
        a0 = L_shr(a0, exp);
    }
    return round30To16(a0);  // Q15
}

void sqrt_i(Word16 x_man, Word16 x_exp, Word16* y_man, Word16* y_exp) {
    if (x_man <= 0) {
        *y_man = 0;
        *y_exp = 0;
        return;
    }
    Word16 exp = norm_s(x_man);
    const Word16 x_manb = shl(x_man, exp);  // Q15 in [0.5, 1)
    Word16 x_expb = add(x_exp, exp);
    x_expb = sub(x_expb, 15);
    const Word16 idx = shr(x_manb, 9);
    const Word32 a0 = interpolate(tabsqrt, idx, shl(static_cast<Word16>(x_manb & 0x01ff), 6));
    exp = norm_l(a0);
    const Word16 y = round30To16(L_shl(a0, exp));
    exp = add(15, exp);

    if (x_expb & 0x0001) {
        // Odd exponent: divide by sqrt(2) (0x2D41, Q14) or multiply (0x5A82, Q14),
        // whichever keeps div_s's numerator below its denominator.
        if (y < 0x5a82) {
            exp = add(exp, shr(add(x_expb, 1), 1));
            *y_man = div_s(0x2d41, y);
        } else {
            exp = add(exp, shr(sub(x_expb, 1), 1));
            *y_man = div_s(0x5a82, y);
        }
    } else {
        exp = add(exp, shr(x_expb, 1));
        *y_man = div_s(0x4000, y);  // 1.0 in Q14
    }
    *y_exp = sub(29, exp);
}

}  // namespace bv32
