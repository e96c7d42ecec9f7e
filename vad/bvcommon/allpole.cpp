// apfilter and apfilterQ1_Q0: all-pole (IIR) filters with Q12 coefficients.
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/bvcommon/kernels.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
constexpr int kMaxLength = 160;
}

namespace kernels {

// With sum |a[1..m]| <= 61439, 2^27 + 2^15 * 61439 < 2^31 bounds every partial sum,
// so Fast sums plain integers then.
template <bool Fast>
void apfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
              Word16 update) {
    const bool plain = Fast && abs_sum(a + 1, m) <= 61439;
    // buf holds the memory followed by the outputs; buf[n + m] is y[n].
    Word16 buf[LPCO + kMaxLength];
    W16copy(buf, mem, m);
    for (int n = 0; n < lg; n++) {
        Word32 a0;
        if (plain) {
            int32_t s = 4096 * x[n];
            for (int i = m; i > 0; i--) s -= a[i] * buf[n + m - i];
            a0 = s;
        } else {
            a0 = L_mult0(4096, x[n]);  // Q12
            for (int i = m; i > 0; i--) a0 = L_msu0(a0, a[i], buf[n + m - i]);
        }
        buf[n + m] = round30To16(L_shl(a0, 4));
    }
    W16copy(y, buf + m, lg);
    if (update) W16copy(mem, buf + lg, m);
}

template void apfilter<true>(const Word16[], Word16, const Word16[], Word16[], Word16, Word16[], Word16);
template void apfilter<false>(const Word16[], Word16, const Word16[], Word16[], Word16, Word16[], Word16);

// Q1 input, Q13 sums of doubled products (L_msu). With sum |a[1..m]| <= 30719,
// 2^27 + 2^16 * 30719 < 2^31 bounds every partial sum, so Fast sums plain integers.
template <bool Fast>
void apfilterQ1_Q0(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
                   Word16 update) {
    const bool plain = Fast && abs_sum(a + 1, m) <= 30719;
    Word16 buf[LPCO + kMaxLength];
    W16copy(buf, mem, m);
    for (int n = 0; n < lg; n++) {
        Word32 a0;
        if (plain) {
            int32_t s = 4096 * x[n];
            for (int i = m; i > 0; i--) s -= 2 * a[i] * buf[n + m - i];
            a0 = s;
        } else {
            a0 = L_mult0(4096, x[n]);  // Q13
            for (int i = m; i > 0; i--) a0 = L_msu(a0, a[i], buf[n + m - i]);
        }
        buf[n + m] = round30To16(L_shl(a0, 3));
    }
    W16copy(y, buf + m, lg);
    if (update) W16copy(mem, buf + lg, m);
}

template void apfilterQ1_Q0<true>(const Word16[], Word16, const Word16[], Word16[], Word16, Word16[], Word16);
template void apfilterQ1_Q0<false>(const Word16[], Word16, const Word16[], Word16[], Word16, Word16[],
                                   Word16);

}  // namespace kernels

void apfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
              Word16 update) {
    kernels::apfilter<kFastPaths>(a, m, x, y, lg, mem, update);
}

void apfilterQ1_Q0(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg, Word16 mem[],
                   Word16 update) {
    kernels::apfilterQ1_Q0<kFastPaths>(a, m, x, y, lg, mem, update);
}

}  // namespace bv32
