// stblz_lsp and stblchck: LSP ordering and spacing for a stable synthesis filter.
#include <utility>

#include "vad/bvcommon/bvcommon.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

void stblz_lsp(Word16* lsp, Word16 order) {
    // Neighbour swaps until the LSPs are ascending.
    bool swapped;
    do {
        swapped = false;
        for (int i = 0; i < order - 1; i++) {
            if (lsp[i] > lsp[i + 1]) {
                std::swap(lsp[i], lsp[i + 1]);
                swapped = true;
            }
        }
    } while (swapped);

    // lsp[0] in [LSPMIN, LSPMAX - (order-1) DLSPMIN]; each following one at least
    // DLSPMIN above its predecessor and leaving room for the rest.
    Word16 maxtmp = sub(LSPMAX, static_cast<Word16>((order - 1) * DLSPMIN));
    if (lsp[0] < LSPMIN) {
        lsp[0] = LSPMIN;
    } else if (lsp[0] > maxtmp) {
        lsp[0] = maxtmp;
    }
    for (int i = 0; i < order - 1; i++) {
        const Word16 mintmp = add(lsp[i], DLSPMIN);
        maxtmp = add(maxtmp, DLSPMIN);
        if (lsp[i + 1] < mintmp) {
            lsp[i + 1] = mintmp;
        } else if (lsp[i + 1] > maxtmp) {
            lsp[i + 1] = maxtmp;
        }
    }
}

Word16 stblchck(const Word16* x, Word16 vdim) {
    if (x[0] < 0) return 0;
    for (int k = 1; k < vdim; k++) {
        if (x[k] < x[k - 1]) return 0;
    }
    return 1;
}

}  // namespace bv32
