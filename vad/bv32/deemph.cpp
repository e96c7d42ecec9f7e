// deemphasis: the decoder's de-emphasis filter (pole at -0.5, zero at -0.75, the
// inverse of the encoder's pre-emphasis) and the return from the block exponent.
#include "vad/bv32/decstages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

void deemphasis(BV32_Decoder_State* ds, const Word16* xq, Word16* out, Word16 new_exp) {
    // y: the zero section's memory, then the pole section's output.
    Word16 y[PFO + FRSZ];
    W16copy(y, ds->dezfm, PFO);
    apfilter(b_pre, PFO, xq, y + PFO, FRSZ, ds->depfm, 1);
    W16copy(ds->dezfm, y + FRSZ, PFO);
    azfilter(a_pre, PFO, y + PFO, out, FRSZ);
    for (int i = 0; i < FRSZ; i++) out[i] = round30To16(L_shr(L_deposit_h(out[i]), new_exp));
}

}  // namespace bv32
