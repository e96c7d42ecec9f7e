// Autocorr: windowed autocorrelation with block normalisation.
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/bvcommon/kernels.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
constexpr int kMaxWindow = 160;
}

namespace kernels {

template <bool Fast>
void autocorr(Word32 r[], const Word16 x[], const Word16 window[], Word16 l_window, Word16 m) {
    Word16 buf[kMaxWindow];
    for (int n = 0; n < l_window; n++) buf[n] = mult_r(x[n], window[n]);

    // Energy of the signal scaled by 2^-4 (160 squares of 12-bit values cannot
    // overflow) gives the shift that keeps the full-scale sum in range.
    Word32 a0 = 1;
    for (int n = 0; n < l_window; n++) {
        const Word16 y = shr(buf[n], 4);
        a0 = Fast ? a0 + y * y : L_mac0(a0, y, y);
    }
    Word16 shift = sub(4, shr(norm_l(a0), 1));
    if (shift < 0) shift = 0;
    for (int n = 0; n < l_window; n++) buf[n] = shr(buf[n], shift);

    if (Fast) {
        // Every partial lag sum is at most the energy (Cauchy-Schwarz), so when the
        // energy fits, no operator in the loops below can saturate.
        const int64_t energy = 1 + energy64(buf, l_window);
        if (energy <= kMax32) {
            shift = norm_l(static_cast<Word32>(energy));
            r[0] = L_shl(static_cast<Word32>(energy), shift);
            for (int j = 1; j <= m; j++) r[j] = L_shl(dot32(buf, buf + j, l_window - j), shift);
            return;
        }
    }
    a0 = 1;
    for (int n = 0; n < l_window; n++) a0 = L_mac0(a0, buf[n], buf[n]);
    shift = norm_l(a0);
    r[0] = L_shl(a0, shift);
    for (int j = 1; j <= m; j++) {
        a0 = 0;
        for (int n = 0; n < l_window - j; n++) a0 = L_mac0(a0, buf[n], buf[n + j]);
        r[j] = L_shl(a0, shift);
    }
}

template void autocorr<true>(Word32[], const Word16[], const Word16[], Word16, Word16);
template void autocorr<false>(Word32[], const Word16[], const Word16[], Word16, Word16);

}  // namespace kernels

void Autocorr(Word32 r[], const Word16 x[], const Word16 window[], Word16 l_window, Word16 m) {
    kernels::autocorr<kFastPaths>(r, x, window, l_window, m);
}

}  // namespace bv32
