// azfilter and azfilterQ0_Q1: all-zero (FIR) filters with Q12 coefficients.
#include "vad/bvcommon/bvcommon.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
// sum a[i] x[n-i], i = 0..m, in Q12 (x[n-i] for n < i lies before x[0]).
Word32 fir_sum(const Word16 a[], Word16 m, const Word16* xn) {
    Word32 a0 = L_mult0(a[0], xn[0]);
    for (int i = 1; i <= m; i++) a0 = L_mac0(a0, a[i], xn[-i]);
    return a0;
}
}  // namespace

void azfilter(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg) {
    for (int n = 0; n < lg; n++) y[n] = round30To16(L_shl(fir_sum(a, m, x + n), 4));  // Q0
}

void azfilterQ0_Q1(const Word16 a[], Word16 m, const Word16 x[], Word16 y[], Word16 lg) {
    for (int n = 0; n < lg; n++) y[n] = round30To16(L_shl(fir_sum(a, m, x + n), 5));  // Q1
}

}  // namespace bv32
