// excquan: two-stage noise feedback coding of the excitation, one subframe of
// NVPSSF vectors of VDIM samples. The long-term (pitch) noise feedback runs inside
// the short-term loop; the codebook search splits the short-term filter response
// into a zero-input part (per vector) and a zero-state part (per codevector,
// computed once per subframe).
#include "vad/bv32/stages.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {

// Zero-state responses of the short-term noise feedback filter to every codevector
// (Q-1 by the gain exponent).
void zero_state_responses(const Word16* cb, const Word16* h, Word16* qzsr) {
    for (int j = 0; j < CBSZ; j++) {
        const Word16* cv = &cb[j * VDIM];
        Word16* r = &qzsr[j * VDIM];
        r[0] = shr(cv[0], 1);
        for (int n = 1; n < VDIM; n++) {
            Word32 a0 = 0;
            for (int i = 0; i < n; i++) a0 = L_msu0(a0, r[i], h[n - i]);  // Q11
            a0 = L_shl(a0, 4);
            a0 = L_add(L_shr(L_deposit_h(cv[n]), 1), a0);
            r[n] = round30To16(a0);
        }
    }
}

// Short-term noise feedback filter output for sample n: d[n] in Q16 minus the
// filtered past quantisation error held in buf[n .. n+LPCO-1].
Word32 short_term_feedback(const Word16* buf, const Word16* h, Word16 dn) {
    Word32 a0 = L_mult(dn, 2048);  // Q13
    for (int i = LPCO; i > 0; i--) a0 = L_msu(a0, buf[LPCO - i], h[i]);
    return L_shl(a0, 3);  // Q16
}

}  // namespace

void excquan(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
             Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp) {
    const Word16 gexpm3 = sub(gain_exp, 3);

    // buf: short-term filter memory followed by the subframe's error samples.
    Word16 buf[LPCO + SFSZ];
    W16copy(buf, stnfm, LPCO);

    Word16 qzsr[VDIM * CBSZ];
    zero_state_responses(cb, h, qzsr);

    int iv = 0;
    for (int m = 0; m < SFSZ; m += VDIM) {
        // Pitch prediction ppv and long-term filtered vector ltfv (Q16); they do not
        // depend on the codevector because VDIM is below the minimum pitch period.
        Word32 ppv[VDIM], ltfv[VDIM];
        for (int k = 0; k < VDIM; k++) {
            const int n = m + k;
            const Word16* sp = &ltsym[MAXPP1 + n - pp + 1];
            Word32 a0 = L_mult0(sp[0], b[0]);
            a0 = L_mac0(a0, sp[-1], b[1]);
            a0 = L_mac0(a0, sp[-2], b[2]);
            ppv[k] = a0;
            const Word32 a1 = L_shl(L_mult0(ltnfm[MAXPP1 + n - pp], beta), 2);  // Q16
            ltfv[k] = L_add(a0, a1);
        }

        // Zero-input response: the VQ target with a zero codevector (Q0 by gain).
        Word16 qzir[VDIM];
        for (int k = 0; k < VDIM; k++) {
            const int n = m + k;
            const Word32 a0 = short_term_feedback(&buf[n], h, d[n]);
            qzir[k] = round30To16(L_shl(L_sub(a0, ltfv[k]), gexpm3));
            buf[n + LPCO] = round30To16(L_sub(a0, ppv[k]));
        }

        // Codevector and sign with the smallest error energy.
        Word32 Emin = MAX_32;
        int jmin = 0;
        int sign = 1;
        for (int j = 0; j < CBSZ; j++) {
            const Word16* z = &qzsr[j * VDIM];
            Word32 E = 0;
            for (int k = 0; k < VDIM; k++) {
                const Word16 e = sub(shl(qzir[k], 2), z[k]);
                E = L_mac0(E, e, e);
            }
            if (L_sub(E, Emin) < 0) {
                jmin = j;
                Emin = E;
                sign = 1;
            }
            E = 0;
            for (int k = 0; k < VDIM; k++) {
                const Word16 e = add(shl(qzir[k], 2), z[k]);
                E = L_mac0(E, e, e);
            }
            if (L_sub(E, Emin) < 0) {
                jmin = j;
                Emin = E;
                sign = -1;
            }
        }
        idx[iv++] = static_cast<Word16>(sign == -1 ? jmin + CBSZ : jmin);

        // Filter the chosen vector through the loop and update all memories.
        for (int k = 0; k < VDIM; k++) {
            const int n = m + k;
            const Word32 a0 = short_term_feedback(&buf[n], h, d[n]);
            const Word32 u = L_sub(a0, ltfv[k]);  // VQ input
            const Word16 qv = static_cast<Word16>(sign * cb[jmin * VDIM + k]);
            const Word32 a2 = L_shr(L_deposit_h(qv), gain_exp);
            ltnfm[MAXPP1 + n] = round30To16(L_shl(L_sub(u, a2), 1));  // VQ error, Q1
            const Word32 a1 = L_add(a2, ppv[k]);                      // quantised excitation, Q16
            d[n] = round30To16(L_shl(a1, 1));
            ltsym[MAXPP1 + n] = d[n];
            buf[n + LPCO] = round30To16(L_sub(a0, a1));
        }
    }
    W16copy(stnfm, buf + SFSZ, LPCO);
}

}  // namespace bv32
