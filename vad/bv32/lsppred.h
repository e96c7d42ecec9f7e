// LSP moving-average prediction and its memory, shared by the LSP quantiser, the
// LSP decoder and the concealment's memory update.
#ifndef VAD_BV32_LSPPRED_H
#define VAD_BV32_LSPPRED_H

#include "vad/bv32/bv32cnst.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/typedef.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

// MA-predicted mean-removed LSPs elsp (Q15) from the memory lsppm (Q15, LSPPORDER
// past errors per component, newest first) and the taps lspp (Q14).
inline void predicted_lsp(Word16* elsp, const Word16* lsppm) {
    for (int i = 0; i < LPCO; i++) {
        Word32 a0 = 0;
        for (int k = 0; k < LSPPORDER; k++) a0 = L_mac(a0, lspp[i * LSPPORDER + k], lsppm[i * LSPPORDER + k]);
        elsp[i] = round30To16(L_shl(a0, 1));
    }
}

// Quantised prediction error (Q15) of one component from the first stage (Q16) and
// the second stage (Q18): (8 * eq1 + 2 * eq2) / 16, truncated to 16 bits.
inline Word16 quantised_lsp_error(Word16 eq1, Word16 eq2) {
    return static_cast<Word16>(L_shr(L_add(L_shl(L_deposit_l(eq1), 3), L_shl(L_deposit_l(eq2), 1)), 4));
}

// Shifts every component's memory by one and stores the newest errors lspe (Q15).
inline void update_lsp_memory(Word16* lsppm, const Word16* lspe) {
    for (int i = LPCO - 1; i >= 0; i--) {
        Word16* row = &lsppm[i * LSPPORDER];
        for (int k = LSPPORDER - 1; k > 0; k--) row[k] = row[k - 1];
        row[0] = lspe[i];
    }
}

}  // namespace bv32

#endif  // VAD_BV32_LSPPRED_H
