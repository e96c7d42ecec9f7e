// refinepitch: pitch period search at full resolution around the coarse period,
// maximising cor^2/energy of the frame against its delayed past, and the optimal
// single-tap predictor gain for the chosen period.
#include "vad/bv32/stages.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
constexpr int FS = XOFF + 1;     // one past the first sample of the frame
constexpr int FE = XOFF + FRSZ;  // one past the last sample
constexpr int DEV = 6;           // search +-DEV around the coarse period
}  // namespace

Word16 refinepitch(const Word16* x, Word16 cpp, Word16* ppt) {
    if (cpp >= MAXPP) cpp = MAXPP - 1;
    if (cpp < MINPP) cpp = MINPP;
    Word16 lb = sub(cpp, DEV);
    if (lb < MINPP) lb = MINPP;
    Word16 ub = add(cpp, DEV);
    if (ub >= MAXPP) ub = MAXPP - 1;  // MAXPP itself is never chosen

    const Word16* frame = x + FS - 1;

    // Lag lb: correlation and energy of the delayed frame.
    Word32 cor = 0, energy = 0;
    for (int j = 0; j < FE - FS + 1; j++) {
        const Word16 s = frame[j - lb];
        energy = L_mac0(energy, s, s);
        cor = L_mac0(cor, s, frame[j]);
    }
    Word16 pp = lb;
    Word32 cormax = cor;
    Word32 enermax32 = energy;
    Word16 energymax_exp = norm_l(enermax32);
    Word16 energymax = extract_h(L_shl(enermax32, energymax_exp));
    Word16 cor2max_exp = norm_l(cor);
    Word16 s = extract_h(L_shl(cor, cor2max_exp));
    cor2max_exp = shl(cor2max_exp, 1);
    Word16 cor2max = extract_h(L_mult(s, s));

    for (int i = lb + 1; i <= ub; i++) {
        cor = 0;
        for (int j = 0; j < FE - FS + 1; j++) cor = L_mac0(cor, frame[j], frame[j - i]);
        Word16 cor2_exp = norm_l(cor);
        s = extract_h(L_shl(cor, cor2_exp));
        cor2_exp = shl(cor2_exp, 1);
        const Word16 cor2 = extract_h(L_mult(s, s));

        // Slide the energy window one sample back in time.
        const Word16 in = x[FS - i - 1];
        const Word16 out = x[FE - i];
        energy = L_msu0(energy, out, out);
        energy = L_mac0(energy, in, in);
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
            cormax = cor;
            enermax32 = energy;
            cor2max = cor2;
            cor2max_exp = cor2_exp;
            energymax = ener;
            energymax_exp = ener_exp;
        }
    }

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
