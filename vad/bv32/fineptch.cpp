// refinepitch: pitch period search at full resolution around the coarse period,
// maximising cor^2/energy of the frame against its delayed past, and the optimal
// single-tap predictor gain for the chosen period.
#include "vad/bv32/kernels.h"
#include "vad/bv32/stages.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {

constexpr int FS = XOFF + 1;     // one past the first sample of the frame
constexpr int FE = XOFF + FRSZ;  // one past the last sample
constexpr int DEV = 6;           // search +-DEV around the coarse period

// cor^2 as a mantissa and exponent (2 * norm_l(cor)).
void square(Word32 cor, Word16* cor2, Word16* cor2_exp) {
    const Word16 e = norm_l(cor);
    const Word16 s = extract_h(L_shl(cor, e));
    *cor2_exp = shl(e, 1);
    *cor2 = extract_h(L_mult(s, s));
}

// Correlation and energy sums of the search; Fast uses plain integer sums, which
// the caller has checked cannot leave the 32-bit range.
template <bool Fast>
Word32 mac(Word32 acc, Word16 a, Word16 b) {
    return Fast ? acc + static_cast<Word32>(a) * b : L_mac0(acc, a, b);
}

template <bool Fast>
Word32 msu(Word32 acc, Word16 a, Word16 b) {
    return Fast ? acc - static_cast<Word32>(a) * b : L_msu0(acc, a, b);
}

template <bool Fast>
Word16 search(const Word16* x, Word16 lb, Word16 ub, Word32* cormax, Word32* enermax32) {
    const Word16* frame = x + FS - 1;

    Word32 cor = 0, energy = 0;
    for (int j = 0; j < FE - FS + 1; j++) {
        const Word16 s = frame[j - lb];
        energy = mac<Fast>(energy, s, s);
        cor = mac<Fast>(cor, s, frame[j]);
    }
    Word16 pp = lb;
    *cormax = cor;
    *enermax32 = energy;
    Word16 energymax_exp = norm_l(energy);
    Word16 energymax = extract_h(L_shl(energy, energymax_exp));
    Word16 cor2max, cor2max_exp;
    square(cor, &cor2max, &cor2max_exp);

    for (int i = lb + 1; i <= ub; i++) {
        if (Fast) {
            cor = dot32(frame, frame - i, FE - FS + 1);
        } else {
            cor = 0;
            for (int j = 0; j < FE - FS + 1; j++) cor = L_mac0(cor, frame[j], frame[j - i]);
        }
        Word16 cor2, cor2_exp;
        square(cor, &cor2, &cor2_exp);

        // Slide the energy window one sample back in time.
        const Word16 in = x[FS - i - 1];
        const Word16 out = x[FE - i];
        energy = msu<Fast>(energy, out, out);
        energy = mac<Fast>(energy, in, in);
        const Word16 ener_exp = norm_l(energy);
        const Word16 ener = extract_h(L_shl(energy, ener_exp));

        // cor2 / ener > cor2max / energymax, exponents aligned unless a side is 0.
        Word32 a0 = L_mult(cor2, energymax);
        Word32 a1 = L_mult(cor2max, ener);
        if (a0 != 0 && a1 != 0) {
            const Word16 e0 = add(cor2_exp, energymax_exp);
            const Word16 e1 = add(cor2max_exp, ener_exp);
            if (e0 >= e1) {
                a0 = L_shr(a0, sub(e0, e1));
            } else {
                a1 = L_shr(a1, sub(e1, e0));
            }
        }
        if (a0 > a1 && ener > 0) {
            pp = static_cast<Word16>(i);
            *cormax = cor;
            *enermax32 = energy;
            cor2max = cor2;
            cor2max_exp = cor2_exp;
            energymax = ener;
            energymax_exp = ener_exp;
        }
    }
    return pp;
}

}  // namespace

namespace kernels {

template <>
Word16 refine_search<false>(const Word16* x, Word16 lb, Word16 ub, Word32* cormax, Word32* enermax32) {
    return search<false>(x, lb, ub, cormax, enermax32);
}

// Every correlation and energy of the search is a partial sum bounded by the energy
// of x[FS-1-ub .. FE-1] (Cauchy-Schwarz); when that fits, nothing saturates.
template <>
Word16 refine_search<true>(const Word16* x, Word16 lb, Word16 ub, Word32* cormax, Word32* enermax32) {
    if (energy64(x + FS - 1 - ub, FE - FS + 1 + ub) > kMax32)
        return search<false>(x, lb, ub, cormax, enermax32);
    return search<true>(x, lb, ub, cormax, enermax32);
}

}  // namespace kernels

Word16 refinepitch(const Word16* x, Word16 cpp, Word16* ppt) {
    if (cpp >= MAXPP) cpp = MAXPP - 1;
    if (cpp < MINPP) cpp = MINPP;
    Word16 lb = sub(cpp, DEV);
    if (lb < MINPP) lb = MINPP;
    Word16 ub = add(cpp, DEV);
    if (ub >= MAXPP) ub = MAXPP - 1;  // MAXPP itself is never chosen

    Word32 cormax, enermax32;
    const Word16 pp = kernels::refine_search<kFastPaths>(x, lb, ub, &cormax, &enermax32);

    // Single-tap gain cor/energy in Q9.
    if (enermax32 == 0 || cormax <= 0) {
        *ppt = 0;
    } else {
        const Word16 cor_exp = sub(norm_l(cormax), 1);
        const Word16 en_exp = norm_l(enermax32);
        const Word16 num = extract_h(L_shl(cormax, cor_exp));
        const Word16 den = extract_h(L_shl(enermax32, en_exp));
        *ppt = shl(div_s(num, den), sub(sub(en_exp, cor_exp), 6));
    }
    return pp;
}

}  // namespace bv32
