// rescale_synthesis_memory: block exponent of the decoder's short-term synthesis.
// The synthesis runs on the excitation scaled by 2^new_exp so that quiet frames
// keep their precision; the filter memories follow the scale from frame to frame.
#include <algorithm>

#include "vad/bv32/decstages.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
// True when shr(v, shift) saturates (a left shift, for negative shift, that does
// not fit in 16 bits).
bool shift_saturates(Word16 v, Word16 shift) {
    Overflow = 0;
    static_cast<void>(shr(v, shift));
    return Overflow != 0;
}
}  // namespace

Word16 rescale_synthesis_memory(BV32_Decoder_State* ds, const Word16* a, const Word16* ltsym) {
    // Trial synthesis at Q0 from the memory brought back to Q0; the memory is kept.
    Word16 mem[LPCO];
    for (int i = 0; i < LPCO; i++) mem[i] = shr(ds->stsym[i], ds->prv_exp);
    Word16 xq[FRSZ];
    apfilterQ1_Q0(a, LPCO, ltsym, xq, FRSZ, mem, 0);

    // Peak magnitude as abs_s gives it (32768 counts as 32767), one bit of headroom.
    const Word16 peak = static_cast<Word16>(std::min(peak_abs(xq, FRSZ), 32767));
    Word16 new_exp = 15;
    if (peak != 0) new_exp = std::max<Word16>(sub(norm_s(peak), 1), 0);

    // Memory shift from the previous exponent; scale up less while any memory
    // would saturate.
    Word16 dif_exp = sub(ds->prv_exp, new_exp);
    for (;;) {
        bool saturates = false;
        for (int i = 0; i < LPCO; i++) saturates = shift_saturates(ds->stsym[i], dif_exp) || saturates;
        saturates = shift_saturates(ds->depfm[0], dif_exp) || saturates;
        saturates = shift_saturates(ds->dezfm[0], dif_exp) || saturates;
        if (!saturates) break;
        dif_exp++;
        new_exp--;
    }

    for (int i = 0; i < LPCO; i++) ds->stsym[i] = shr(ds->stsym[i], dif_exp);
    ds->depfm[0] = shr(ds->depfm[0], dif_exp);
    ds->dezfm[0] = shr(ds->dezfm[0], dif_exp);
    return new_exp;
}

}  // namespace bv32
