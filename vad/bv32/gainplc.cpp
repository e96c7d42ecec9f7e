// gainplc: log-gain memory update from the excitation energy of a concealed subframe.
#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/mathutil.h"
#include "vad/itug191lib/basop32.h"

using namespace bv32;

void gainplc(Word32 E, Word16* lgeqm, Word32* lgqm) {
    // Log-gain of the mean energy per sample, Q25 (0 for a near-silent subframe).
    Word32 lg = 0;
    if (E > TMinlgXsfsz) {
        Word16 exponent, fraction;
        Log2(E, &exponent, &fraction);
        lg = L_add(L_shl(L_deposit_h(exponent), 9), L_shr(L_deposit_h(fraction), 6));
        lg = L_sub(lg, 178574274);  // log2(1/SFSZ) in Q25
    }
    const Word32 mrlg = L_sub(lg, L_shr(L_deposit_h(lgmean), 2));  // mean removed, Q25

    Word32 elg = 0;
    for (int k = 0; k < GPO; k++) elg = L_mac0(elg, lgp[k], lgeqm[k]);  // Q26
    elg = L_shr(elg, 1);

    const Word16 lge = round30To16(L_shl(L_sub(mrlg, elg), 2));  // Q11 prediction error
    for (int k = GPO - 1; k > 0; k--) lgeqm[k] = lgeqm[k - 1];
    lgeqm[0] = lge;

    lgqm[1] = lgqm[0];
    lgqm[0] = lg;
}
