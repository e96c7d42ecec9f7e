// preprocess: second-order pole-zero high-pass combined with pre-emphasis. The
// coefficients include a scaling of the input by 1/2; the pole memory is kept in
// double precision (hpfpm: hi/lo of y[n-1], then hi/lo of y[n-2]).
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

void preprocess(BV32_Encoder_State* cs, Word16* output, const Word16* input, Word16 n) {
    Word16* pm = cs->hpfpm;
    Word16* zm = cs->hpfzm;
    for (int i = 0; i < n; i++) {
        // y[n] = b0 x[n] + b1 x[n-1] + b2 x[n-2] - a1 y[n-1] - a2 y[n-2], Q15
        Word32 a0 = Mpy_32_16(pm[0], pm[1], hpfa[1]);
        a0 = L_add(a0, Mpy_32_16(pm[2], pm[3], hpfa[2]));
        a0 = L_mac(a0, input[i], hpfb[0]);
        a0 = L_mac(a0, zm[0], hpfb[1]);
        a0 = L_mac(a0, zm[1], hpfb[2]);

        pm[2] = pm[0];
        pm[3] = pm[1];
        L_Extract(a0, &pm[0], &pm[1]);

        output[i] = round30To16(L_shl(a0, 1));  // Q0

        zm[1] = zm[0];
        zm[0] = input[i];
    }
}

}  // namespace bv32
