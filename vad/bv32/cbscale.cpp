// scale_codebook: the excitation codebook scaled by a subframe's gain.
#include "vad/bv32/kernels.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace kernels {

// mult_r saturates only for -32768 * -32768; any other gain gives the rounded
// product exactly, so Fast computes it on plain integers.
template <bool Fast>
void scale_codebook(Word16 gainq, Word16* cbs) {
    if (Fast && gainq != MIN_16) {
        for (int i = 0; i < VDIM * CBSZ; i++) cbs[i] = static_cast<Word16>((gainq * cccb[i] + 0x4000) >> 15);
        return;
    }
    for (int i = 0; i < VDIM * CBSZ; i++) cbs[i] = mult_r(gainq, cccb[i]);
}

template void scale_codebook<true>(Word16, Word16*);
template void scale_codebook<false>(Word16, Word16*);

}  // namespace kernels

void scale_codebook(Word16 gainq, Word16* cbs) { kernels::scale_codebook<kFastPaths>(gainq, cbs); }

}  // namespace bv32
