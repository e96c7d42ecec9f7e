// The exact shortcuts of the hot loops against the plain operator loops, on
// ordinary and on saturating inputs: same results and same Overflow flag.
#include "vad/bv32/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "vad/bv32/tables.h"
#include "vad/bvcommon/kernels.h"
#include "vad/itug191lib/basop32.h"

namespace {

using namespace bv32;

// Signals from quiet to full scale, with runs of the extreme values.
class Signals {
  public:
    explicit Signals(unsigned seed) : rng_(seed) {}

    std::vector<Word16> make(int n, int amplitude) {
        std::vector<Word16> v(n);
        std::uniform_int_distribution<int> d(-amplitude, amplitude);
        for (Word16& s : v) s = static_cast<Word16>(std::clamp(d(rng_), -32768, 32767));
        if (amplitude >= 32768 && rng_() % 2) {
            const int start = static_cast<int>(rng_() % n);
            for (int i = start; i < std::min(n, start + 12); i++) v[i] = (i % 2) ? -32768 : 32767;
        }
        return v;
    }
    int amplitude() {
        static const int levels[] = {0, 3, 200, 2000, 8000, 20000, 32768};
        return levels[rng_() % 7];
    }
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  private:
    std::mt19937 rng_;
};

// Runs f twice, each from a clear Overflow flag; returns the flag.
template <typename F>
Flag overflow_after(F f) {
    Overflow = 0;
    f();
    const Flag o = Overflow;
    Overflow = 0;
    return o;
}

constexpr int kTrials = 400;

TEST(Bv32Kernels, AutocorrMatchesOperatorLoop) {
    Signals sig(1);
    for (int t = 0; t < kTrials; t++) {
        const std::vector<Word16> x = sig.make(160, sig.amplitude());
        Word32 fast[9], plain[9];
        const Flag of = overflow_after([&] { kernels::autocorr<true>(fast, x.data(), winl, 160, 8); });
        const Flag op = overflow_after([&] { kernels::autocorr<false>(plain, x.data(), winl, 160, 8); });
        ASSERT_TRUE(std::equal(fast, fast + 9, plain)) << "trial " << t;
        ASSERT_EQ(of, op) << "trial " << t;
    }
}

// Values just under a power of two after the coarse energy estimate leave a block
// whose energy still exceeds 32 bits; the shortcut must give way to the operators.
TEST(Bv32Kernels, AutocorrWithEnergyAboveThirtyTwoBits) {
    std::vector<Word16> x(160, 29312), window(160, 32767);
    std::fill(x.begin(), x.begin() + 125, 29328);
    Word32 fast[9], plain[9];
    const Flag of = overflow_after([&] { kernels::autocorr<true>(fast, x.data(), window.data(), 160, 8); });
    const Flag op = overflow_after([&] { kernels::autocorr<false>(plain, x.data(), window.data(), 160, 8); });
    EXPECT_TRUE(std::equal(fast, fast + 9, plain));
    EXPECT_EQ(op, 1);
    EXPECT_EQ(of, op);
}

TEST(Bv32Kernels, FiltersMatchOperatorLoops) {
    Signals sig(2);
    for (int t = 0; t < kTrials; t++) {
        const std::vector<Word16> x = sig.make(8 + 80, sig.amplitude());
        static const int kCoefficientLevels[] = {3000, 12000, 32768};
        std::vector<Word16> a = sig.make(9, kCoefficientLevels[t % 3]);
        a[0] = 4096;
        const int shift = 4 + t % 2;
        Word16 yf[80], yp[80];
        Flag of = overflow_after([&] { kernels::azfilter<true>(a.data(), 8, x.data() + 8, yf, 80, shift); });
        Flag op = overflow_after([&] { kernels::azfilter<false>(a.data(), 8, x.data() + 8, yp, 80, shift); });
        ASSERT_TRUE(std::equal(yf, yf + 80, yp)) << "azfilter trial " << t;
        ASSERT_EQ(of, op) << "azfilter trial " << t;

        std::vector<Word16> mem_f = sig.make(8, 32768), mem_p = mem_f;
        of = overflow_after([&] { kernels::apfilter<true>(a.data(), 8, x.data(), yf, 80, mem_f.data(), 1); });
        op =
            overflow_after([&] { kernels::apfilter<false>(a.data(), 8, x.data(), yp, 80, mem_p.data(), 1); });
        ASSERT_TRUE(std::equal(yf, yf + 80, yp)) << "apfilter trial " << t;
        ASSERT_EQ(mem_f, mem_p) << "apfilter trial " << t;
        ASSERT_EQ(of, op) << "apfilter trial " << t;

        of = overflow_after(
            [&] { kernels::apfilterQ1_Q0<true>(a.data(), 8, x.data(), yf, 80, mem_f.data(), t % 2); });
        op = overflow_after(
            [&] { kernels::apfilterQ1_Q0<false>(a.data(), 8, x.data(), yp, 80, mem_p.data(), t % 2); });
        ASSERT_TRUE(std::equal(yf, yf + 80, yp)) << "apfilterQ1_Q0 trial " << t;
        ASSERT_EQ(mem_f, mem_p) << "apfilterQ1_Q0 trial " << t;
        ASSERT_EQ(of, op) << "apfilterQ1_Q0 trial " << t;
    }
}

TEST(Bv32Kernels, CodebookScalingMatchesOperatorLoop) {
    for (int g = -32768; g <= 32767; g += 97) {
        for (const int gain : {g, -32768, 32767}) {
            Word16 fast[VDIM * CBSZ], plain[VDIM * CBSZ];
            const Flag of =
                overflow_after([&] { kernels::scale_codebook<true>(static_cast<Word16>(gain), fast); });
            const Flag op =
                overflow_after([&] { kernels::scale_codebook<false>(static_cast<Word16>(gain), plain); });
            ASSERT_TRUE(std::equal(fast, fast + VDIM * CBSZ, plain)) << "gain " << gain;
            ASSERT_EQ(of, op) << "gain " << gain;
        }
    }
}

TEST(Bv32Kernels, CodebookSearchMatchesOperatorLoop) {
    Signals sig(3);
    for (int t = 0; t < 4 * kTrials; t++) {
        kernels::ZeroStateCodebook zs;
        const int level = sig.amplitude();
        const std::vector<Word16> r =
            t % 50 == 0 ? std::vector<Word16>(VDIM * CBSZ, 0) : sig.make(VDIM * CBSZ, level);
        std::copy(r.begin(), r.end(), zs.r);
        kernels::prepare_search(&zs);
        const std::vector<Word16> qzir = sig.make(VDIM, std::max(1, sig.amplitude() / 4));
        Word16 fast = -1, plain = -1;
        const Flag of = overflow_after([&] { fast = kernels::cbsearch<true>(qzir.data(), zs); });
        const Flag op = overflow_after([&] { plain = kernels::cbsearch<false>(qzir.data(), zs); });
        ASSERT_EQ(fast, plain) << "trial " << t;
        ASSERT_EQ(of, op) << "trial " << t;
    }
}

TEST(Bv32Kernels, LspSearchMatchesOperatorLoop) {
    Signals sig(4);
    for (int t = 0; t < kTrials; t++) {
        const std::vector<Word16> x = sig.make(8, sig.amplitude());
        const std::vector<Word16> own_cb = sig.make(8 * 128, sig.amplitude());
        const Word16* cb = t % 2 ? lspecb1 : own_cb.data();
        Word16 fast = -1, plain = -1;
        const Flag of = overflow_after([&] { fast = kernels::vqmse_search<true>(x.data(), cb, 8, 128); });
        const Flag op = overflow_after([&] { plain = kernels::vqmse_search<false>(x.data(), cb, 8, 128); });
        ASSERT_EQ(fast, plain) << "trial " << t;
        ASSERT_EQ(of, op) << "trial " << t;
    }
}

// One clipped difference sets Overflow although no distance reaches 32 bits.
TEST(Bv32Kernels, LspSearchFlagsAClippedDifference) {
    std::vector<Word16> x(8, 0), cb(8 * 128, 0);
    x[0] = 32767;
    cb[0] = -20000;
    Word16 fast = -1, plain = -1;
    const Flag of = overflow_after([&] { fast = kernels::vqmse_search<true>(x.data(), cb.data(), 8, 128); });
    const Flag op =
        overflow_after([&] { plain = kernels::vqmse_search<false>(x.data(), cb.data(), 8, 128); });
    EXPECT_EQ(fast, plain);
    EXPECT_EQ(op, 1);
    EXPECT_EQ(of, op);
}

// A loud frame after a quiet past: the energy lies just above 32 bits and sits in
// the first sums of the search, which saturate.
std::vector<Word16> loud_after_quiet(Signals& sig, int n, int frame, int amplitude) {
    std::vector<Word16> v = sig.make(n, 3);
    for (int i = n - frame; i < n; i++) v[i] = static_cast<Word16>(amplitude + sig.uniform(-50, 50));
    return v;
}

TEST(Bv32Kernels, PitchSearchesMatchOperatorLoops) {
    Signals sig(5);
    for (int t = 0; t < kTrials; t++) {
        const bool edge = t % 8 == 0;
        const int level = sig.amplitude();
        const std::vector<Word16> xwd = edge ? loud_after_quiet(sig, LXD, 30, 10400) : sig.make(LXD, level);
        Word32 cf[MAXPPD1 + 1], ef[MAXPPD1 + 1], cp[MAXPPD1 + 1], ep[MAXPPD1 + 1];
        Flag of = overflow_after([&] { kernels::pitch_correlations<true>(xwd.data(), cf + 1, ef + 1); });
        Flag op = overflow_after([&] { kernels::pitch_correlations<false>(xwd.data(), cp + 1, ep + 1); });
        ASSERT_TRUE(std::equal(cf, cf + MAXPPD1 + 1, cp)) << "trial " << t;
        ASSERT_TRUE(std::equal(ef, ef + MAXPPD1 + 1, ep)) << "trial " << t;
        ASSERT_EQ(of, op) << "trial " << t;

        const std::vector<Word16> x = edge ? loud_after_quiet(sig, LX, FRSZ, 6000) : sig.make(LX, level);
        const auto lb = static_cast<Word16>(sig.uniform(MINPP, MAXPP - 2));
        const auto ub = static_cast<Word16>(std::min(lb + 12, MAXPP - 1));
        Word32 cor_f, en_f, cor_p, en_p;
        Word16 pf = 0, pp = 0;
        of = overflow_after([&] { pf = kernels::refine_search<true>(x.data(), lb, ub, &cor_f, &en_f); });
        op = overflow_after([&] { pp = kernels::refine_search<false>(x.data(), lb, ub, &cor_p, &en_p); });
        ASSERT_EQ(pf, pp) << "trial " << t;
        ASSERT_EQ(cor_f, cor_p) << "trial " << t;
        ASSERT_EQ(en_f, en_p) << "trial " << t;
        ASSERT_EQ(of, op) << "trial " << t;
    }
}

TEST(Bv32Kernels, ExcitationQuantiserMatchesOperatorLoop) {
    Signals sig(6);
    for (int t = 0; t < kTrials; t++) {
        const int level = sig.amplitude();
        // Weighting filters from gentle to ones whose gain rules the shortcut out.
        std::vector<Word16> h = sig.make(LPCO + 1, t % 3 == 0 ? 32768 : 6000);
        h[0] = 4096;
        Word16 cb[VDIM * CBSZ];
        const auto gain = static_cast<Word16>(sig.uniform(4096, 8192));
        for (int i = 0; i < VDIM * CBSZ; i++) cb[i] = mult_r(gain, cccb[i]);
        const Word16* b = &pp9cb[9 * sig.uniform(0, 31)];
        const auto beta = static_cast<Word16>(sig.uniform(0, 4096));
        const auto pp = static_cast<Word16>(sig.uniform(MINPP, MAXPP));
        const auto gain_exp = static_cast<Word16>(sig.uniform(0, 12));

        std::vector<Word16> d_f = sig.make(SFSZ, level), d_p = d_f;
        std::vector<Word16> lts_f = sig.make(MAXPP1 + SFSZ, level), lts_p = lts_f;
        std::vector<Word16> ltn_f = sig.make(MAXPP1 + SFSZ, level), ltn_p = ltn_f;
        std::vector<Word16> stn_f = sig.make(LPCO, level), stn_p = stn_f;
        Word16 idx_f[NVPSSF], idx_p[NVPSSF];
        const Flag of = overflow_after([&] {
            kernels::excquan<true>(idx_f, d_f.data(), h.data(), b, beta, lts_f.data(), ltn_f.data(),
                                   stn_f.data(), cb, pp, gain_exp);
        });
        const Flag op = overflow_after([&] {
            kernels::excquan<false>(idx_p, d_p.data(), h.data(), b, beta, lts_p.data(), ltn_p.data(),
                                    stn_p.data(), cb, pp, gain_exp);
        });
        ASSERT_TRUE(std::equal(idx_f, idx_f + NVPSSF, idx_p)) << "trial " << t;
        ASSERT_EQ(d_f, d_p) << "trial " << t;
        ASSERT_EQ(lts_f, lts_p) << "trial " << t;
        ASSERT_EQ(ltn_f, ltn_p) << "trial " << t;
        ASSERT_EQ(stn_f, stn_p) << "trial " << t;
        ASSERT_EQ(of, op) << "trial " << t;
    }
}

}  // namespace
