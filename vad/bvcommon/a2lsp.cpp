// a2lsp: LPC to LSP conversion by a grid search for sign changes of the sum and
// difference polynomials (Chebyshev form), bisection and linear interpolation.
#include "vad/bvcommon/bvcommon.h"
#include "vad/bvcommon/cmtables.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {
constexpr int NAB = LPCO / 2 + 1;  // coefficients of each half-order polynomial
constexpr int NBIS = 4;            // bisections per interval with a sign change

// The value of a mantissa/exponent pair in Q23.
Word32 q23(Word16 man, Word16 exp) { return L_shr(L_deposit_h(man), exp); }
}  // namespace

Word16 FNevChebP(Word16 x, const Word16* t_man, const Word16* t_exp, Word16 nd2) {
    Word16 b_man[NAB], b_exp[NAB];

    // Clenshaw recursion b[i] = c[nd2-i] + 2x b[i-1] - b[i-2]; x2 = 2x in Q14 is x itself.
    const Word16 x2 = x;
    b_man[0] = t_man[nd2];
    b_exp[0] = t_exp[nd2];
    Word32 a0 = L_shr(L_mult(x2, b_man[0]), sub(b_exp[0], 1));  // Q23
    a0 = L_add(a0, q23(t_man[nd2 - 1], t_exp[nd2 - 1]));
    b_exp[1] = norm_l(a0);
    b_man[1] = round30To16(L_shl(a0, b_exp[1]));

    for (int i = 2; i < nd2; i++) {
        a0 = L_shr(L_mult(x2, b_man[i - 1]), sub(b_exp[i - 1], 1));
        a0 = L_add(a0, q23(t_man[nd2 - i], t_exp[nd2 - i]));
        a0 = L_sub(a0, q23(b_man[i - 2], b_exp[i - 2]));
        b_exp[i] = norm_l(a0);
        b_man[i] = round30To16(L_shl(a0, b_exp[i]));
    }

    // y = c[0] + x b[nd2-1] - b[nd2-2]
    a0 = L_shr(L_mult(x, b_man[nd2 - 1]), b_exp[nd2 - 1]);
    a0 = L_add(a0, q23(t_man[0], t_exp[0]));
    a0 = L_sub(a0, q23(b_man[nd2 - 2], b_exp[nd2 - 2]));
    return round30To16(L_shl(a0, 6));  // Q13
}

