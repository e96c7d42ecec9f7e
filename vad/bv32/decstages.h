// Stages of the BV32 decoder and its packet-loss concealment. Buffers follow the
// decoder's layout: LTMOFF samples of excitation history before the current frame.
#ifndef VAD_BV32_DECSTAGES_H
#define VAD_BV32_DECSTAGES_H

#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"

namespace bv32 {

// LSP decoding: lspq (Q15) from the three indices (masked to their widths) through
// the MA predictor (memory lsppm, updated). When the first SVD1 decoded LSPs are
// not ordered upwards from 0 (a corrupted frame), the previous frame's lspq_last
// is used and the predictor memory takes the error that reproduces it. The result
// is sorted and spaced for a stable synthesis filter.
void lspdec(Word16* lspq, const Word16* lspidx, Word16* lsppm, const Word16* lspq_last);

// Concealment update of the LSP predictor memory lsppm so that it predicts the
// repeated LSPs lspq (Q15) of a lost frame.
void lspplc(const Word16* lspq, Word16* lsppm);

// Block exponent (0..15) of the frame's short-term synthesis: the frame's
// excitation ltsym (FRSZ samples, Q1) is synthesised once through a (Q12) from the
// state's memory to find its peak, leaving one bit of headroom; the exponent is
// lowered until the state's synthesis and de-emphasis memories can be rescaled
// from prv_exp to it without saturating, and they are rescaled.
Word16 rescale_synthesis_memory(BV32_Decoder_State* ds, const Word16* a, const Word16* ltsym);

// De-emphasis of the frame xq (FRSZ samples, scaled by 2^new_exp) with the memories
// depfm and dezfm, then back to Q0 into out.
void deemphasis(BV32_Decoder_State* ds, const Word16* xq, Word16* out, Word16 new_exp);

}  // namespace bv32

#endif  // VAD_BV32_DECSTAGES_H
