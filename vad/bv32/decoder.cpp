// Reset_BV32_Decoder and BV32_Decode: the BV32 decoder frame by frame.
#include <cstring>

#include "vad/bv32/bv32dec.h"
#include "vad/bv32/decstages.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

using namespace bv32;

void Reset_BV32_Decoder(BV32_Decoder_State* ds) {
    std::memset(ds, 0, sizeof(*ds));
    W16copy(ds->lsplast, reset_lsplast, LPCO);
    ds->lgq_last = DEC_RESET_lgq_last;  // -2.0 in Q25
    ds->prevlg[0] = DEC_RESET_prevlg;
    ds->prevlg[1] = DEC_RESET_prevlg;
    ds->lmax = DEC_RESET_lmax;
    ds->lmin = DEC_RESET_lmin;
    ds->lmean = DEC_RESET_lmean;  // 8.0 in Q25
    ds->x1 = DEC_RESET_x1;        // 13.5 in Q25
    ds->level = DEC_RESET_level;
    ds->prv_exp = DEC_RESET_prv_exp;
    ds->idum = DEC_RESET_idum;
    ds->per = DEC_RESET_per;
}

namespace {

// Periodicity estimate for the concealment: half the old value plus half the sum of
// the pitch taps (Q15), the sum limited to 0..1.
Word16 update_periodicity(Word16 per, const Word16* bq) {
    Word32 bss = L_add(L_add(bq[0], bq[1]), bq[2]);
    if (bss > 32768) {
        bss = 32768;
    } else if (bss < 0) {
        bss = 0;
    }
    return add(shr(per, 1), static_cast<Word16>(L_shr(bss, 1)));
}

}  // namespace

void BV32_Decode(BV32_Bit_Stream* bs, BV32_Decoder_State* ds, Word16* out) {
    ds->cfecount = 0;  // a good frame ends any run of lost ones

    // Short-term filter from the decoded LSPs.
    Word16 lspq[LPCO];   // Q15
    Word16 a[LPCO + 1];  // Q12
    lspdec(lspq, bs->lspidx, ds->lsppm, ds->lsplast);
    lsp2a(lspq, a);
    W16copy(ds->lsplast, lspq, LPCO);

    // Pitch period (8-bit field) and taps.
    const Word16 pp = static_cast<Word16>((bs->ppidx & 0xff) + MINPP);
    Word16 bq[3];  // Q15
    pp3dec(bs->bqidx, bq);

    // Excitation with long-term synthesis, subframe by subframe: ltsym holds the
    // history (Q1) and the frame, qv32 the frame in Q16.
    Word16 ltsym[LTMOFF + FRSZ];
    W16copy(ltsym, ds->ltsym, LTMOFF);
    Word32 qv32[FRSZ];
    Word32 lgq[NSF];  // Q25
    for (int ssf = 0; ssf < NSF; ssf++) {
        const int ssfo = ssf * SFSZ;
        const Word32 gain = gaindec(&lgq[ssf], bs->gidx[ssf], ds->lgpm, ds->prevlg, ds->level, &ds->nclglim,
                                    ds->lctimer);  // Q18
        // A limiter trapped for long suspends itself while the level converges.
        if (ds->lctimer > 0) ds->lctimer = static_cast<Word16>(ds->lctimer - 1);
        if (ds->nclglim == NCLGLIM_TRAPPED) ds->lctimer = LEVEL_CONVERGENCE_TIME;

        const Word16 gain_exp = sub(norm_l(gain), 2);
        const Word16 gainq = round30To16(L_shl(gain, gain_exp));  // Q2 by 2^gain_exp

        estlevel(ds->prevlg[0], &ds->level, &ds->lmax, &ds->lmin, &ds->lmean, &ds->x1);

        Word16 cbs[VDIM * CBSZ];  // Q0 by 2^gain_exp
        scale_codebook(gainq, cbs);
        excdec_w_LT_synth(qv32 + ssfo, ltsym + LTMOFF + ssfo, bs->qvidx + ssf * NVPSSF, bq, cbs, pp, gain_exp,
                          &ds->E);
    }

    // Short-term synthesis at the frame's block exponent.
    const Word16 new_exp = rescale_synthesis_memory(ds, a, ltsym + LTMOFF);
    Word16 qv[FRSZ];
    for (int i = 0; i < FRSZ; i++) qv[i] = round30To16(L_shl(qv32[i], new_exp));
    Word16 xq[FRSZ];
    apfilter(a, LPCO, qv, xq, FRSZ, ds->stsym, 1);

    // What the concealment of a following lost frame starts from.
    ds->pp_last = pp;
    W16copy(ds->ltsym, ltsym + FRSZ, LTMOFF);
    W16copy(ds->bq_last, bq, 3);
    ds->lgq_last = L_shr(L_add(lgq[0], lgq[1]), 1);

    deemphasis(ds, xq, out, new_exp);
    ds->prv_exp = new_exp;

    W16copy(ds->atplc, a, LPCO + 1);
    ds->per = update_periodicity(ds->per, bq);
}
