// excdec_w_LT_synth: excitation decoding combined with long-term (pitch) synthesis.
#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/bv32dec.h"
#include "vad/itug191lib/basop32.h"

using namespace bv32;

void excdec_w_LT_synth(Word32* qv, Word16* ltsym, const Word16* idx, const Word16* b, const Word16* cb,
                       Word16 pp, Word16 new_exp, Word32* EE) {
    Word32 E = 0;
    for (int m = 0, iv = 0; m < SFSZ; m += VDIM, iv++) {
        // Bit 5 is the sign, bits 0..4 the shape (other bits cannot select a row).
        const bool negative = (idx[iv] & CBSZ) != 0;
        const Word16* cv = &cb[(idx[iv] & (CBSZ - 1)) * VDIM];
        for (int n = m; n < m + VDIM; n++) {
            const Word16* sp = &ltsym[n - pp + 1];
            Word32 a0 = L_mult0(sp[0], b[0]);  // Q16
            a0 = L_mac0(a0, sp[-1], b[1]);
            a0 = L_mac0(a0, sp[-2], b[2]);
            Word32 a1 = L_shr(L_deposit_h(cv[n - m]), new_exp);
            if (negative) a1 = L_negate(a1);
            a0 = L_add(a0, a1);
            qv[n] = a0;
            ltsym[n] = round30To16(L_shl(a0, 1));  // Q1

            const Word16 t = round30To16(a1);  // Q0, for the concealment energy
            E = L_mac0(E, t, t);
        }
    }
    *EE = E;
}
