// Reset_BV32_Encoder and BV32_Encode: the BV32 encoder frame by frame.
#include <cstring>

#include "vad/bv32/bv32.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/cmtables.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

using namespace bv32;

void Reset_BV32_Encoder(BV32_Encoder_State* c) {
    std::memset(c, 0, sizeof(*c));
    W16copy(c->lsplast, reset_lsplast, LPCO);
    c->old_a[0] = ENC_RESET_old_a0;  // 1.0 in Q12
    c->xwd_exp = ENC_RESET_xwd_exp;
    c->cpplast = ENC_RESET_cpplast;
    c->prevlg[0] = ENC_RESET_prevlg;  // -2.0 in Q25
    c->prevlg[1] = ENC_RESET_prevlg;
    c->lmax = ENC_RESET_lmax;
    c->lmin = ENC_RESET_lmin;
    c->lmean = ENC_RESET_lmean;  // 8.0 in Q25
    c->x1 = ENC_RESET_x1;        // 13.5 in Q25
    c->level = ENC_RESET_level;
}

void BV32_Encode(BV32_Bit_Stream* bs, BV32_Encoder_State* cs, Word16* inx) {
    // Working buffers: the state's histories followed by the current frame.
    Word16 x[LX];                 // high-pass filtered input, Q0
    Word16 dq[LX];                // prediction residual, then quantised excitation, Q1
    Word16 ltsym[MAXPP1 + FRSZ];  // long-term synthesis filter memory, Q1
    Word16 ltnfm[MAXPP1 + FRSZ];  // long-term noise feedback filter memory, Q1
    W16copy(x, cs->x, XOFF);
    W16copy(ltnfm, cs->ltnfm, MAXPP1);
    W16copy(ltsym, cs->ltsym, MAXPP1);

    preprocess(cs, x + XOFF, inx, FRSZ);
    W16copy(cs->x, x + FRSZ, XOFF);

    // LPC analysis with the asymmetric window, bandwidth expanded.
    Word32 r[LPCO + 1];
    Word16 a[LPCO + 1];
    Autocorr(r, x + LX - WINSZ, winl, WINSZ, LPCO);
    Spectral_Smoothing(LPCO, r, sstwinl_h, sstwinl_l);
    Levinson(r, a, cs->old_a, LPCO);
    for (int i = 1; i <= LPCO; i++) a[i] = mult_r(bwel[i], a[i]);

    // LSP quantisation; the quantised LSPs give the filter actually used.
    Word16 lsp[LPCO], lspq[LPCO];
    a2lsp(a, lsp, cs->lsplast);
    W16copy(cs->lsplast, lsp, LPCO);
    lspquan(lspq, bs->lspidx, lsp, cs->lsppm);
    lsp2a(lspq, a);

    // Prediction residual, Q1.
    W16copy(dq, cs->dq, XOFF);
    azfilterQ0_Q1(a, LPCO, x + XOFF, dq + XOFF, FRSZ);

    // Perceptually weighted signal through the weighted LPC filter aw.
    Word16 aw[LPCO + 1];
    aw[0] = a[0];
    for (int i = 1; i <= LPCO; i++) aw[i] = mult_r(STWAL[i], a[i]);
    Word16 xw[FRSZ];
    for (int i = 0; i < FRSZ; i++) xw[i] = shr(dq[XOFF + i], 2);
    apfilter(aw, LPCO, xw, xw, FRSZ, cs->stwpm, 1);

    // Pitch: coarse on the weighted signal, refined on the residual, three taps.
    const Word16 cpp = coarsepitch(xw, cs);
    cs->cpplast = cpp;
    Word16 sdq[LX];
    for (int i = 0; i < LX; i++) sdq[i] = shr(dq[i], 3);
    Word16 ppt;  // Q9
    const Word16 pp = refinepitch(sdq, cpp, &ppt);
    bs->ppidx = static_cast<Word16>(pp - MINPP);
    Word16 bq[3];  // Q15
    bs->bqidx = pitchtapquan(dq, pp, bq);

    // Long-term noise feedback weight (Q13) from the single-tap gain.
    Word16 beta;
    if (ppt > 512) {
        beta = LTWFL;
    } else if (ppt <= 0) {
        beta = 0;
    } else {
        beta = extract_h(L_shl(L_mult(LTWFL, ppt), 6));
    }

    for (int ssf = 0; ssf < NSF; ssf++) {
        const int ssfo = ssf * SFSZ;
        const Word32 ee = residual_energy(dq + ssfo, pp, bq);
        Word32 gain;  // Q18
        bs->gidx[ssf] = gainquan(&gain, ee, cs->lgpm, cs->prevlg, cs->level);

        // Gain as a 16-bit mantissa with block exponent gain_exp.
        const Word16 gain_exp = sub(norm_l(gain), 2);
        const Word16 gainq = round30To16(L_shl(gain, gain_exp));

        estlevel(cs->prevlg[0], &cs->level, &cs->lmax, &cs->lmin, &cs->lmean, &cs->x1);

        Word16 cbs[VDIM * CBSZ];
        scale_codebook(gainq, cbs);
        excquan(bs->qvidx + ssf * NVPSSF, dq + XOFF + ssfo, aw, bq, beta, ltsym + ssfo, ltnfm + ssfo,
                cs->stnfm, cbs, pp, gain_exp);
    }

    W16copy(cs->dq, dq + FRSZ, XOFF);
    W16copy(cs->ltsym, ltsym + FRSZ, MAXPP1);
    W16copy(cs->ltnfm, ltnfm + FRSZ, MAXPP1);
}