void a2lsp(const Word16 pc[], Word16 lsp[], const Word16 old_lsp[]) {
    // fa[i] = pc[i] + pc[j] - fa[i-1], fb[i] = pc[i] - pc[j] + fb[i-1] (j = LPCO+1-i),
    // each kept as a normalised mantissa with its exponent; fa[0] = fb[0] = 1.0 (Q24).
    Word16 fa_man[NAB], fa_exp[NAB], fb_man[NAB], fb_exp[NAB];
    fa_man[0] = 16384;
    fa_exp[0] = 6;
    fb_man[0] = 16384;
    fb_exp[0] = 6;
    for (int i = 1, j = LPCO; i <= LPCO / 2; i++, j--) {
        Word32 a0 = L_mult0(pc[i], 4096);  // Q24
        a0 = L_mac0(a0, pc[j], 4096);
        a0 = L_sub(a0, L_shr(L_deposit_h(fa_man[i - 1]), fa_exp[i - 1]));
        fa_exp[i] = norm_l(a0);
        fa_man[i] = round30To16(L_shl(a0, fa_exp[i]));

        a0 = L_mult0(pc[i], 4096);
        a0 = L_msu0(a0, pc[j], 4096);
        a0 = L_add(a0, L_shr(L_deposit_h(fb_man[i - 1]), fb_exp[i - 1]));
        fb_exp[i] = norm_l(a0);
        fb_man[i] = round30To16(L_shl(a0, fb_exp[i]));
    }

    // Chebyshev coefficients: t[0] = f[NAB-1], t[i] = 2 f[NAB-1-i].
    constexpr Word16 nd2 = LPCO / 2;
    Word16 ta_man[NAB], ta_exp[NAB], tb_man[NAB], tb_exp[NAB];
    ta_man[0] = fa_man[NAB - 1];
    ta_exp[0] = add(fa_exp[NAB - 1], 1);
    tb_man[0] = fb_man[NAB - 1];
    tb_exp[0] = add(fb_exp[NAB - 1], 1);
    for (int i = 1, j = NAB - 2; i < NAB; ++i, --j) {
        ta_man[i] = fa_man[j];
        ta_exp[i] = fa_exp[j];
        tb_man[i] = fb_man[j];
        tb_exp[i] = fb_exp[j];
    }

    // Roots alternate between the two polynomials, from x = 1 downwards.
    int nf = 0;
    const Word16* t_man = ta_man;
    const Word16* t_exp = ta_exp;
    Word16 xroot = 0x7fff;
    int ngrd = 0;
    Word16 xlow = grid[0];
    Word16 ylow = FNevChebP(xlow, t_man, t_exp, nd2);
    int ind = 0;

    while (ngrd < Ngrd - 1 && nf < LPCO) {
        ngrd++;
        Word16 xhigh = xlow;
        Word16 yhigh = ylow;
        xlow = grid[ngrd];
        ylow = FNevChebP(xlow, t_man, t_exp, nd2);
        if (L_mult(ylow, yhigh) > 0) continue;

        // Bisections of the interval with the sign change.
        Word16 dx = static_cast<Word16>(xhigh - xlow);
        for (int i = 1; i <= NBIS; ++i) {
            dx = shr(dx, 1);
            const Word16 xmid = add(xlow, dx);
            const Word16 ymid = FNevChebP(xmid, t_man, t_exp, nd2);
            if (L_mult(ylow, ymid) <= 0) {
                yhigh = ymid;
                xhigh = xmid;
            } else {
                ylow = ymid;
                xlow = xmid;
            }
        }

        // Linear interpolation in the last interval (midpoint when ylow == yhigh).
        Word16 xmid;
        dx = sub(xhigh, xlow);
        Word16 dy = sub(ylow, yhigh);
        if (dy != 0) {
            const Word16 sign = dy;
            dy = abs_s(dy);
            const Word16 exp = norm_s(dy);
            dy = shl(dy, exp);
            // dx is at most 2^7 after the bisections; one more bit of headroom covers
            // a search restarted at the previous root.
            const Word16 dxdy = div_s(shl(dx, 6), dy);
            Word16 x = round30To16(L_shr(L_mult(dxdy, ylow), sub(6, exp)));
            if (sign < 0) x = negate(x);
            xmid = add(xlow, x);
        } else {
            xmid = add(xlow, shr(dx, 1));
        }

        // Arc cosine by table lookup and linear interpolation: lsp = ind/64 + slope part.
        while (costable[ind] >= xmid && ind < 63) ind++;
        ind--;
        const Word32 a0 = L_mult(sub(xmid, costable[ind]), acosslope[ind]);
        lsp[nf] = add(round30To16(L_shl(a0, 4)), shl(static_cast<Word16>(ind), 9));
        ++nf;

        // Continue on the other polynomial from the root just found; step back when
        // both polynomials share the root so the search cannot stall on it.
        if (xmid >= xroot) xmid = static_cast<Word16>(xlow - dx);
        xroot = xmid;
        if (t_man == ta_man) {
            t_man = tb_man;
            t_exp = tb_exp;
        } else {
            t_man = ta_man;
            t_exp = ta_exp;
        }
        xlow = xmid;
        ylow = FNevChebP(xlow, t_man, t_exp, nd2);
    }

    if (nf < LPCO) W16copy(lsp, old_lsp, LPCO);
}

}  // namespace bv32
