// lspdec and lspplc: LSP decoding and the predictor memory update of a lost frame.
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/decstages.h"
#include "vad/bv32/lsppred.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

void lspdec(Word16* lspq, const Word16* lspidx, Word16* lsppm, const Word16* lspq_last) {
    Word16 elsp[LPCO];  // Q15
    predicted_lsp(elsp, lsppm);

    // Two-stage codebook: first stage Q16, second stage split 3 + 5, Q19 halved to
    // Q18 as in the quantiser.
    Word16 lspeq1[LPCO], lspeq2[LPCO];
    vqdec(lspeq1, static_cast<Word16>(lspidx[0] & (LSPECBSZ1 - 1)), lspecb1, LPCO);
    vqdec(lspeq2, static_cast<Word16>(lspidx[1] & (LSPECBSZ21 - 1)), lspecb21, SVD1);
    vqdec(lspeq2 + SVD1, static_cast<Word16>(lspidx[2] & (LSPECBSZ22 - 1)), lspecb22, SVD2);
    for (int i = 0; i < LPCO; i++) lspeq2[i] = shr(lspeq2[i], 1);

    Word16 lspe[LPCO];  // quantised prediction error, Q15
    for (int i = 0; i < LPCO; i++) {
        lspe[i] = quantised_lsp_error(lspeq1[i], lspeq2[i]);
        lspq[i] = add(add(lspe[i], elsp[i]), lspmean[i]);
    }

    // The encoder only sends first-split LSPs that are ordered (see vqwmse_stbl);
    // anything else is a bit error, answered with the previous LSPs.
    bool disordered = lspq[0] < 0;
    for (int i = 1; i < SVD1; i++) disordered = disordered || lspq[i] < lspq[i - 1];
    if (disordered) {
        for (int i = 0; i < LPCO; i++) {
            lspq[i] = lspq_last[i];
            lspe[i] = sub(sub(lspq[i], elsp[i]), lspmean[i]);
        }
    }

    update_lsp_memory(lsppm, lspe);
    stblz_lsp(lspq, LPCO);
}

void lspplc(const Word16* lspq, Word16* lsppm) {
    Word16 elsp[LPCO], lspe[LPCO];
    predicted_lsp(elsp, lsppm);
    for (int i = 0; i < LPCO; i++) lspe[i] = sub(sub(lspq[i], lspmean[i]), elsp[i]);
    update_lsp_memory(lsppm, lspe);
}

}  // namespace bv32
