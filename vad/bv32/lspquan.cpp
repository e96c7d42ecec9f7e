// lspquan: LSP quantisation with 8th-order moving-average prediction and a
// two-stage VQ (128-entry first stage, 3 + 5 split second stage).
#include "vad/bv32/lsppred.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

void lspquan(Word16* lspq, Word16* lspidx, const Word16* lsp, Word16* lsppm) {
    // Weights of the weighted squared error: the smallest LSP spacing over the
    // spacing around each LSP (Q15).
    Word16 d[LPCO - 1], w[LPCO];
    Word16 min_d = MAX_16;
    for (int i = 0; i < LPCO - 1; i++) {
        d[i] = sub(lsp[i + 1], lsp[i]);
        if (d[i] < min_d) min_d = d[i];
    }
    w[0] = div_s(min_d, d[0]);
    for (int i = 1; i < LPCO - 1; i++) w[i] = div_s(min_d, d[i] < d[i - 1] ? d[i] : d[i - 1]);
    w[LPCO - 1] = div_s(min_d, d[LPCO - 2]);

    // MA prediction (lspp Q14, memory Q15).
    Word16 elsp[LPCO];  // Q15
    predicted_lsp(elsp, lsppm);

    // Prediction error of the mean-removed LSPs, Q16.
    Word16 lspe[LPCO];
    for (int i = 0; i < LPCO; i++) lspe[i] = shl(sub(sub(lsp[i], lspmean[i]), elsp[i]), 1);

    // First stage, then its error in Q18.
    Word16 lspeq1[LPCO], lspeq2[LPCO];
    vqmse(lspeq1, &lspidx[0], lspe, lspecb1, LPCO, LSPECBSZ1);
    for (int i = 0; i < LPCO; i++) lspe[i] = shl(sub(lspe[i], lspeq1[i]), 2);

    // Second stage: the first split keeps the reconstructed LSPs ordered.
    Word16 lspa[SVD1];
    for (int i = 0; i < SVD1; i++) lspa[i] = add(add(shr(lspeq1[i], 1), elsp[i]), lspmean[i]);  // Q15
    vqwmse_stbl(lspeq2, &lspidx[1], lspe, w, lspa, lspecb21, SVD1, LSPECBSZ21);
    vqwmse(lspeq2 + SVD1, &lspidx[2], lspe + SVD1, w + SVD1, lspecb22, SVD2, LSPECBSZ22);

    // Quantised prediction error in Q15; the predictor memory takes it.
    for (int i = 0; i < LPCO; i++) lspe[i] = quantised_lsp_error(lspeq1[i], lspeq2[i]);
    update_lsp_memory(lsppm, lspe);

    for (int i = 0; i < LPCO; i++) lspq[i] = add(add(lspe[i], elsp[i]), lspmean[i]);
    stblz_lsp(lspq, LPCO);
}

}  // namespace bv32
