// Encoder and decoder states and the per-frame index record of the BV32 codec.
#ifndef VAD_BV32_BV32STRCT_H
#define VAD_BV32_BV32STRCT_H

#include "vad/bvcommon/typedef.h"

struct BV32_Encoder_State {
    Word32 prevlg[2];
    Word32 lmax;
    Word32 lmin;
    Word32 lmean;
    Word32 x1;
    Word32 level;
    Word16 x[266];
    Word16 xwd[54];
    Word16 xwd_exp;
    Word16 dq[266];
    // dfm_h and dfm_l are addressed as one 8-word decimation filter memory:
    // words 0..3 are dfm_h, words 4..7 dfm_l (see coarsepitch).
    Word16 dfm_h[4];
    Word16 dfm_l[4];
    Word16 stwpm[8];
    Word16 stnfm[8];
    Word16 ltsym[266];
    Word16 ltnfm[266];
    Word16 lsppm[64];
    Word16 old_a[9];
    Word16 lsplast[8];
    Word16 lgpm[16];
    Word16 hpfzm[2];
    Word16 hpfpm[4];
    Word16 cpplast;
};

// Decoder state of the BV32 codec: the filter and predictor memories of the frame
// decoder and what its concealment of lost frames repeats (last pitch period and
// taps, LPC filter, excitation energy, periodicity, noise generator).
struct BV32_Decoder_State {
    Word32 prevlg[2];  // last two log-gains, Q25
    Word32 lmax;       // level estimator (as in the encoder), Q25
    Word32 lmin;
    Word32 lmean;
    Word32 x1;
    Word32 level;
    Word32 lgq_last;    // mean log-gain of the last good frame, Q25
    UWord32 idum;       // concealment noise generator
    Word32 E;           // codebook excitation energy of the last subframe, Q0
    Word16 stsym[8];    // short-term synthesis memory, scaled by 2^prv_exp
    Word16 ltsym[266];  // excitation history for the pitch predictor, Q1
    Word16 lsppm[64];   // LSP predictor memory, Q15
    Word16 lgpm[16];    // log-gain predictor memory, Q11
    Word16 lsplast[8];  // LSPs of the last frame, Q15
    Word16 dezfm[1];    // de-emphasis zero memory, scaled by 2^prv_exp
    Word16 depfm[1];    // de-emphasis pole memory, scaled by 2^prv_exp
    Word16 cfecount;    // consecutive lost frames
    Word16 bq_last[3];  // pitch taps of the last good frame, Q15
    Word16 prv_exp;     // block exponent of the last frame's synthesis
    Word16 nclglim;     // consecutive gain-limiter clips
    Word16 lctimer;     // frames the gain limiter stays off
    Word16 per;         // periodicity (smoothed sum of pitch taps), Q15
    Word16 atplc[9];    // LPC filter of the last good frame, Q12
    Word16 pp_last;     // pitch period of the last good frame
};

struct BV32_Bit_Stream {
    Word16 lspidx[3];
    Word16 ppidx;
    Word16 bqidx;
    Word16 gidx[2];
    Word16 qvidx[20];
};

static_assert(sizeof(BV32_Encoder_State) == 2524, "encoder state layout");
static_assert(sizeof(BV32_Decoder_State) == 804, "decoder state layout");
static_assert(sizeof(BV32_Bit_Stream) == 54, "index record layout");

#endif  // VAD_BV32_BV32STRCT_H
