// coarsepitch: coarse pitch search on the weighted signal decimated 8:1.
//
// The normalised correlation cor^2/energy is compared between lags as pairs of
// 16-bit mantissas with exponents. Positive correlation peaks are refined by
// quadratic interpolation, then the period is chosen among them, favouring a
// lag whose multiples also peak and a peak near the previous frame's period.
#include "vad/bv32/kernels.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/cmtables.h"
#include "vad/bvcommon/fastpath.h"
#include "vad/itug729ilib/oper_32b.h"

namespace bv32 {

namespace {

// Decimation filter memory word k (0..7). The encoder addresses dfm_h and dfm_l as
// one memory; even words hold the low halves and odd words the high halves of the
// four filter states, most recent first.
Word16& dfm_word(BV32_Encoder_State* cs, int k) { return k < DFO ? cs->dfm_h[k] : cs->dfm_l[k - DFO]; }

// cor^2/energy of a candidate, as mantissas and exponents:
// value = (cor2 * 2^-2*cor2_exp) / (en_man * 2^-en_exp).
struct NormCor {
    Word16 cor2;
    Word16 cor2_exp;
    Word16 en_man;
    Word16 en_exp;
};

// a > b, comparing a.cor2 * b.en_man with a.en_man * b.cor2 after aligning exponents.
bool greater(const NormCor& a, const NormCor& b) {
    Word32 a0 = L_mult(b.en_man, a.cor2);
    Word32 a1 = L_mult(a.en_man, b.cor2);
    Word16 exp0 = shl(sub(a.cor2_exp, b.cor2_exp), 1);
    exp0 = add(exp0, b.en_exp);
    exp0 = sub(exp0, a.en_exp);
    if (exp0 >= 0) {
        a0 = L_shr(a0, exp0);
    } else {
        a1 = L_shl(a1, exp0);
    }
    return a0 > a1;
}

// a > b with a's energy weighted by threshold (Q15).
bool greater_by(const NormCor& a, const NormCor& b, Word16 threshold) {
    NormCor scaled = a;
    scaled.en_man = extract_h(L_mult(a.en_man, threshold));
    return greater(scaled, b);
}

Word16 mantissa(Word32 v, Word16 exp) { return extract_h(L_shl(v, exp)); }

// Low-pass filters xw (FRSZ samples) and keeps every DECF-th output in lxwd
// (FRSZD values, Q17 by the filter's scaling); returns the largest magnitude (>= 1).
Word32 decimate(const Word16* xw, BV32_Encoder_State* cs, Word32* lxwd) {
    // y_h/y_l: filter states in double precision, DFO of memory then the frame.
    Word16 y_h[DFO + FRSZ], y_l[DFO + FRSZ];
    for (int i = 0; i < DFO; i++) {
        y_h[i] = dfm_word(cs, 2 * i + 1);
        y_l[i] = dfm_word(cs, 2 * i);
    }

    Word32 amax = 1;
    int pos = DFO;
    for (int i = 0; i < FRSZD; i++) {
        for (int k = 0; k < DECF; k++, pos++) {
            // All-pole section with adf (Q12) in double precision.
            Word32 a0 = L_shr(L_deposit_h(xw[i * DECF + k]), 11);
            for (int j = 0; j < DFO; j++) {
                a0 = L_sub(a0, Mpy_32(y_h[pos - 1 - j], y_l[pos - 1 - j], adf_h[j + 1], adf_l[j + 1]));
            }
            a0 = L_shl(a0, 3);
            L_Extract(a0, &y_h[pos], &y_l[pos]);
        }
        // All-zero section, evaluated only at the decimated instants.
        const int last = pos - 1;
        Word32 a0 = Mpy_32_16(y_h[last], y_l[last], bdf[0]);
        for (int j = 0; j < DFO; j++)
            a0 = L_add(a0, Mpy_32_16(y_h[last - 1 - j], y_l[last - 1 - j], bdf[j + 1]));
        lxwd[i] = a0;
        a0 = L_abs(a0);
        if (amax < a0) amax = a0;
    }

    for (int i = 0; i < DFO; i++) {
        dfm_word(cs, 2 * i + 1) = y_h[FRSZ + i];
        dfm_word(cs, 2 * i) = y_l[FRSZ + i];
    }
    return amax;
}

// Builds the local decimated signal xwd (LXD samples: XDOFF history, FRSZD new)
// in a common block exponent and updates the stored history and its exponent.
void build_xwd(BV32_Encoder_State* cs, const Word32* lxwd, Word32 amax, Word16* xwd) {
    Word16 new_exp = sub(norm_l(amax), 3);
    Word16 exp = sub(cs->xwd_exp, new_exp);
    if (exp < 0) {  // a quieter frame keeps the previous exponent
        new_exp = cs->xwd_exp;
        exp = 0;
    }
    for (int i = 0; i < XDOFF; i++) xwd[i] = shr(cs->xwd[i], exp);
    for (int i = 0; i < FRSZD; i++) xwd[XDOFF + i] = round30To16(L_shl(lxwd[i], new_exp));

    // New history: the last XDOFF samples, normalised with 3 bits of headroom.
    Word16 peak = 1;
    for (int i = 0; i < XDOFF; i++) {
        const Word16 v = abs_s(xwd[FRSZD + i]);
        if (v > peak) peak = v;
    }
    const Word16 exp0 = sub(norm_s(peak), 3);
    exp = sub(exp0, exp);
    // The older part is rescaled from the stored history itself.
    int i = 0;
    if (exp >= 0) {
        for (; i < XDOFF - FRSZD; i++) cs->xwd[i] = shl(cs->xwd[i + FRSZD], exp);
    } else {
        exp = static_cast<Word16>(-exp);
        if (exp >= 15) exp = 15;
        for (; i < XDOFF - FRSZD; i++) cs->xwd[i] = shr(cs->xwd[i + FRSZD], exp);
    }
    for (; i < XDOFF; i++) cs->xwd[i] = shl(xwd[FRSZD + i], exp0);
    cs->xwd_exp = add(new_exp, exp0);
}

template <bool Fast>
Word32 mac(Word32 acc, Word16 a, Word16 b) {
    return Fast ? acc + static_cast<Word32>(a) * b : L_mac0(acc, a, b);
}

template <bool Fast>
Word32 msu(Word32 acc, Word16 a, Word16 b) {
    return Fast ? acc - static_cast<Word32>(a) * b : L_msu0(acc, a, b);
}

template <bool Fast>
void correlations(const Word16* xwd, Word32* cor, Word32* energy) {
    // Lag 0: the energy of the last PWSZD samples, also its own correlation.
    Word32 a0 = 0, a1 = 0;
    for (int i = 0; i < PWSZD; i++) {
        a0 = mac<Fast>(a0, xwd[MAXPPD1 - M1 + i], xwd[MAXPPD1 - M1 + i]);
        a1 = mac<Fast>(a1, xwd[MAXPPD1 + i], xwd[MAXPPD1 - M1 + i]);
    }
    cor[M1 - 1] = a1;
    energy[M1 - 1] = a0;
    for (int i = M1; i < M2; i++) {
        if (Fast) {
            a1 = dot32(xwd + MAXPPD1, xwd + MAXPPD1 - i - 1, LXD - MAXPPD1);
        } else {
            a1 = 0;
            for (int j = 0; j < LXD - MAXPPD1; j++)
                a1 = L_mac0(a1, xwd[MAXPPD1 + j], xwd[MAXPPD1 - i - 1 + j]);
        }
        cor[i] = a1;
        // Slide the energy window one sample back in time.
        const Word16 out = xwd[LXD - 1 - i];
        const Word16 in = xwd[MAXPPD1 - 1 - i];
        a0 = msu<Fast>(a0, out, out);
        a0 = mac<Fast>(a0, in, in);
        energy[i] = a0;
    }
}

}  // namespace

namespace kernels {

template <>
void pitch_correlations<false>(const Word16* xwd, Word32* cor, Word32* energy) {
    correlations<false>(xwd, cor, energy);
}

// Every sum here is a partial sum bounded by the energy of xwd (Cauchy-Schwarz);
// when that fits, nothing saturates.
template <>
void pitch_correlations<true>(const Word16* xwd, Word32* cor, Word32* energy) {
    if (energy64(xwd, LXD) > kMax32) {
        correlations<false>(xwd, cor, energy);
    } else {
        correlations<true>(xwd, cor, energy);
    }
}

}  // namespace kernels

Word16 coarsepitch(const Word16* xw, BV32_Encoder_State* cs) {
    Word32 lxwd[FRSZD];
    const Word32 amax = decimate(xw, cs, lxwd);
    Word16 xwd[LXD];
    build_xwd(cs, lxwd, amax, xwd);

    // Correlation and energy for decimated lags 1 .. MAXPPD1 at index lag-1; index -1
    // (lag 0) is the frame's own energy. The arrays are offset by one for it.
    Word32 cor_buf[MAXPPD1 + 1], energy_buf[MAXPPD1 + 1];
    NormCor nc_buf[MAXPPD1 + 1];
    Word32* cor = cor_buf + 1;
    Word32* energy = energy_buf + 1;
    NormCor* nc = nc_buf + 1;

    kernels::pitch_correlations<kFastPaths>(xwd, cor, energy);
    for (int i = M1 - 1; i < M2; i++) {
        nc[i].en_exp = norm_l(energy[i]);
        nc[i].en_man = mantissa(energy[i], nc[i].en_exp);
        nc[i].cor2_exp = norm_l(cor[i]);
        const Word16 t0 = mantissa(cor[i], nc[i].cor2_exp);
        nc[i].cor2 = extract_h(L_mult(t0, t0));
        if (i >= M1 && cor[i] < 0) nc[i].cor2 = negate(nc[i].cor2);  // signed square, not at lag 0
    }

    // Positive correlation peaks of cor^2/energy.
    Word16 idx[MAX_NPEAKS];
    int npeaks = 0;
    for (int n = MINPPD - 1; n < MAXPPD && npeaks < MAX_NPEAKS; n++) {
        if (cor[n] > 0 && greater(nc[n], nc[n - 1]) && greater(nc[n], nc[n + 1]))
            idx[npeaks++] = static_cast<Word16>(n);
    }
    if (npeaks == 0) return MINPPD * DECF;
    if (npeaks == 1) return static_cast<Word16>((idx[0] + 1) * DECF);

    // Quadratic interpolation of cor around each peak (energy linearly) at quarter
    // steps of the decimated lag, keeping the best interpolated cor^2/energy.
    Word16 plag[MAX_NPEAKS];
    NormCor peak[MAX_NPEAKS];
    NormCor best = {MIN_16, 0, 1, 0};
    int imax = 0;
    for (int i = 0; i < npeaks; i++) {
        const int n = idx[i];
        Word16 ah, al, bh, bl;
        L_Extract(L_sub(L_shr(L_add(cor[n + 1], cor[n - 1]), 1), cor[n]), &ah, &al);
        L_Extract(L_shr(L_sub(cor[n + 1], cor[n - 1]), 1), &bh, &bl);
        const Word32 cc = cor[n];

        int im = 0;
        NormCor m = nc[n];
        Word32 eni = energy[n];
        const bool right = greater(nc[n + 1], nc[n - 1]);
        const Word32 deltae = L_shr(L_sub(energy[right ? n + 1 : n - 1], eni), 3);
        for (int k = 0; k < HDECF; k++) {
            const Word32 quad = Mpy_32_16(ah, al, x2[k]);
            const Word32 lin = Mpy_32_16(bh, bl, x[k]);
            const Word32 a0 = L_add(right ? L_add(quad, lin) : L_sub(quad, lin), cc);
            eni = L_add(eni, deltae);

            NormCor c;
            c.cor2_exp = norm_l(a0);
            const Word16 s0 = mantissa(a0, c.cor2_exp);
            c.cor2 = extract_h(L_mult(s0, s0));
            c.en_exp = norm_l(eni);
            c.en_man = mantissa(eni, c.en_exp);
            if (greater(c, m)) {
                im = right ? k + 1 : -k - 1;
                m = c;
            }
        }
        plag[i] = add(shl(add(idx[i], 1), 3), static_cast<Word16>(im));
        peak[i] = m;
        if (greater(m, best)) {
            imax = i;
            best = m;
        }
    }

    Word16 cpp = plag[imax];
    const Word16 mplth = plag[npeaks - 1];

    // Best peak within a quarter period of the previous frame's period.
    const Word16 maxdev = shr(cs->cpplast, 2);
    int im = -1;
    NormCor last = {MIN_16, 0, 1, 0};
    for (int i = 0; i < npeaks; i++) {
        if (abs_s(sub(plag[i], cs->cpplast)) <= maxdev && greater(peak[i], last)) {
            im = i;
            last = peak[i];
        }
    }

    // A peak in the first half of the range wins when peaks large enough follow at
    // every multiple of its lag up to the last peak.
    for (int i = 0; 2 * plag[i] < mplth;) {
        const Word16 threshold = i != im ? TH1 : TH2;
        if (greater_by(peak[i], best, threshold)) {
            bool every_multiple = true;
            int j = i + 1;
            int k = 0;
            for (Word16 s = shl(plag[i], 1); s <= mplth; s = add(s, plag[i]), k++) {
                const Word16 t = mult_r(s, MPDTH);
                const Word16 lo = sub(s, t);
                const Word16 hi = add(s, t);
                bool found = false;
                for (; j < npeaks && plag[j] <= hi; j++) {
                    if (plag[j] > lo && greater_by(peak[j], best, k < 4 ? MPTH[k] : MPTH4)) {
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    every_multiple = false;
                    break;
                }
            }
            if (every_multiple) return plag[i];
        }
        if (++i == npeaks) break;
    }

    // Otherwise a strong enough peak near the previous period.
    if (im == -1 || im == imax) return cpp;
    if (im < imax) {
        if (greater_by(last, best, LPTH2)) {
            if (plag[im] > HMAXPPD * DECF) return plag[im];
            // Accept it when it is a sub-multiple of the global maximum's lag.
            for (int k = 2; k <= 5; k++) {
                const Word16 s = mult(plag[imax], invk[k - 2]);
                const Word16 t = mult_r(s, SMDTH);
                if (plag[im] > sub(s, t) && plag[im] < add(s, t)) return plag[im];
            }
        }
    } else if (greater_by(last, best, LPTH1)) {
        return plag[im];
    }
    return cpp;
}

}  // namespace bv32
