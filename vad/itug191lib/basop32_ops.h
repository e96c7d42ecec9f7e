// Definitions of the G.191 basic operators. Included by basop32.h (inline build) or
// by basop32.cpp (out-of-line build) with BASOP_FN set accordingly; not a header of
// its own. The results equal the original library's for every input; the code avoids
// its undefined shifts and signed overflows.

BASOP_FN Word16 saturate(Word32 L_var1) {
    if (L_var1 > MAX_16) {
        Overflow = 1;
        return MAX_16;
    }
    if (L_var1 < MIN_16) {
        Overflow = 1;
        return MIN_16;
    }
    return static_cast<Word16>(L_var1);
}

BASOP_FN Word16 add(Word16 var1, Word16 var2) { return saturate(static_cast<Word32>(var1) + var2); }

BASOP_FN Word16 sub(Word16 var1, Word16 var2) { return saturate(static_cast<Word32>(var1) - var2); }

BASOP_FN Word16 abs_s(Word16 var1) {
    if (var1 == MIN_16) return MAX_16;
    return static_cast<Word16>(var1 < 0 ? -var1 : var1);
}

// Left shift with saturation; a negative count shifts right by up to 16.
BASOP_FN Word16 shl(Word16 var1, Word16 var2) {
    if (var2 < 0) return shr(var1, static_cast<Word16>(var2 < -16 ? 16 : -var2));
    if (var2 > 15) {
        if (var1 == 0) return 0;
        Overflow = 1;
        return var1 > 0 ? MAX_16 : MIN_16;
    }
    const Word32 result = static_cast<Word32>(var1) * (1 << var2);  // |result| < 2^30
    if (result != static_cast<Word16>(result)) {
        Overflow = 1;
        return var1 > 0 ? MAX_16 : MIN_16;
    }
    return static_cast<Word16>(result);
}

// Arithmetic right shift; a negative count shifts left by up to 16 with saturation.
BASOP_FN Word16 shr(Word16 var1, Word16 var2) {
    if (var2 < 0) return shl(var1, static_cast<Word16>(var2 < -16 ? 16 : -var2));
    if (var2 >= 15) return var1 < 0 ? -1 : 0;
    return static_cast<Word16>(var1 >> var2);
}

// (var1 * var2) >> 15; only -32768 * -32768 saturates.
BASOP_FN Word16 mult(Word16 var1, Word16 var2) { return saturate((static_cast<Word32>(var1) * var2) >> 15); }

// (var1 * var2) << 1; only -32768 * -32768 saturates.
BASOP_FN Word32 L_mult(Word16 var1, Word16 var2) {
    const Word32 product = static_cast<Word32>(var1) * var2;
    if (product == 0x40000000) {
        Overflow = 1;
        return MAX_32;
    }
    return product * 2;
}

BASOP_FN Word16 negate(Word16 var1) { return var1 == MIN_16 ? MAX_16 : static_cast<Word16>(-var1); }

BASOP_FN Word16 extract_h(Word32 L_var1) { return static_cast<Word16>(L_var1 >> 16); }

BASOP_FN Word16 extract_l(Word32 L_var1) { return static_cast<Word16>(L_var1); }

BASOP_FN Word32 L_add(Word32 L_var1, Word32 L_var2) {
    Word32 out;
    if (__builtin_add_overflow(L_var1, L_var2, &out)) {
        Overflow = 1;
        out = L_var1 < 0 ? MIN_32 : MAX_32;
    }
    return out;
}

BASOP_FN Word32 L_sub(Word32 L_var1, Word32 L_var2) {
    Word32 out;
    if (__builtin_sub_overflow(L_var1, L_var2, &out)) {
        Overflow = 1;
        out = L_var1 < 0 ? MIN_32 : MAX_32;
    }
    return out;
}

BASOP_FN Word16 round30To16(Word32 L_var1) { return extract_h(L_add(L_var1, 0x8000)); }

BASOP_FN Word32 L_mac(Word32 L_var3, Word16 var1, Word16 var2) { return L_add(L_var3, L_mult(var1, var2)); }

BASOP_FN Word32 L_msu(Word32 L_var3, Word16 var1, Word16 var2) { return L_sub(L_var3, L_mult(var1, var2)); }

