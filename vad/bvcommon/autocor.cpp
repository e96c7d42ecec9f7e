// Autocorr: windowed autocorrelation with block normalisation.
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
constexpr int kMaxWindow = 160;
}

void Autocorr(Word32 r[], const Word16 x[], const Word16 window[], Word16 l_window, Word16 m) {
    Word16 buf[kMaxWindow];
    for (int n = 0; n < l_window; n++) buf[n] = mult_r(x[n], window[n]);

    // Energy of the signal scaled by 2^-4 (160 squares of 12-bit values cannot
    // overflow) gives the shift that keeps the full-scale sum in range.
    Word32 a0 = 1;
    for (int n = 0; n < l_window; n++) {
        const Word16 y = shr(buf[n], 4);
        a0 = L_mac0(a0, y, y);
    }
    Word16 shift = sub(4, shr(norm_l(a0), 1));
    if (shift < 0) shift = 0;

    a0 = 1;
    for (int n = 0; n < l_window; n++) {
        buf[n] = shr(buf[n], shift);
        a0 = L_mac0(a0, buf[n], buf[n]);
    }
    shift = norm_l(a0);
    r[0] = L_shl(a0, shift);

    for (int j = 1; j <= m; j++) {
        a0 = 0;
        for (int n = 0; n < l_window - j; n++) a0 = L_mac0(a0, buf[n], buf[n + j]);
        r[j] = L_shl(a0, shift);
    }
}

}  // namespace bv32
