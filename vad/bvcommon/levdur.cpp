// Levinson: Levinson-Durbin recursion in double precision (coefficients in Q27).
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

namespace {

// alpha * (1 - rc^2) for rc in Q31 given as hi/lo; alpha as hi/lo, result Q(30 + alpha's).
Word32 shrink_by_reflection(Word16 alpha_hi, Word16 alpha_lo, Word16 rc_hi, Word16 rc_lo) {
    Word32 a0 = L_abs(Mpy_32(rc_hi, rc_lo, rc_hi, rc_lo));  // rc^2 in Q31
    a0 = L_sub(0x40000000, L_shr(a0, 1));                   // 1 - rc^2 in Q30
    Word16 high, low;
    L_Extract(a0, &high, &low);
    return Mpy_32(alpha_hi, alpha_lo, high, low);
}

}  // namespace

void Levinson(Word32 r[], Word16 a[], Word16 old_a[], Word16 m) {
    Word16 r_hi[LPCO + 1], r_lo[LPCO + 1];
    Word16 a_hi[LPCO + 1], a_lo[LPCO + 1], anew_hi[LPCO + 1], anew_lo[LPCO + 1];

    // Normalise the autocorrelation.
    Word16 exp = norm_l(r[0]);
    for (int i = 0; i <= m; i++) {
        r[i] = L_shl(r[i], exp);
        L_Extract(r[i], &r_hi[i], &r_lo[i]);
    }

    // a[1] = rc = -r[1] / r[0]
    Word32 a0 = Div_32(L_abs(r[1]), r_hi[0], r_lo[0]);  // Q31
    if (r[1] > 0) a0 = L_negate(a0);
    L_Extract(L_shr(a0, 4), &a_hi[1], &a_lo[1]);  // Q27

    // alpha = r[0] * (1 - rc^2), kept as a normalised mantissa and exponent.
    Word16 high, low;
    L_Extract(a0, &high, &low);
    a0 = shrink_by_reflection(r_hi[0], r_lo[0], high, low);  // Q30
    Word16 alpha_exp = norm_l(a0);
    Word32 alpha_man = L_shl(a0, alpha_exp);
    alpha_exp = sub(alpha_exp, 1);  // alpha in Q(31 + alpha_exp)

    for (int i = 2; i <= m; i++) {
        // s = r[i] + sum r[j] * a[i-j], j = 1 .. i-1
        a0 = 0;
        for (int j = 1; j < i; j++)
            a0 = L_add(a0, Mpy_32(r_hi[j], r_lo[j], a_hi[i - j], a_lo[i - j]));  // Q27
        a0 = L_add(L_shl(a0, 4), r[i]);                                          // Q31

        // rc = -s / alpha
        exp = norm_l(a0);
        a0 = L_shl(a0, exp);
        Word32 a1 = L_abs(a0);
        if (L_sub(a1, alpha_man) >= 0) {
            a1 = L_shr(a1, 1);
            exp = sub(exp, 1);
        }
        Word16 alpha_hi, alpha_lo;
        L_Extract(alpha_man, &alpha_hi, &alpha_lo);
        a1 = Div_32(a1, alpha_hi, alpha_lo);
        if (a0 > 0) a1 = L_negate(a1);
        a1 = L_shr(a1, sub(exp, alpha_exp));  // Q31
        Word16 rc_hi, rc_lo;
        L_Extract(a1, &rc_hi, &rc_lo);

        // An unstable filter keeps the previous coefficients.
        if (sub(abs_s(round30To16(a1)), 32750) > 0) {
            a[0] = 4096;
            for (int j = 1; j <= m; j++) a[j] = old_a[j];
            return;
        }

        // anew[j] = a[j] + rc * a[i-j], anew[i] = rc
        for (int j = 1; j < i; j++) {
            a0 = L_add(Mpy_32(a_hi[i - j], a_lo[i - j], rc_hi, rc_lo), L_Comp(a_hi[j], a_lo[j]));  // Q27
            L_Extract(a0, &anew_hi[j], &anew_lo[j]);
        }
        L_Extract(L_shr(a1, 4), &anew_hi[i], &anew_lo[i]);

        // alpha *= 1 - rc^2
        a0 = shrink_by_reflection(alpha_hi, alpha_lo, rc_hi, rc_lo);  // Q(30 + alpha_exp)
        exp = norm_l(a0);
        alpha_man = L_shl(a0, exp);
        alpha_exp = sub(add(alpha_exp, exp), 1);

        for (int j = 1; j <= i; j++) {
            a_hi[j] = anew_hi[j];
            a_lo[j] = anew_lo[j];
        }
    }

    // Q27 -> Q12; remember the result for an unstable frame later.
    a[0] = 4096;
    for (int j = 1; j <= m; j++) {
        a[j] = round30To16(L_shl(L_Comp(a_hi[j], a_lo[j]), 1));
        old_a[j] = a[j];
    }
}

}  // namespace bv32
