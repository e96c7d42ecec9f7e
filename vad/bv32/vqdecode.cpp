// vqdec: codebook row lookup.
#include "vad/bv32/bv32dec.h"

void vqdec(Word16* xq, Word16 idx, const Word16* cb, Word16 vdim) {
    const Word16* row = &cb[idx * vdim];
    for (int k = 0; k < vdim; k++) xq[k] = row[k];
}
