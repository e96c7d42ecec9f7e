// excquan: two-stage noise feedback coding of the excitation, one subframe of
// NVPSSF vectors of VDIM samples. The long-term (pitch) noise feedback runs inside
// the short-term loop; the codebook search splits the short-term filter response
// into a zero-input part (per vector) and a zero-state part (per codevector,
// computed once per subframe).
#include <algorithm>

#include "vad/bv32/kernels.h"
#include "vad/bv32/stages.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/bvcommon/utility.h"
#include "vad/itug191lib/basop32.h"

namespace bv32 {

namespace {

// Zero-state responses of the short-term noise feedback filter to every codevector
// (Q-1 by the gain exponent), with their energies and peak for the fast search.
void zero_state_responses(const Word16* cb, const Word16* h, kernels::ZeroStateCodebook* zs) {
    for (int j = 0; j < CBSZ; j++) {
        const Word16* cv = &cb[j * VDIM];
        Word16* r = &zs->r[j * VDIM];
        r[0] = shr(cv[0], 1);
        for (int n = 1; n < VDIM; n++) {
            Word32 a0 = 0;
            for (int i = 0; i < n; i++) a0 = L_msu0(a0, r[i], h[n - i]);  // Q11
            a0 = L_shl(a0, 4);
            a0 = L_add(L_shr(L_deposit_h(cv[n]), 1), a0);
            r[n] = round30To16(a0);
        }
    }
    kernels::prepare_search(zs);
}

// Short-term noise feedback filter output for sample n: d[n] in Q16 minus the
// filtered past quantisation error held in buf[n .. n+LPCO-1]. Fast: plain sums,
// for filters with sum |h[1..LPCO]| <= kFastFilterGain, where no partial sum can
// leave the 32-bit range (2^27 + 2^16 * 30719 < 2^31) and no product is -32768^2.
constexpr int kFastFilterGain = 30719;

// h_rev holds h[LPCO] .. h[1], the taps in the order of buf.
template <bool Fast>
Word32 short_term_feedback(const Word16* buf, const Word16* h, const Word16* h_rev, Word16 dn) {
    if (Fast) return L_shl(dn * 4096 - 2 * dot32(buf, h_rev, LPCO), 3);
    Word32 a0 = L_mult(dn, 2048);  // Q13
    for (int i = LPCO; i > 0; i--) a0 = L_msu(a0, buf[LPCO - i], h[i]);
    return L_shl(a0, 3);  // Q16
}

}  // namespace

namespace kernels {

template <>
Word16 cbsearch<false>(const Word16* qzir, const ZeroStateCodebook& zs) {
    Word32 Emin = MAX_32;
    int best = 0;
    for (int j = 0; j < CBSZ; j++) {
        const Word16* z = &zs.r[j * VDIM];
        Word32 E = 0;
        for (int k = 0; k < VDIM; k++) {
            const Word16 e = sub(shl(qzir[k], 2), z[k]);
            E = L_mac0(E, e, e);
        }
        if (L_sub(E, Emin) < 0) {
            Emin = E;
            best = j;
        }
        E = 0;
        for (int k = 0; k < VDIM; k++) {
            const Word16 e = add(shl(qzir[k], 2), z[k]);
            E = L_mac0(E, e, e);
        }
        if (L_sub(E, Emin) < 0) {
            Emin = E;
            best = j + CBSZ;
        }
    }
    return static_cast<Word16>(best);
}

void prepare_search(ZeroStateCodebook* zs) {
    int peak = 0;
    for (int i = 0; i < VDIM * CBSZ; i++) peak = std::max(peak, abs_int(zs->r[i]));
    zs->peak = peak;
    if (peak > ZeroStateCodebook::kFastPeak) return;
    for (int j = 0; j < CBSZ; j++) {
        int32_t e = 0;
        for (int k = 0; k < VDIM; k++) {
            const Word16 v = zs->r[j * VDIM + k];
            zs->rt[k][j] = v;
            e += v * v;
        }
        zs->energy[j] = e;
    }
}

// With |4 qzir| + |r| <= 16383 no difference saturates and every energy stays
// below 2^30, so sum (q -+ r)^2 = sum q^2 + sum r^2 -+ 2 sum q r is exact in 32
// bits; sum q^2 is common to all candidates and left out of the comparison.
// Larger values (rare) take the operator loop.
template <>
Word16 cbsearch<true>(const Word16* qzir, const ZeroStateCodebook& zs) {
    Word16 q[VDIM];
    int qmax = 0;
    for (int k = 0; k < VDIM; k++) {
        q[k] = shl(qzir[k], 2);
        qmax = std::max(qmax, abs_int(q[k]));
    }
    if (zs.peak > ZeroStateCodebook::kFastPeak || qmax + zs.peak > 16383) return cbsearch<false>(qzir, zs);

    int32_t dist[2 * CBSZ];  // [j]: positive sign, [CBSZ + j]: negative sign
    for (int j = 0; j < CBSZ; j++) {
        const int32_t c = q[0] * zs.rt[0][j] + q[1] * zs.rt[1][j] + q[2] * zs.rt[2][j] + q[3] * zs.rt[3][j];
        dist[j] = zs.energy[j] - 2 * c;
        dist[CBSZ + j] = zs.energy[j] + 2 * c;
    }
    int32_t dmin = dist[0];
    for (int i = 1; i < 2 * CBSZ; i++) dmin = std::min(dmin, dist[i]);
    // The first minimum in the operator loop's order: j ascending, + before -.
    for (int j = 0; j < CBSZ; j++) {
        if (dist[j] == dmin) return static_cast<Word16>(j);
        if (dist[CBSZ + j] == dmin) return static_cast<Word16>(j + CBSZ);
    }
    return 0;
}

}  // namespace kernels

namespace {

template <bool FastFilter, bool FastSearch>
void quantise(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
              Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp) {
    const Word16 gexpm3 = sub(gain_exp, 3);

    // buf: short-term filter memory followed by the subframe's error samples.
    Word16 buf[LPCO + SFSZ];
    W16copy(buf, stnfm, LPCO);

    kernels::ZeroStateCodebook zs;
    zero_state_responses(cb, h, &zs);
    Word16 h_rev[LPCO];
    for (int i = 0; i < LPCO; i++) h_rev[i] = h[LPCO - i];

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
            const Word32 a0 = short_term_feedback<FastFilter>(&buf[n], h, h_rev, d[n]);
            qzir[k] = round30To16(L_shl(L_sub(a0, ltfv[k]), gexpm3));
            buf[n + LPCO] = round30To16(L_sub(a0, ppv[k]));
        }

