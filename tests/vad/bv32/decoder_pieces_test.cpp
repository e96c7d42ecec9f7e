// Decoder pieces against the encoder stages they invert.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "vad/bv32/bv32dec.h"
#include "vad/bv32/stages.h"
#include "vad/bv32/tables.h"
#include "vad/itug191lib/basop32.h"

namespace {

using namespace bv32;

struct GainState {
    Word16 lgpm[LGPORDER] = {};
    Word32 prevlg[2] = {MinE, MinE};
    Word32 lmax = MIN_32, lmin = MAX_32, lmean = 0x10000000, x1 = 0x1b000000, level = 0x1b000000;

    void track_level() { estlevel(prevlg[0], &level, &lmax, &lmin, &lmean, &x1); }
};

TEST(Bv32DecoderPieces, GainDecoderFollowsTheQuantiser) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> log_energy(4.0, 30.0);
    GainState enc, dec;
    Word16 nclglim = 0;
    for (int sf = 0; sf < 2000; sf++) {
        // Runs of loud and quiet subframes, with jumps between them.
        const auto ee = static_cast<Word32>(std::exp2((sf / 40) % 2 ? log_energy(rng) : log_energy(rng) / 3));
        Word32 gain_enc;
        const Word16 gidx = gainquan(&gain_enc, ee, enc.lgpm, enc.prevlg, enc.level);
        enc.track_level();

        Word32 lgq;
        const Word32 gain_dec = gaindec(&lgq, gidx, dec.lgpm, dec.prevlg, dec.level, &nclglim, 0);
        dec.track_level();

        ASSERT_EQ(gain_dec, gain_enc) << "subframe " << sf;
        ASSERT_EQ(lgq, enc.prevlg[0]) << "subframe " << sf;
        ASSERT_TRUE(std::equal(dec.lgpm, dec.lgpm + LGPORDER, enc.lgpm)) << "subframe " << sf;
        ASSERT_EQ(dec.level, enc.level) << "subframe " << sf;
        ASSERT_EQ(nclglim, 0) << "subframe " << sf;
    }
}

TEST(Bv32DecoderPieces, GainDecoderLimitsAnExcessiveIncrease) {
    GainState dec;
    Word16 nclglim = 0;
    Word32 lgq;
    // From silence the largest codeword exceeds the allowed change.
    const Word16 top = idxord[LGPECBSZ - 1];
    gaindec(&lgq, top, dec.lgpm, dec.prevlg, dec.level, &nclglim, 0);
    EXPECT_EQ(lgq, MinE);  // the previous log-gain is kept
    EXPECT_EQ(nclglim, 1);
    // With the level-convergence timer running, no limit applies.
    GainState timed;
    Word16 timed_count = 0;
    gaindec(&lgq, top, timed.lgpm, timed.prevlg, timed.level, &timed_count, 5);
    EXPECT_GT(lgq, MinE);
    EXPECT_EQ(timed_count, 0);
    // Indices beyond 5 bits decode as their low bits.
    GainState a, b;
    Word16 na = 0, nb = 0;
    Word32 lga, lgb;
    EXPECT_EQ(gaindec(&lga, 7, a.lgpm, a.prevlg, a.level, &na, 0),
              gaindec(&lgb, 32 + 7, b.lgpm, b.prevlg, b.level, &nb, 0));
    EXPECT_EQ(lga, lgb);
}

