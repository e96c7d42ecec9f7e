// lsp2a: LSP to LPC conversion through the sum and difference polynomials.
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/cmtables.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

void get_pq_polynomials(Word32* f, const Word16* lsp) {
    f[0] = L_mult(2048, 2048);  // 1.0 in Q23
    for (int i = 1; i <= LPCO; i++) f[i] = 0;

    for (int n = 1; n <= LPCO / 2; n++) {
        // c = 2 cos(pi * lsp[2n-2]) in Q14, by table lookup and interpolation.
        const Word16 w = lsp[2 * n - 2];
        const Word16 index = shr(w, 9);
        const Word16 offset = static_cast<Word16>(w & 0x01ff);  // Q9
        const Word32 a0 = L_mult(sub(costable[index + 1], costable[index]), offset);
        const Word16 c = add(costable[index], round30To16(L_shl(a0, 6)));

        // Multiply by (1 - c z^-1 + z^-2): f[i] += f[i-2] - c f[i-1].
        for (int i = 2 * n; i >= 2; i--) {
            Word16 hi, lo;
            L_Extract(f[i - 1], &hi, &lo);
            f[i] = L_add(f[i], f[i - 2]);
            f[i] = L_sub(f[i], L_shl(Mpy_32_16(hi, lo, c), 1));
        }
        f[1] = L_msu(f[1], c, 256);
    }
}

void lsp2a(const Word16 lsp[], Word16 a[]) {
    Word32 p[LPCO + 1], q[LPCO + 1];  // Q23
    get_pq_polynomials(p, lsp);
    get_pq_polynomials(q, lsp + 1);

    // a[1] = (p[1] + q[1]) / 2, a[n] = (p[n-1] + p[n] + q[n] - q[n-1]) / 2
    a[0] = 4096;
    a[1] = round30To16(L_shl(L_add(p[1], q[1]), 4));
    for (int i = 1, n = 2; i < LPCO; i++, n++) {
        Word32 a0 = L_add(p[i], p[n]);
        a0 = L_add(a0, q[n]);
        a0 = L_sub(a0, q[i]);
        a[n] = round30To16(L_shl(a0, 4));
    }
}

}  // namespace bv32
