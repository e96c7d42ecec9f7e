// Stages of the BV32 encoder signal chain. Buffers follow the encoder's layout:
// signal histories of MAXPP1 (= XOFF) samples followed by the current frame.
#ifndef VAD_BV32_STAGES_H
#define VAD_BV32_STAGES_H

#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"

namespace bv32 {

// High-pass and pre-emphasis filter of n input samples (Q0) into output (Q0).
void preprocess(BV32_Encoder_State* cs, Word16* output, const Word16* input, Word16 n);

// LSP quantisation: lspq (Q15) and lspidx[0..2] from lsp (Q15); updates lsppm.
void lspquan(Word16* lspq, Word16* lspidx, const Word16* lsp, Word16* lsppm);

// The vector searches of lspquan. Each writes the chosen codevector to xq and its
// row to *idx. vqmse: squared error; vqwmse: weighted squared error; vqwmse_stbl:
// weighted squared error over the codevectors whose first-stage reconstruction
// xa + cb/16 is ordered (row 1 when there is none).
void vqmse(Word16* xq, Word16* idx, const Word16* x, const Word16* cb, Word16 vdim, Word16 cbsz);
void vqwmse(Word16* xq, Word16* idx, const Word16* x, const Word16* w, const Word16* cb, Word16 vdim,
            Word16 cbsz);
void vqwmse_stbl(Word16* xq, Word16* idx, const Word16* x, const Word16* w, const Word16* xa,
                 const Word16* cb, Word16 vdim, Word16 cbsz);

// Coarse pitch period (16 kHz samples) of the weighted frame xw (FRSZ samples),
// searched on an 8:1 decimated signal; uses and updates xwd, xwd_exp and the
// decimation memory of cs, reads cpplast.
Word16 coarsepitch(const Word16* xw, BV32_Encoder_State* cs);

// Pitch period refined around cpp on x (LX samples, Q1 scaled by 2^-3); *ppt gets
// the optimal single-tap gain (Q9).
Word16 refinepitch(const Word16* x, Word16 cpp, Word16* ppt);

// Three-tap pitch predictor: index into pp9cb and its taps b (Q15) for period pp on
// x (LX samples, Q1).
Word16 pitchtapquan(const Word16* x, Word16 pp, Word16* b);

// Energy (Q1) of the three-tap pitch prediction residual over one subframe of
// x + XOFF (x holds XOFF history samples before the subframe).
Word32 residual_energy(const Word16* x, Word16 pp, const Word16* b);

// Log-gain quantisation of the subframe energy ee (Q1): returns the index into
// lgpecb and the quantised linear gain *gainq (Q18); updates lgpm and prevlg.
Word16 gainquan(Word32* gainq, Word32 ee, Word16* lgpm, Word32* prevlg, Word32 level);

// Level estimator update from log-gain lg (Q25); returns the level threshold.
Word32 estlevel(Word32 lg, Word32* level, Word32* lmax, Word32* lmin, Word32* lmean, Word32* x1);

// The excitation codebook cccb (Q13) scaled by the subframe gain gainq (Q2 by
// 2^gain_exp): cbs[i] = mult_r(gainq, cccb[i]), Q0 by 2^gain_exp, VDIM * CBSZ values.
void scale_codebook(Word16 gainq, Word16* cbs);

// Noise feedback vector quantisation of one subframe: d (Q1 residual, overwritten by
// the quantised excitation), h the weighting filter (Q12), b the pitch taps (Q15),
// beta the long-term weight (Q13), ltsym/ltnfm the long-term memories (MAXPP1
// history + subframe, Q1), stnfm the short-term memory, cb the gain-scaled codebook
// (Q0 by 2^gain_exp), pp the pitch period. Writes NVPSSF indices to idx.
void excquan(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
             Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp);

}  // namespace bv32

#endif  // VAD_BV32_STAGES_H
