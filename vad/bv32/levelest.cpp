// estlevel: input level estimation from the quantised log-gains. lmax and lmin
// follow peaks and decay towards lmean; log-gains above a threshold between lmean
// and lmax feed a two-stage running average, the level.
#include "vad/bv32/stages.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

namespace {
// v * f with v (32-bit) split in double precision and f in Q15.
Word32 scale(Word32 v, Word16 f) {
    Word16 hi, lo;
    L_Extract(v, &hi, &lo);
    return Mpy_32_16(hi, lo, f);
}
}  // namespace

Word32 estlevel(Word32 lg, Word32* level, Word32* lmax, Word32* lmin, Word32* lmean, Word32* x1) {
    // lmax = lg when larger, else lmean + alpha (lmax - lmean); lmin likewise.
    if (lg > *lmax) {
        *lmax = lg;
    } else {
        *lmax = L_add(scale(L_sub(*lmax, *lmean), estl_alpha), *lmean);
    }
    if (lg < *lmin) {
        *lmin = lg;
    } else {
        *lmin = L_add(scale(L_sub(*lmin, *lmean), estl_alpha), *lmean);
    }

    // lmean = beta lmean + (1 - beta) (lmax + lmin) / 2
    const Word32 mid = scale(L_shr(L_add(*lmax, *lmin), 1), estl_beta1);
    *lmean = L_add(mid, scale(*lmean, estl_beta));

    // Threshold lmean + TH (lmax - lmean); above it update x1 and level.
    const Word32 lth = L_add(*lmean, scale(L_sub(*lmax, *lmean), estl_TH));
    if (lg > lth) {
        *x1 = L_add(scale(*x1, estl_a), scale(lg, estl_a1));
        *level = L_add(scale(*level, estl_a), scale(*x1, estl_a1));
    }
    return lth;
}

}  // namespace bv32