TEST(Bv32DecoderPieces, ExcitationDecoderReproducesTheQuantisedExcitation) {
    std::mt19937 rng(22);
    std::uniform_int_distribution<int> residual(-3000, 3000), history(-2000, 2000);
    const Word16 h[LPCO + 1] = {4096, -3000, 1800, -900, 400, -200, 100, -50, 20};
    for (int trial = 0; trial < 50; trial++) {
        const auto pp = static_cast<Word16>(MINPP + rng() % (MAXPP - MINPP + 1));
        Word16 b[3];
        pp3dec(static_cast<Word16>(rng() % PPCBSZ), b);
        const auto gain_exp = static_cast<Word16>(rng() % 8);
        const auto gainq = static_cast<Word16>(4096 + rng() % 4097);
        Word16 cb[VDIM * CBSZ];
        for (int i = 0; i < VDIM * CBSZ; i++) cb[i] = mult_r(gainq, cccb[i]);

        std::vector<Word16> d(SFSZ), ltsym(MAXPP1 + SFSZ), ltnfm(MAXPP1 + SFSZ), stnfm(LPCO, 0);
        for (Word16& v : d) v = static_cast<Word16>(residual(rng));
        for (int i = 0; i < MAXPP1; i++) {
            ltsym[i] = static_cast<Word16>(history(rng));
            ltnfm[i] = static_cast<Word16>(history(rng) / 4);
        }
        std::vector<Word16> decoded = ltsym;
        Word16 idx[NVPSSF];
        excquan(idx, d.data(), h, b, 2048, ltsym.data(), ltnfm.data(), stnfm.data(), cb, pp, gain_exp);

        Word32 qv[SFSZ], energy = -1;
        excdec_w_LT_synth(qv, decoded.data() + MAXPP1, idx, b, cb, pp, gain_exp, &energy);
        ASSERT_EQ(decoded, ltsym) << "trial " << trial;
        for (int n = 0; n < SFSZ; n++) ASSERT_EQ(round30To16(L_shl(qv[n], 1)), d[n]) << "trial " << trial;
        EXPECT_GE(energy, 0);

        // Index bits above the sign select nothing else.
        std::vector<Word16> again(decoded.begin(), decoded.begin() + MAXPP1);
        again.resize(MAXPP1 + SFSZ);
        Word16 wide[NVPSSF];
        for (int k = 0; k < NVPSSF; k++) wide[k] = static_cast<Word16>(idx[k] | 0x40);
        Word32 energy2;
        excdec_w_LT_synth(qv, again.data() + MAXPP1, wide, b, cb, pp, gain_exp, &energy2);
        ASSERT_EQ(again, decoded);
        ASSERT_EQ(energy2, energy);
    }
}

TEST(Bv32DecoderPieces, CodebookLookupsMatchTheQuantisers) {
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> sample(-6000, 6000);
    for (int trial = 0; trial < 50; trial++) {
        std::vector<Word16> x(LX);
        for (Word16& v : x) v = static_cast<Word16>(sample(rng));
        const auto pp = static_cast<Word16>(MINPP + rng() % (MAXPP - MINPP + 1));
        Word16 b[3], decoded[3];
        const Word16 idx = pitchtapquan(x.data(), pp, b);
        pp3dec(idx, decoded);
        ASSERT_TRUE(std::equal(b, b + 3, decoded));
    }
    Word16 row[5];
    vqdec(row, 31, lspecb22, 5);
    EXPECT_TRUE(std::equal(row, row + 5, lspecb22 + 31 * 5));
}

TEST(Bv32DecoderPieces, GainConcealmentUpdatesTheMemories) {
    Word16 lgeqm[GPO] = {};
    Word32 lgqm[2] = {123, 456};
    gainplc(10, lgeqm, lgqm);  // near silence: log-gain 0
    EXPECT_EQ(lgqm[0], 0);
    EXPECT_EQ(lgqm[1], 123);
    EXPECT_EQ(lgeqm[0], -lgmean);  // 0 minus the mean, nothing predicted

    lgeqm[0] = 1000;
    gainplc(40 << 20, lgeqm, lgqm);  // mean energy 2^20 per sample: log-gain 20
    EXPECT_NEAR(lgqm[0], 20.0 * (1 << 25), (1 << 25) / 1000.0);
    EXPECT_EQ(lgqm[1], 0);
    EXPECT_EQ(lgeqm[1], 1000);
}

}  // namespace
