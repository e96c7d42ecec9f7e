// vqmse, vqwmse and vqwmse_stbl: the codebook searches of the LSP quantiser.
#include "vad/bv32/stages.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {

// Weighted squared error between x (Q18) and a codevector cv (Q19).
Word32 weighted_error(const Word16* x, const Word16* w, const Word16* cv, Word16 vdim) {
    Word32 d = 0;
    for (int k = 0; k < vdim; k++) {
        const Word16 t = sub(x[k], shr(cv[k], 1));
        const Word16 s = extract_h(L_mult0(w[k], t));
        d = L_mac0(d, s, t);
    }
    return d;
}

}  // namespace

// *idx starts at row 0: when every distance saturates, no row is strictly better
// than MAX_32 and the index must still be a valid row.
void vqmse(Word16* xq, Word16* idx, const Word16* x, const Word16* cb, Word16 vdim, Word16 cbsz) {
    Word32 dmin = MAX_32;
    *idx = 0;
    for (int j = 0; j < cbsz; j++) {
        const Word16* cv = &cb[j * vdim];
        Word32 d = 0;
        for (int k = 0; k < vdim; k++) {
            const Word16 e = sub(x[k], cv[k]);
            d = L_mac0(d, e, e);
        }
        if (L_sub(d, dmin) < 0) {
            dmin = d;
            *idx = static_cast<Word16>(j);
        }
    }
    for (int k = 0; k < vdim; k++) xq[k] = cb[*idx * vdim + k];
}

void vqwmse(Word16* xq, Word16* idx, const Word16* x, const Word16* w, const Word16* cb, Word16 vdim,
            Word16 cbsz) {
    Word32 dmin = MAX_32;
    *idx = 0;
    for (int j = 0; j < cbsz; j++) {
        const Word32 d = weighted_error(x, w, &cb[j * vdim], vdim);
        if (d < dmin) {
            dmin = d;
            *idx = static_cast<Word16>(j);
        }
    }
    for (int k = 0; k < vdim; k++) xq[k] = shr(cb[*idx * vdim + k], 1);
}

void vqwmse_stbl(Word16* xq, Word16* idx, const Word16* x, const Word16* w, const Word16* xa,
                 const Word16* cb, Word16 vdim, Word16 cbsz) {
    Word32 dmin = MAX_32;
    *idx = -1;
    for (int j = 0; j < cbsz; j++) {
        const Word16* cv = &cb[j * vdim];
        Word16 xqc[LPCO];  // reconstructed LSPs, Q15
        for (int k = 0; k < vdim; k++) xqc[k] = add(xa[k], shr(cv[k], 4));
        const Word32 d = weighted_error(x, w, cv, vdim);
        if (stblchck(xqc, vdim) && d < dmin) {
            dmin = d;
            *idx = static_cast<Word16>(j);
        }
    }
    if (*idx == -1) *idx = 1;
    for (int k = 0; k < vdim; k++) xq[k] = shr(cb[*idx * vdim + k], 1);
}

}  // namespace bv32