// L_var1 + L_var2 + Carry without saturation; sets Carry and Overflow.
BASOP_FN Word32 L_add_c(Word32 L_var1, Word32 L_var2) {
    const auto wrap = [](UWord32 v) { return static_cast<Word32>(v); };
    const Word32 out =
        wrap(static_cast<UWord32>(L_var1) + static_cast<UWord32>(L_var2) + static_cast<UWord32>(Carry));
    const Word32 test = wrap(static_cast<UWord32>(L_var1) + static_cast<UWord32>(L_var2));
    Flag carry_int;
    if (L_var1 > 0 && L_var2 > 0 && test < 0) {
        Overflow = 1;
        carry_int = 0;
    } else if (L_var1 < 0 && L_var2 < 0) {
        Overflow = test >= 0 ? 1 : 0;
        carry_int = 1;
    } else if ((L_var1 ^ L_var2) < 0 && test >= 0) {
        Overflow = 0;
        carry_int = 1;
    } else {
        Overflow = 0;
        carry_int = 0;
    }
    if (Carry) {
        if (test == MAX_32) {
            Overflow = 1;
            Carry = carry_int;
        } else if (test == -1) {
            Carry = 1;
        } else {
            Carry = carry_int;
        }
    } else {
        Carry = carry_int;
    }
    return out;
}

// L_var1 - L_var2 - (1 - Carry) without saturation; sets Carry and Overflow.
BASOP_FN Word32 L_sub_c(Word32 L_var1, Word32 L_var2) {
    const auto wrap = [](UWord32 v) { return static_cast<Word32>(v); };
    if (Carry) {
        Carry = 0;
        if (L_var2 != MIN_32) return L_add_c(L_var1, -L_var2);
        const Word32 out = wrap(static_cast<UWord32>(L_var1) - static_cast<UWord32>(L_var2));
        if (L_var1 > 0) {
            Overflow = 1;
            Carry = 0;
        }
        return out;
    }
    const Word32 out = wrap(static_cast<UWord32>(L_var1) - static_cast<UWord32>(L_var2) - 1u);
    const Word32 test = wrap(static_cast<UWord32>(L_var1) - static_cast<UWord32>(L_var2));
    Flag carry_int = 0;
    if (test < 0 && L_var1 > 0 && L_var2 < 0) {
        Overflow = 1;
        carry_int = 0;
    } else if (test > 0 && L_var1 < 0 && L_var2 > 0) {
        Overflow = 1;
        carry_int = 1;
    } else if (test > 0 && (L_var1 ^ L_var2) > 0) {
        Overflow = 0;
        carry_int = 1;
    }
    if (test == MIN_32) Overflow = 1;
    Carry = carry_int;
    return out;
}

BASOP_FN Word32 L_macNs(Word32 L_var3, Word16 var1, Word16 var2) {
    return L_add_c(L_var3, L_mult(var1, var2));
}

BASOP_FN Word32 L_msuNs(Word32 L_var3, Word16 var1, Word16 var2) {
    return L_sub_c(L_var3, L_mult(var1, var2));
}

BASOP_FN Word32 L_negate(Word32 L_var1) { return L_var1 == MIN_32 ? MAX_32 : -L_var1; }

// (var1 * var2 + 2^14) >> 15; only -32768 * -32768 saturates.
BASOP_FN Word16 mult_r(Word16 var1, Word16 var2) {
    return saturate((static_cast<Word32>(var1) * var2 + 0x4000) >> 15);
}

// Left shift with saturation; a negative count shifts right by up to 32.
BASOP_FN Word32 L_shl(Word32 L_var1, Word16 var2) {
    if (var2 <= 0) return L_shr(L_var1, static_cast<Word16>(var2 < -32 ? 32 : -var2));
    if (var2 > 31) {
        if (L_var1 == 0) return 0;
        Overflow = 1;
        return L_var1 > 0 ? MAX_32 : MIN_32;
    }
    if (L_var1 > (MAX_32 >> var2)) {
        Overflow = 1;
        return MAX_32;
    }
    if (L_var1 < (MIN_32 >> var2)) {
        Overflow = 1;
        return MIN_32;
    }
    return static_cast<Word32>(static_cast<UWord32>(L_var1) << var2);
}

// Arithmetic right shift; a negative count shifts left by up to 32 with saturation.
BASOP_FN Word32 L_shr(Word32 L_var1, Word16 var2) {
    if (var2 < 0) return L_shl(L_var1, static_cast<Word16>(var2 < -32 ? 32 : -var2));
    if (var2 >= 31) return L_var1 < 0 ? -1 : 0;
    return L_var1 >> var2;
}

