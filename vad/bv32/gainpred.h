// Log-gain prediction, the row of the gain-change limit and the log-to-linear
// gain conversion, shared by the gain quantiser and the gain decoder.
#ifndef VAD_BV32_GAINPRED_H
#define VAD_BV32_GAINPRED_H

#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/mathutil.h"
#include "vad/bvcommon/typedef.h"
#include "vad/itug191lib/basop32.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

// Log-gain (Q25) predicted from the memory of quantised prediction errors.
inline Word32 predicted_log_gain(const Word16* lgpm) {
    Word32 elg = L_shr(L_deposit_h(lgmean), 1);  // Q26
    for (int i = 0; i < LGPORDER; i++) elg = L_mac0(elg, lgp[i], lgpm[i]);
    return L_shr(elg, 1);
}

// Row of lgclimit for the previous log-gains and the level (column * NGCB + row).
inline int limit_cell(const Word32* prevlg, Word32 level) {
    int i = shr(sub(shr(extract_h(L_sub(prevlg[0], level)), 9), LGLB), 1);
    if (i >= NGB) {
        i = NGB - 1;
    } else if (i < 0) {
        i = 0;
    }
    int n = shr(sub(shr(extract_h(L_sub(prevlg[0], prevlg[1])), 9), LGCLB), 1);
    if (n >= NGCB) {
        n = NGCB - 1;
    } else if (n < 0) {
        n = 0;
    }
    return i * NGCB + n;
}

// Quantised log-gain lgq (Q25) to linear gain (Q18): 2^(lgq/2).
inline Word32 linear_gain(Word32 lgq) {
    Word16 lg_exp, lg_frac;
    L_Extract(L_shr(lgq, 10), &lg_exp, &lg_frac);  // Q16 of lgq/2
    return Pow2(add(lg_exp, 18), lg_frac);
}

}  // namespace bv32

#endif  // VAD_BV32_GAINPRED_H