        // Codevector and sign with the smallest error energy.
        const Word16 best = kernels::cbsearch<FastSearch>(qzir, zs);
        idx[iv++] = best;
        const int jmin = best & (CBSZ - 1);
        const int sign = (best & CBSZ) ? -1 : 1;

        // Filter the chosen vector through the loop and update all memories.
        for (int k = 0; k < VDIM; k++) {
            const int n = m + k;
            const Word32 a0 = short_term_feedback<FastFilter>(&buf[n], h, h_rev, d[n]);
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

}  // namespace

namespace kernels {

template <>
void excquan<false>(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
                    Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp) {
    quantise<false, false>(idx, d, h, b, beta, ltsym, ltnfm, stnfm, cb, pp, gain_exp);
}

template <>
void excquan<true>(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
                   Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp) {
    if (abs_sum(h + 1, LPCO) <= kFastFilterGain) {
        quantise<true, true>(idx, d, h, b, beta, ltsym, ltnfm, stnfm, cb, pp, gain_exp);
    } else {
        quantise<false, true>(idx, d, h, b, beta, ltsym, ltnfm, stnfm, cb, pp, gain_exp);
    }
}

}  // namespace kernels

void excquan(Word16* idx, Word16* d, const Word16* h, const Word16* b, Word16 beta, Word16* ltsym,
             Word16* ltnfm, Word16* stnfm, const Word16* cb, Word16 pp, Word16 gain_exp) {
    kernels::excquan<kFastPaths>(idx, d, h, b, beta, ltsym, ltnfm, stnfm, cb, pp, gain_exp);
}

}  // namespace bv32