BASOP_FN Word16 shr_r(Word16 var1, Word16 var2) {
    if (var2 > 15) return 0;
    Word16 out = shr(var1, var2);
    if (var2 > 0 && (var1 & (1 << (var2 - 1))) != 0) out = static_cast<Word16>(out + 1);
    return out;
}

BASOP_FN Word16 mac_r(Word32 L_var3, Word16 var1, Word16 var2) {
    return extract_h(L_add(L_mac(L_var3, var1, var2), 0x8000));
}

BASOP_FN Word16 msu_r(Word32 L_var3, Word16 var1, Word16 var2) {
    return extract_h(L_add(L_msu(L_var3, var1, var2), 0x8000));
}

BASOP_FN Word32 L_deposit_h(Word16 var1) { return static_cast<Word32>(var1) * 65536; }

BASOP_FN Word32 L_deposit_l(Word16 var1) { return var1; }

BASOP_FN Word32 L_shr_r(Word32 L_var1, Word16 var2) {
    if (var2 > 31) return 0;
    Word32 out = L_shr(L_var1, var2);
    if (var2 > 0 && (L_var1 & (static_cast<Word32>(1) << (var2 - 1))) != 0) out++;
    return out;
}

BASOP_FN Word32 L_abs(Word32 L_var1) {
    if (L_var1 == MIN_32) return MAX_32;
    return L_var1 < 0 ? -L_var1 : L_var1;
}

BASOP_FN Word32 L_sat(Word32 L_var1) {
    if (!Overflow) return L_var1;
    const Word32 out = Carry ? MIN_32 : MAX_32;
    Carry = 0;
    Overflow = 0;
    return out;
}

// Left shifts that bring var1 into [16384, 32767] or [-32768, -16384]; 0 for 0.
BASOP_FN Word16 norm_s(Word16 var1) {
    if (var1 == 0) return 0;
    if (var1 == -1) return 15;
    const unsigned v = static_cast<unsigned>(var1 < 0 ? ~var1 : var1);
    return static_cast<Word16>(__builtin_clz(v) - 17);
}

BASOP_FN Word16 div_s(Word16 var1, Word16 var2) {
    if (var1 > var2 || var1 < 0 || var2 <= 0) basop_detail::div_s_error(var1, var2);
    if (var1 == 0) return 0;
    if (var1 == var2) return MAX_16;
    // The original's 15-step restoring division yields exactly this quotient.
    return static_cast<Word16>((static_cast<Word32>(var1) << 15) / var2);
}

// Left shifts that bring L_var1 into [2^30, 2^31) or [-2^31, -2^30]; 0 for 0.
BASOP_FN Word16 norm_l(Word32 L_var1) {
    if (L_var1 == 0) return 0;
    if (L_var1 == -1) return 31;
    const UWord32 v = static_cast<UWord32>(L_var1 < 0 ? ~L_var1 : L_var1);
    return static_cast<Word16>(__builtin_clz(v) - 1);
}

// Lv * v / 2^15, the low half of Lv taken as unsigned.
BASOP_FN Word32 L_mls(Word32 Lv, Word16 v) {
    Word32 temp = (Lv & 0xffff) * v;  // |temp| < 2^31
    temp = L_shr(temp, 15);
    return L_mac(temp, v, extract_h(Lv));
}

BASOP_FN Word16 div_l(Word32 L_num, Word16 den) {
    if (den <= 0 || L_num < 0) basop_detail::div_l_error(L_num, den);
    Word32 L_den = L_deposit_h(den);
    if (L_num >= L_den) return MAX_16;
    L_num = L_shr(L_num, 1);
    L_den = L_shr(L_den, 1);
    Word16 var_out = 0;
    for (int iteration = 0; iteration < 15; iteration++) {
        var_out = shl(var_out, 1);
        L_num = L_shl(L_num, 1);
        if (L_num >= L_den) {
            L_num = L_sub(L_num, L_den);
            var_out = add(var_out, 1);
        }
    }
    return var_out;
}

BASOP_FN Word16 i_mult(Word16 a, Word16 b) { return saturate(static_cast<Word32>(a) * b); }

BASOP_FN Word32 L_mult0(Word16 var1, Word16 var2) { return static_cast<Word32>(var1) * var2; }

BASOP_FN Word32 L_mac0(Word32 L_var3, Word16 var1, Word16 var2) { return L_add(L_var3, L_mult0(var1, var2)); }

BASOP_FN Word32 L_msu0(Word32 L_var3, Word16 var1, Word16 var2) { return L_sub(L_var3, L_mult0(var1, var2)); }
