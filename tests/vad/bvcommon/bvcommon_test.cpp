// Shared stages with behaviour beyond what the reference vectors reach, and the
// memory helpers.
#include "vad/bvcommon/bvcommon.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <random>
#include <vector>

#include "vad/bv32/bv32.h"
#include "vad/bv32/bv32dec.h"
#include "vad/bv32/tables.h"
#include "vad/bvcommon/memutil.h"
#include "vad/bvcommon/utility.h"

namespace {

using namespace bv32;

TEST(BvCommonStages, LevinsonKeepsThePreviousFilterWhenUnstable) {
    // A pure sinusoid is predicted perfectly by two taps: |rc2| reaches 1.
    Word32 r[LPCO + 1];
    for (int i = 0; i <= LPCO; i++) r[i] = static_cast<Word32>(std::lround(0x40000000 * std::cos(0.3 * i)));
    Word16 a[LPCO + 1];
    Word16 old_a[LPCO + 1] = {4096, 11, 22, 33, 44, 55, 66, 77, 88};
    Levinson(r, a, old_a, LPCO);
    const Word16 want[LPCO + 1] = {4096, 11, 22, 33, 44, 55, 66, 77, 88};
    EXPECT_TRUE(std::equal(a, a + LPCO + 1, want));
    EXPECT_TRUE(std::equal(old_a, old_a + LPCO + 1, want));

    // A decaying correlation gives a first-order filter, which becomes the new old_a.
    for (int i = 0; i <= LPCO; i++) r[i] = static_cast<Word32>(std::lround(0x40000000 * std::pow(0.5, i)));
    Levinson(r, a, old_a, LPCO);
    EXPECT_EQ(a[0], 4096);
    EXPECT_NEAR(a[1], -2048, 2);
    for (int i = 2; i <= LPCO; i++) EXPECT_NEAR(a[i], 0, 2) << i;
    EXPECT_TRUE(std::equal(a + 1, a + LPCO + 1, old_a + 1));
}

TEST(BvCommonStages, LspConversionsInvertEachOther) {
    std::mt19937 rng(31);
    for (int trial = 0; trial < 100; trial++) {
        // Spread over the band like speech spectra (clustered LSPs overflow the Q12
        // coefficients, and the grid search is coarse near 0 and 1).
        Word16 lsp[LPCO];
        int w = 1000;
        for (Word16& v : lsp) v = static_cast<Word16>(w += 2000 + static_cast<int>(rng() % 1600));
        Word16 a[LPCO + 1], back[LPCO];
        lsp2a(lsp, a);
        const Word16 old[LPCO] = {1, 2, 3, 4, 5, 6, 7, 8};
        a2lsp(a, back, old);
        for (int i = 0; i < LPCO; i++) ASSERT_NEAR(back[i], lsp[i], 16) << "trial " << trial << " lsp " << i;
    }
}

TEST(BvCommonStages, LspStabilisationOrdersAndSpaces) {
    std::mt19937 rng(32);
    for (int trial = 0; trial < 1000; trial++) {
        Word16 lsp[LPCO];
        for (Word16& v : lsp) v = static_cast<Word16>(trial % 2 ? rng() % 32768 : 16000 + rng() % 600);
        stblz_lsp(lsp, LPCO);
        ASSERT_GE(lsp[0], LSPMIN);
        ASSERT_LE(lsp[LPCO - 1], LSPMAX);
        for (int i = 1; i < LPCO; i++) ASSERT_GE(lsp[i] - lsp[i - 1], DLSPMIN) << "trial " << trial;
    }
    const Word16 ordered[3] = {0, 5, 5}, reversed[3] = {0, 5, 4}, negative[3] = {-1, 5, 6};
    EXPECT_EQ(stblchck(ordered, 3), 1);
    EXPECT_EQ(stblchck(reversed, 3), 0);
    EXPECT_EQ(stblchck(negative, 3), 0);
}

TEST(BvCommonMemory, RangeAllocatorsAndCopies) {
    Word16* w16 = allocWord16(0, 79);
    for (int i = 0; i < 80; i++) w16[i] = static_cast<Word16>(i);
    deallocWord16(w16, 0, 79);
    Word32* w32 = allocWord32(-5, 5);
    for (int i = -5; i <= 5; i++) w32[i] = i;
    EXPECT_EQ(w32[-5] + w32[5], 0);
    deallocWord32(w32, -5, 5);

    BV32_Encoder_State* enc = allocEncoderState(1, 2);
    Reset_BV32_Encoder(&enc[1]);
    Reset_BV32_Encoder(&enc[2]);
    EXPECT_EQ(enc[2].cpplast, 96);
    deallocEncoderState(enc, 1, 2);
    BV32_Decoder_State* dec = allocDecoderState(0, 0);
    deallocDecoderState(dec, 0, 0);
    BV32_Bit_Stream* bs = allocBitStream(0, 0);
    deallocBitStream(bs, 0, 0);

    // Copies run in ascending order, also into an overlapping target.
    Word16 v[6] = {1, 2, 3, 4, 5, 6};
    W16copy(v + 1, v, 4);
    EXPECT_EQ(std::vector<Word16>(v, v + 6), (std::vector<Word16>{1, 1, 1, 1, 1, 6}));
    Word16 u[6] = {1, 2, 3, 4, 5, 6};
    W16copy(u, u + 2, 4);
    EXPECT_EQ(std::vector<Word16>(u, u + 6), (std::vector<Word16>{3, 4, 5, 6, 5, 6}));
    W16copy(u, v, 0);
    W16zero(u, -3);
    EXPECT_EQ(u[0], 3);
    W16zero(u, 2);
    EXPECT_EQ(u[1], 0);
    Word32 l[3] = {7, 8, 9};
    W32copy(l, l + 1, 2);
    EXPECT_EQ(l[1], 9);
}

TEST(BvCommonMemoryDeathTest, AllocatorsEndTheProcessWhenNothingCanBeHad) {
    const auto to_stderr = [] { dup2(STDERR_FILENO, STDOUT_FILENO); };
    EXPECT_EXIT((to_stderr(), allocWord16(0, LONG_MAX)), ::testing::ExitedWithCode(1),
                "Memory allocation error in allocWord16\\(\\)");
    EXPECT_EXIT((to_stderr(), allocEncoderState(5, 2)), ::testing::ExitedWithCode(1),
                "Memory allocation error in allocEncoderState\\(\\)");
}

}  // namespace
