// vqmse, vqwmse and vqwmse_stbl: the codebook searches of the LSP quantiser.
#include <algorithm>

#include "vad/bv32/kernels.h"
#include "vad/bv32/stages.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/fastpath.h"
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

namespace kernels {

// Row 0 is the answer when every distance saturates: no row is then strictly
// better than MAX_32, and the index must still be a valid row.
template <>
Word16 vqmse_search<false>(const Word16* x, const Word16* cb, Word16 vdim, Word16 cbsz) {
    Word32 dmin = MAX_32;
    Word16 idx = 0;
    for (int j = 0; j < cbsz; j++) {
        const Word16* cv = &cb[j * vdim];
        Word32 d = 0;
        for (int k = 0; k < vdim; k++) {
            const Word16 e = sub(x[k], cv[k]);
            d = L_mac0(d, e, e);
        }
        if (L_sub(d, dmin) < 0) {
            dmin = d;
            idx = static_cast<Word16>(j);
        }
    }
    return idx;
}

// When |x| + |cb| stay small enough, no difference saturates and every distance
// fits in 32 bits. Otherwise the squared error still only grows along the sum, so
// its saturation at MAX_32 can be applied at the end: it changes no comparison
// against dmin <= MAX_32 and only sets Overflow.
template <>
Word16 vqmse_search<true>(const Word16* x, const Word16* cb, Word16 vdim, Word16 cbsz) {
    const int64_t bound = peak_abs(x, vdim) + peak_abs(cb, vdim * cbsz);
    Word16 idx = 0;
    if (bound * bound * vdim <= kMax32) {
        Word32 dmin = MAX_32;
        for (int j = 0; j < cbsz; j++) {
            const Word32 d = sqdist32(x, &cb[j * vdim], vdim);
            if (d < dmin) {
                dmin = d;
                idx = static_cast<Word16>(j);
            }
        }
        return idx;
    }

    int64_t dmin = kMax32;
    int64_t dmax = 0;
    bool clipped = false;
    for (int j = 0; j < cbsz; j++) {
        const Word16* cv = &cb[j * vdim];
        int64_t d = 0;
        for (int k = 0; k < vdim; k++) {
            const int diff = x[k] - cv[k];
            const int e = clamp16(diff);
            clipped |= e != diff;
            d += e * e;
        }
        if (d < dmin) {
            dmin = d;
            idx = static_cast<Word16>(j);
        }
        dmax = std::max(dmax, d);
    }
    if (clipped || dmax > kMax32) Overflow = 1;
    return idx;
}

}  // namespace kernels

void vqmse(Word16* xq, Word16* idx, const Word16* x, const Word16* cb, Word16 vdim, Word16 cbsz) {
    *idx = kernels::vqmse_search<kFastPaths>(x, cb, vdim, cbsz);
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
