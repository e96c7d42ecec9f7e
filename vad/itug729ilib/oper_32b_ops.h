// Definitions of the G.729 double-precision operators. Included by oper_32b.h
// (inline build) or by oper_32b.cpp (out-of-line build); not a header of its own.

OPER32B_FN void L_Extract(Word32 L_32, Word16* hi, Word16* lo) {
    *hi = extract_h(L_32);
    *lo = extract_l(L_msu(L_shr(L_32, 1), *hi, 16384));
}

OPER32B_FN Word32 L_Comp(Word16 hi, Word16 lo) { return L_mac(L_deposit_h(hi), lo, 1); }

OPER32B_FN Word32 Mpy_32(Word16 hi1, Word16 lo1, Word16 hi2, Word16 lo2) {
    Word32 L_32 = L_mult(hi1, hi2);
    L_32 = L_mac(L_32, mult(hi1, lo2), 1);
    return L_mac(L_32, mult(lo1, hi2), 1);
}

OPER32B_FN Word32 Mpy_32_16(Word16 hi, Word16 lo, Word16 n) { return L_mac(L_mult(hi, n), mult(lo, n), 1); }

OPER32B_FN Word32 Div_32(Word32 L_num, Word16 denom_hi, Word16 denom_lo) {
    // First approximation 1/denom_hi in Q14, refined by one Newton step:
    // 1/den = approx * (2 - den * approx), in Q29.
    const Word16 approx = div_s(0x3fff, denom_hi);
    Word32 L_32 = L_sub(MAX_32, Mpy_32_16(denom_hi, denom_lo, approx));  // Q30
    Word16 hi, lo;
    L_Extract(L_32, &hi, &lo);
    L_32 = Mpy_32_16(hi, lo, approx);
    Word16 n_hi, n_lo;
    L_Extract(L_32, &hi, &lo);
    L_Extract(L_num, &n_hi, &n_lo);
    return L_shl(Mpy_32(n_hi, n_lo, hi, lo), 2);  // Q29 -> Q31
}
