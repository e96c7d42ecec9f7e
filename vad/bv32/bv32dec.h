// Decoder-side pieces of the BV32 codec for offline tools and tests: the decoder
// state allocators, gain decoding and concealment, excitation decoding with pitch
// synthesis, and the codebook lookups. No decoder is assembled from them here.
#ifndef VAD_BV32_BV32DEC_H
#define VAD_BV32_BV32DEC_H

#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"

// Index-range allocators of decoder states (see allocEncoderState).
BV32_Decoder_State* allocDecoderState(long nl, long nh);
void deallocDecoderState(BV32_Decoder_State* p, long nl, long nh);

// Copies row idx (vdim values) of the codebook cb to xq.
void vqdec(Word16* xq, Word16 idx, const Word16* cb, Word16 vdim);

// Copies the three taps (Q15 halves of Q14 values) of pitch codebook entry idx (0..31).
void pp3dec(Word16 idx, Word16* b);

// Decodes log-gain index gidx (0..31) into *lgq (Q25) and returns the linear gain
// (Q18). Uses the 16-tap predictor memory lgpm, the previous log-gains prevlg and
// the level; while lctimer is 0 an increase beyond the limit table repeats the
// previous log-gain and counts in *nclglim (at most 50). Updates lgpm and prevlg.
Word32 gaindec(Word32* lgq, Word16 gidx, Word16* lgpm, Word32* prevlg, Word32 level, Word16* nclglim,
               Word16 lctimer);

// Concealment update of the log-gain memories from the excitation energy E of a
// subframe: lgeqm (predictor memory, Q11) and lgqm (last two log-gains, Q25).
void gainplc(Word32 E, Word16* lgeqm, Word32* lgqm);

// Decodes one subframe of excitation from the sign-shape indices idx (10 values,
// bit 5 = sign) with the gain-scaled codebook cb (normalised by 2^new_exp) and adds
// the three-tap pitch prediction (taps b, period pp, 10..265) from ltsym. qv gets
// the excitation (Q16), ltsym[0..39] the same in Q1 (ltsym must hold pp+1 samples
// of history before it) and *EE the energy of the codebook part.
void excdec_w_LT_synth(Word32* qv, Word16* ltsym, const Word16* idx, const Word16* b, const Word16* cb,
                       Word16 pp, Word16 new_exp, Word32* EE);

#endif  // VAD_BV32_BV32DEC_H
