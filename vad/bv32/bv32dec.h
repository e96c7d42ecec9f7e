// BV32 decoder: the frame decoder with its packet-loss concealment, the decoder
// state allocators, and the decoding pieces it is built from (gain decoding and
// concealment, excitation decoding with pitch synthesis, codebook lookups).
// Frames are unpacked with BV32_BitUnPack (bv32.h) or read from G.192 files (g192.h).
#ifndef VAD_BV32_BV32DEC_H
#define VAD_BV32_BV32DEC_H

#include "vad/bv32/bv32strct.h"
#include "vad/bvcommon/typedef.h"

// Puts a decoder state into its initial condition. Call once before the first
// frame and whenever the stream restarts.
void Reset_BV32_Decoder(BV32_Decoder_State* ds);

// Decodes the 27 indices of bs (read only; out-of-range fields are masked to their
// widths) into 80 samples at out (16 kHz, Q0) and updates ds.
void BV32_Decode(BV32_Bit_Stream* bs, BV32_Decoder_State* ds, Word16* out);

// Conceals one lost frame: writes 80 samples at out from the state's last good
// parameters (pitch taps and period, LPC filter, gain), excited by scrambled noise,
// fading out over long losses, and updates ds so decoding resumes smoothly.
void BV32_PLC(BV32_Decoder_State* ds, Word16* out);

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
