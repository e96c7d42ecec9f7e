// azfilter and azfilterQ0_Q1: all-zero (FIR) filters with Q12 coefficients.
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/bvcommon/kernels.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace kernels {

// y[n] = sum a[i] x[n-i], i = 0..m, in Q12, shifted by out_shift and rounded (x[n-i]
// for n < i lies before x[0]). With sum |a| <= 65535 no partial sum can leave the
// 32-bit range, so Fast sums plain integers then.
template <bool Fast>
void azfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 out_shift) {
    const bool plain = Fast && abs_sum(a, m + 1) <= 65535;
    for (int n = 0; n < lg; n++) {
        const Word16* xn = x + n;
        Word32 a0;
        if (plain) {
            int32_t s = 0;
            for (int i = 0; i <= m; i++) s += a[i] * xn[-i];
            a0 = s;
        } else {
            a0 = L_mult0(a[0], xn[0]);
            for (int i = 1; i <= m; i++) a0 = L_mac0(a0, a[i], xn[-i]);
        }
        y[n] = round30To16(L_shl(a0, out_shift));
    }
}

template void azfilter<true>(const Word16[], Word16, const Word16[], Word16[], Word16, Word16);
template void azfilter<false>(const Word16[], Word16, const Word16[], Word16[], Word16, Word16);

}  // namespace kernels

void azfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg) {
    kernels::azfilter<kFastPaths>(a, m, x, y, lg, 4);  // Q0
}

void azfilterQ0_Q1(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg) {
    kernels::azfilter<kFastPaths>(a, m, x, y, lg, 5);  // Q1
}

}  // namespace bv32
