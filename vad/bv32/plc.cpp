// BV32_PLC: packet-loss concealment. A lost frame repeats the last good frame's
// pitch predictor and LPC filter, excited by pseudo-random noise scaled to the last
// excitation energy (less for periodic speech); after HoldPLCG lost frames in a
// row the pitch taps and the energy fade out. The gain and LSP predictor memories
// are updated as if the concealed frame had been received.
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/decstages.h"
#include "vad/bv32/stages.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/mathutil.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"
#include "vad/itug729ilib/oper_32b.h"

using namespace bv32;

namespace {

// One subframe of noise r (Q0, about +-32767) from the linear congruential
// generator idum; returns the energy of r / 8.
Word32 noise(UWord32* idum, Word16* r) {
    Word32 E = 0;
    for (int n = 0; n < SFSZ; n++) {
        *idum = 1664525u * *idum + 1013904223u;
        r[n] = extract_l(L_sub(L_shr(static_cast<Word32>(*idum), 16), 32767));
        const Word16 t = shr(r[n], 3);
        E = L_mac0(E, t, t);
    }
    return E;
}

// Gain (mantissa, *gain_exp) that brings noise of energy E (of r / 8) to the
// excitation energy dsE of the last good subframe, times the scaling factor that
// falls with the periodicity per.
Word16 noise_gain(Word32 dsE, Word32 E, Word16 per, Word16* gain_exp) {
    Word16 scplcg = add(ScPLCG_a, mult(ScPLCG_b, per));  // Q14
    if (scplcg > ScPLCGmax) {
        scplcg = ScPLCGmax;
    } else if (scplcg < ScPLCGmin) {
        scplcg = ScPLCGmin;
    }
    scplcg = shl(scplcg, 1);  // Q15

    // sqrt(dsE / E) as a normalised ratio with an odd exponent for the root.
    const Word16 ds_exp = sub(norm_l(dsE), 1);  // numerator below the denominator
    const Word16 ds_w = extract_h(L_shl(dsE, ds_exp));
    Word16 e_exp = norm_l(E);
    const Word16 e_w = extract_h(L_shl(E, e_exp));
    e_exp = sub(e_exp, 6);
    Word16 gain = div_s(ds_w, e_w);
    Word16 exp = add(sub(ds_exp, e_exp), 15);
    if ((exp & 1) == 0) {
        gain = shr(gain, 1);
        exp = sub(exp, 1);
    }
    gain = sqrts(gain);
    exp = add(shr(sub(exp, 15), 1), 15);
    *gain_exp = sub(exp, 15 + 1);
    return mult(gain, scplcg);
}

// Combined de-emphasis of one concealed subframe in Q0 (one accumulator for the
// pole and zero sections).
void deemphasis_q0(BV32_Decoder_State* ds, const Word16* xq, Word16* out) {
    for (int n = 0; n < SFSZ; n++) {
        Word32 acc = L_shl(xq[n], 16);
        acc = L_mac(acc, -PEAZFC, ds->depfm[0]);
        ds->depfm[0] = round30To16(acc);
        acc = L_mac(acc, PEAPFC, ds->dezfm[0]);
        ds->dezfm[0] = ds->depfm[0];
        out[n] = round30To16(acc);
    }
}

}  // namespace

void BV32_PLC(BV32_Decoder_State* ds, Word16* out) {
    // Concealment runs at Q0: bring the memories back from the block exponent.
    for (int i = 0; i < LPCO; i++) ds->stsym[i] = shr(ds->stsym[i], ds->prv_exp);
    ds->depfm[0] = shr(ds->depfm[0], ds->prv_exp);
    ds->dezfm[0] = shr(ds->dezfm[0], ds->prv_exp);
    ds->prv_exp = 0;

    Word16 d[LTMOFF + FRSZ];  // excitation history and frame, Q1
    W16copy(d, ds->ltsym, LTMOFF);

    if (ds->cfecount < HoldPLCG + AttnPLCG - 1) ds->cfecount = add(ds->cfecount, 1);

    // Before any good frame the period is 0 and the taps are 0; reading the taps'
    // samples at MINPP instead keeps every read inside the history.
    const Word16 pp = ds->pp_last < MINPP ? static_cast<Word16>(MINPP) : ds->pp_last;

    for (int sf = 0; sf < FECNSF; sf++) {
        Word16 r[SFSZ];
        const Word32 E = noise(&ds->idum, r);
        Word16 gain_exp;
        const Word16 gain = noise_gain(ds->E, E, ds->per, &gain_exp);

        // Long-term synthesis of the scaled noise.
        Word16* dn = d + LTMOFF + sf * SFSZ;
        for (int n = 0; n < SFSZ; n++) {
            Word32 acc = L_shr(L_mult(gain, r[n]), gain_exp);
            acc = L_mac(acc, ds->bq_last[0], dn[n - pp + 1]);
            acc = L_mac(acc, ds->bq_last[1], dn[n - pp]);
            acc = L_mac(acc, ds->bq_last[2], dn[n - pp - 1]);
            dn[n] = round30To16(acc);
        }

        Word16 xq[SFSZ];
        apfilterQ1_Q0(ds->atplc, LPCO, dn, xq, SFSZ, ds->stsym, 1);
        deemphasis_q0(ds, xq, out + sf * SFSZ);

        gainplc(ds->E, ds->lgpm, ds->prevlg);
        estlevel(ds->prevlg[0], &ds->level, &ds->lmax, &ds->lmin, &ds->lmean, &ds->x1);
    }

    W16copy(ds->ltsym, d + FRSZ, LTMOFF);
    lspplc(ds->lsplast, ds->lsppm);

    // Fade out during long losses: taps and energy by a factor falling linearly
    // from 1 after HoldPLCG frames.
    if (ds->cfecount >= HoldPLCG) {
        Word32 acc = L_mult0(-AttnFacPLCG, sub(ds->cfecount, HoldPLCG - 1));
        acc = L_add(1L << 20, acc);
        Word16 att = round30To16(L_shl(acc, 11));  // Q15
        for (int k = 0; k < 3; k++) ds->bq_last[k] = mult(att, ds->bq_last[k]);
        att = mult(att, att);
        Word16 hi, lo;
        L_Extract(ds->E, &hi, &lo);
        ds->E = Mpy_32_16(hi, lo, att);
    }
}
