// Spectral_Smoothing: lag window on the autocorrelation, in double precision.
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

void Spectral_Smoothing(Word16 m, Word32 r[], const Word16 lag_h[], const Word16 lag_l[]) {
    for (int i = 1; i <= m; i++) {
        Word16 hi, lo;
        L_Extract(r[i], &hi, &lo);
        r[i] = Mpy_32(hi, lo, lag_h[i - 1], lag_l[i - 1]);
    }
}

}  // namespace bv32
