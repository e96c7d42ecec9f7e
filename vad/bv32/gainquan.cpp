// gainquan: log-gain quantisation with 16th-order moving-average prediction and a
// limit on the gain increase that depends on the previous log-gains and the level.
#include "vad/bv32/gainpred.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/mathutil.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

namespace {}  // namespace

Word16 gainquan(Word32* gainq, Word32 ee, Word16* lgpm, Word32* prevlg, Word32 level) {
    // Log-gain of the mean energy per sample: log2(ee / 40), Q25.
    Word32 lg;
    if (ee < TMinE) {
        lg = MinE;
    } else {
        Word16 lg_exp, lg_frac;
        L_Extract(ee, &lg_exp, &lg_frac);       // Q1 read as Q4: divided by 8
        ee = Mpy_32_16(lg_exp, lg_frac, 6554);  // times 0.2
        Log2(ee, &lg_exp, &lg_frac);
        lg_exp = sub(lg_exp, 4);
        lg = L_add(L_shl(L_deposit_h(lg_exp), 9), L_shr(L_deposit_h(lg_frac), 6));
    }

    const Word32 elg = predicted_log_gain(lgpm);
    const Word16 lgpe = round30To16(L_shl(L_sub(lg, elg), 2));  // Q11 prediction error

    // Nearest codeword, scanning the codebook in ascending order.
    Word16 dmin = MAX_16;
    int gidx = 0;
    for (int i = 0; i < LGPECBSZ; i++) {
        const Word16 d = abs_s(sub(lgpe, lgpecb[idxord[i]]));
        if (d < dmin) {
            dmin = d;
            gidx = i;
        }
    }
    Word32 lgq = L_add(L_shr(L_deposit_h(lgpecb[idxord[gidx]]), 2), elg);  // Q25

    // Step down while the increase over the previous log-gain exceeds the limit.
    const Word32 limit = L_add(prevlg[0], L_deposit_h(lgclimit[limit_cell(prevlg, level)]));
    while (lgq > limit && gidx > 0) {
        gidx--;
        lgq = L_add(L_shr(L_deposit_h(lgpecb[idxord[gidx]]), 2), elg);
    }
    const Word16 index = idxord[gidx];

    prevlg[1] = prevlg[0];
    prevlg[0] = lgq;
    for (int i = LGPORDER - 1; i > 0; i--) lgpm[i] = lgpm[i - 1];
    lgpm[0] = lgpecb[index];

    *gainq = linear_gain(lgq);
    return index;
}

}  // namespace bv32
