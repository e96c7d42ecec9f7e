// G.191 basic operators and G.729 double-precision operators.
#include "vad/itug191lib/basop32.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "vad/itug729ilib/oper_32b.h"

namespace {

class Basop : public ::testing::Test {
  protected:
    void SetUp() override {
        Overflow = 0;
        Carry = 0;
    }
};

TEST_F(Basop, SixteenBitSaturationSetsOverflow) {
    EXPECT_EQ(add(32767, 1), 32767);
    EXPECT_EQ(Overflow, 1);
    Overflow = 0;
    EXPECT_EQ(add(-32768, -1), -32768);
    EXPECT_EQ(sub(-32768, 1), -32768);
    EXPECT_EQ(negate(-32768), 32767);
    EXPECT_EQ(abs_s(-32768), 32767);
    EXPECT_EQ(mult(-32768, -32768), 32767);
    EXPECT_EQ(mult_r(-32768, -32768), 32767);
    EXPECT_EQ(Overflow, 1);
    Overflow = 0;
    EXPECT_EQ(add(100, -200), -100);
    EXPECT_EQ(mult(16384, -16384), -8192);
    EXPECT_EQ(mult_r(3, 16384), 2);  // 1.5 rounds up
    EXPECT_EQ(mult(-3, 16384), -2);  // floor
    EXPECT_EQ(Overflow, 0);
}

TEST_F(Basop, ThirtyTwoBitSaturationSetsOverflow) {
    EXPECT_EQ(L_shl(0x40000000, 1), MAX_32);
    EXPECT_EQ(Overflow, 1);
    Overflow = 0;
    EXPECT_EQ(L_shl(-0x40000000, 1), MIN_32);  // exactly representable
    EXPECT_EQ(Overflow, 0);
    EXPECT_EQ(L_mult(-32768, -32768), MAX_32);
    EXPECT_EQ(L_add(MAX_32, 1), MAX_32);
    EXPECT_EQ(L_sub(MIN_32, 1), MIN_32);
    EXPECT_EQ(L_mac(MAX_32 - 1, 1, 1), MAX_32);
    EXPECT_EQ(L_negate(MIN_32), MAX_32);
    EXPECT_EQ(L_abs(MIN_32), MAX_32);
    EXPECT_EQ(Overflow, 1);
    EXPECT_EQ(round30To16(0x00008000), 1);
    EXPECT_EQ(round30To16(0x7FFFFFFF), 32767);
    EXPECT_EQ(round30To16(-0x00008001), -1);
    EXPECT_EQ(mac_r(0, 16384, 16384), 8192);
}

// Shifts against the original's definitions: a left shift doubling step by step
// with saturation, negative counts shifting the other way within the limits.
Word32 L_shl_model(Word32 v, int n) {
    if (n <= 0) {
        n = -n > 32 ? 32 : -n;
        return n >= 31 ? (v < 0 ? -1 : 0) : v >> n;
    }
    for (; n > 0; n--) {
        if (v > 0x3fffffff) return MAX_32;
        if (v < -0x40000000) return MIN_32;
        v *= 2;
    }
    return v;
}

Word16 shl_model(Word16 v, int n) {
    if (n < 0) {
        n = -n > 16 ? 16 : -n;
        return n >= 15 ? (v < 0 ? -1 : 0) : static_cast<Word16>(v >> n);
    }
    const int64_t r = static_cast<int64_t>(v) * (int64_t{1} << (n > 40 ? 40 : n));
    if (r > 32767) return 32767;
    if (r < -32768) return -32768;
    return static_cast<Word16>(r);
}

TEST_F(Basop, ShiftsMatchTheirDefinitionsForAllCounts) {
    std::mt19937 rng(7);
    const Word32 edges[] = {0, 1, -1, MAX_32, MIN_32, 0x3fffffff, -0x40000000, 0x40000000, 12345, -98765};
    for (int n = -40; n <= 40; n++) {
        for (int t = 0; t < 200; t++) {
            const Word32 v = t < 10 ? edges[t] : static_cast<Word32>(rng()) >> (rng() % 31);
            ASSERT_EQ(L_shl(v, static_cast<Word16>(n)), L_shl_model(v, n)) << v << " << " << n;
            ASSERT_EQ(L_shr(v, static_cast<Word16>(-n)), L_shl_model(v, n)) << v << " >> " << -n;
            const auto v16 = static_cast<Word16>(v >> 16);
            ASSERT_EQ(shl(v16, static_cast<Word16>(n)), shl_model(v16, n)) << v16 << " << " << n;
            ASSERT_EQ(shr(v16, static_cast<Word16>(-n)), shl_model(v16, n)) << v16 << " >> " << -n;
        }
    }
    EXPECT_EQ(shl(1, 16), 32767);
    EXPECT_EQ(shl(0, 20), 0);
    EXPECT_EQ(shr_r(3, 1), 2);
    EXPECT_EQ(shr_r(-3, 1), -1);
    EXPECT_EQ(L_shr_r(5, 1), 3);
    EXPECT_EQ(L_shr_r(MIN_32, 31), -1);
    EXPECT_EQ(L_shr_r(123, 40), 0);
}

TEST_F(Basop, NormalisationAndDivision) {
    EXPECT_EQ(norm_s(0), 0);
    EXPECT_EQ(norm_s(-1), 15);
    EXPECT_EQ(norm_s(1), 14);
    EXPECT_EQ(norm_s(-16384), 1);
    EXPECT_EQ(norm_s(-16385), 0);
    EXPECT_EQ(norm_l(0), 0);
    EXPECT_EQ(norm_l(-1), 31);
    EXPECT_EQ(norm_l(1), 30);
    EXPECT_EQ(norm_l(MIN_32), 0);
    EXPECT_EQ(norm_l(-0x40000000), 1);

    EXPECT_EQ(div_s(0, 5), 0);
    EXPECT_EQ(div_s(5, 5), 32767);
    EXPECT_EQ(div_s(1, 2), 16384);
    // The original's restoring division, 15 quotient bits.
    std::mt19937 rng(3);
    for (int t = 0; t < 20000; t++) {
        const auto den = static_cast<Word16>(1 + rng() % 32767);
        const auto num = static_cast<Word16>(rng() % den);
        int32_t n = num, q = 0;
        for (int i = 0; i < 15; i++) {
            n <<= 1;
            q <<= 1;
            if (n >= den) {
                n -= den;
                q++;
            }
        }
        ASSERT_EQ(div_s(num, den), q) << num << "/" << den;
    }
    EXPECT_EQ(div_l(0x40000000, 0x4000), 32767);  // numerator not below den * 2^16
    EXPECT_EQ(div_l(0x20000000, 0x4000), 16384);
    EXPECT_EQ(Overflow, 0);
}

TEST_F(Basop, CarryOperators) {
    EXPECT_EQ(L_add_c(MAX_32, 1), MIN_32);  // wraps, no saturation
    EXPECT_EQ(Overflow, 1);
    EXPECT_EQ(Carry, 0);
    EXPECT_EQ(L_add_c(-1, -1), -2);
    EXPECT_EQ(Overflow, 0);
    EXPECT_EQ(Carry, 1);
    EXPECT_EQ(L_add_c(1, 1), 3);  // adds the carry in
    EXPECT_EQ(Carry, 0);
    EXPECT_EQ(L_sub_c(5, 3), 1);  // borrows without a carry
    EXPECT_EQ(Carry, 1);
    EXPECT_EQ(L_sub_c(5, 3), 2);
    EXPECT_EQ(Carry, 1);
    EXPECT_EQ(L_macNs(0, 2, 3), 13);  // 2 * 2 * 3 plus the carry
    Overflow = 1;
    Carry = 1;
    EXPECT_EQ(L_sat(42), MIN_32);
    EXPECT_EQ(Overflow, 0);
    EXPECT_EQ(L_sat(42), 42);
}

TEST_F(Basop, DoublePrecisionOperators) {
    Word16 hi, lo;
    for (const Word32 v : {0, 1, -1, 0x12345678, -0x12345678, MAX_32 - 1, MIN_32}) {
        L_Extract(v, &hi, &lo);
        EXPECT_EQ(L_Comp(hi, lo), v & ~1) << v;  // the lowest bit is not kept
    }
    L_Extract(0x40000000, &hi, &lo);  // 0.5 * 0.5 = 0.25 in Q31
    EXPECT_EQ(Mpy_32(hi, lo, hi, lo), 0x20000000);
    EXPECT_EQ(Mpy_32_16(hi, lo, 16384), 0x20000000);
    Word16 dhi, dlo;
    L_Extract(0x60000000, &dhi, &dlo);  // 0.5 / 0.75 = 2/3, to about 24 bits
    EXPECT_NEAR(Div_32(0x40000000, dhi, dlo), 1431655765, 256);
}

// div_s and div_l print on standard output; the death tests read standard error.
void to_stderr() { dup2(STDERR_FILENO, STDOUT_FILENO); }

TEST(BasopDeathTest, DivSAbortsOnInvalidOperands) {
    EXPECT_DEATH((to_stderr(), div_s(3, 2)), "Division Error var1=3  var2=2");
    EXPECT_DEATH((to_stderr(), div_s(-1, 5)), "Division Error var1=-1  var2=5");
    EXPECT_DEATH((to_stderr(), div_s(0, 0)), "Division by 0, Fatal error");
}

TEST(BasopDeathTest, DivLExitsWithFailureOnInvalidOperands) {
    EXPECT_EXIT((to_stderr(), div_l(1, 0)), ::testing::ExitedWithCode(1),
                "Division by 0 in div_l, Fatal error");
    EXPECT_EXIT((to_stderr(), div_l(-1, 5)), ::testing::ExitedWithCode(1),
                "Division Error in div_l, Fatal error");
}

TEST(BasopFlags, AreKeptPerThread) {
    Overflow = 0;
    Carry = 1;
    Flag seen_overflow = -1, seen_carry = -1;
    std::thread other([&] {
        seen_overflow = Overflow;
        seen_carry = Carry;
        add(32767, 1);  // sets only this thread's flag
    });
    other.join();
    EXPECT_EQ(seen_overflow, 0);
    EXPECT_EQ(seen_carry, 0);
    EXPECT_EQ(Overflow, 0);
    EXPECT_EQ(Carry, 1);
    Carry = 0;
}

}  // namespace
