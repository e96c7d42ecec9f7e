// residual_energy: energy of the three-tap pitch prediction residual of a subframe.
#include "vad/bv32/stages.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

Word32 residual_energy(const Word16* x, Word16 pp, const Word16* b) {
    const Word16* xt = x + XOFF;
    const Word16* past = x + XOFF - pp + 1;  // x[n - pp + 1] for the first subframe sample
    Word32 energy = 0;
    for (int i = 0; i < SFSZ; i++) {
        Word32 t = L_mult(xt[i], 16384);
        t = L_msu0(t, b[0], past[i]);
        t = L_msu0(t, b[1], past[i - 1]);
        t = L_msu0(t, b[2], past[i - 2]);
        const Word16 e = round30To16(t);  // Q1 residual
        energy = L_mac(energy, e, e);
    }
    return energy;
}

}  // namespace bv32
