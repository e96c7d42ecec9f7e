// Field k (0..26) of an index record in frame order: lspidx[0..2], ppidx, bqidx,
// gidx[0..1], qvidx[0..19].
#ifndef VAD_BV32_FIELDS_H
#define VAD_BV32_FIELDS_H

#include "vad/bv32/bv32strct.h"

namespace bv32 {

inline Word16* bitstream_field(BV32_Bit_Stream* bs, int k) {
    if (k < 3) return &bs->lspidx[k];
    if (k == 3) return &bs->ppidx;
    if (k == 4) return &bs->bqidx;
    if (k < 7) return &bs->gidx[k - 5];
    return &bs->qvidx[k - 7];
}

}  // namespace bv32

#endif  // VAD_BV32_FIELDS_H
