// pitchtapquan: three-tap pitch predictor quantisation. The codebook pp9cb holds,
// per entry, the taps and the cross and square terms of the prediction error, so
// the search maximises a single inner product with the signal's correlations.
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

Word16 pitchtapquan(const Word16* x, Word16 pp, Word16* b) {
    const Word16* xt = x + XOFF;
    // base[k] = x[n - pp - 1 + k] for the first frame sample n = XOFF.
    const Word16* base = x + XOFF - pp - 1;

    // p[0..2]: correlation of the frame with its past at lags pp-1, pp, pp+1.
    Word32 p[9];
    for (int i = 0; i < 3; i++) {
        Word32 t = 1;
        for (int j = 0; j < FRSZ; j++) t = L_mac0(t, xt[j], base[2 - i + j]);
        p[i] = t;
    }

    // p[8], p[7], p[6]: energies at lags pp+1, pp, pp-1; p[4], p[3]: neighbouring
    // cross terms; p[5]: the cross term two apart.
    Word32 t0 = L_mult0(base[0], base[0]);
    Word32 t1 = L_mult0(base[0], base[1]);
    p[8] = t0;
    p[4] = t1;
    p[5] = L_mult0(base[0], base[2]);
    const Word32 t2 = L_mult0(base[1], base[1]);
    p[8] = L_add(p[8], t2);
    p[4] = L_mac0(p[4], base[1], base[2]);
    p[5] = L_mac0(p[5], base[1], base[3]);
    for (int k = 2; k < FRSZ; k++) {
        p[8] = L_mac0(p[8], base[k], base[k]);
        p[4] = L_mac0(p[4], base[k], base[k + 1]);
        p[5] = L_mac0(p[5], base[k], base[k + 2]);
    }
    p[7] = L_mac0(L_sub(p[8], t0), base[FRSZ], base[FRSZ]);
    p[3] = L_mac0(L_sub(p[4], t1), base[FRSZ], base[FRSZ + 1]);
    p[6] = L_mac0(L_sub(p[7], t2), base[FRSZ + 1], base[FRSZ + 1]);

    // Common normalisation with 2 bits of headroom.
    Word16 shift = 32;
    for (int i = 0; i < 9; i++) {
        if (p[i] != 0) {
            const Word16 e = norm_l(p[i]);
            if (e < shift) shift = e;
        }
    }
    shift = sub(shift, 2);
    Word16 sp[9];
    for (int i = 0; i < 9; i++) sp[i] = extract_h(L_shl(p[i], shift));

    Word32 cormax = MIN_32;
    Word16 qidx = 0;
    for (int i = 0; i < PPCBSZ; i++) {
        Word32 cor = 0;
        for (int j = 0; j < 9; j++) cor = L_mac(cor, pp9cb[i * 9 + j], sp[j]);
        if (cor > cormax) {
            cormax = cor;
            qidx = static_cast<Word16>(i);
        }
    }
    for (int i = 0; i < 3; i++) b[i] = pp9cb[qidx * 9 + i];  // Q14 taps read as Q15 halves
    return qidx;
}

}  // namespace bv32
