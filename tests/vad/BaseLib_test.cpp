#include "vad/BaseLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FrontEndTestUtil.h"

namespace {

TEST(Fft, UnitImpulseGivesFlatSpectrum) {
    std::vector<COMPLEX> x(256, COMPLEX{0.0f, 0.0f});
    x[0].real = 1.0f;
    FFT(x.data(), 8);
    for (const COMPLEX& c : x) {
        EXPECT_EQ(c.real, 1.0f);
        EXPECT_EQ(c.image, 0.0f);
    }
}

TEST(Fft, ConstantGivesOnlyDc) {
    std::vector<COMPLEX> x(256, COMPLEX{1.0f, 0.0f});
    FFT(x.data(), 8);
    EXPECT_FLOAT_EQ(x[0].real, 256.0f);
    EXPECT_NEAR(x[0].image, 0.0f, 1e-4);
    for (size_t k = 1; k < x.size(); ++k) {
        EXPECT_NEAR(x[k].real, 0.0f, 1e-4) << k;
        EXPECT_NEAR(x[k].image, 0.0f, 1e-4) << k;
    }
}

TEST(Fft, MatchesDirectTransformWithForwardSign) {
    const int n = 256;
    fetest::Lcg g(3);
    std::vector<COMPLEX> x(n);
    for (COMPLEX& c : x) c = COMPLEX{static_cast<float>(1000.0 * g.next()), 0.0f};
    std::vector<COMPLEX> y = x;
    FFT(y.data(), 8);
    for (int k = 0; k < n; k += 7) {
        double re = 0.0;
        double im = 0.0;
        for (int i = 0; i < n; ++i) {
            const double a = -2.0 * M_PI * k * i / n;
            re += x[i].real * std::cos(a);
            im += x[i].real * std::sin(a);
        }
        EXPECT_NEAR(y[k].real, re, 0.05) << k;
        EXPECT_NEAR(y[k].image, im, 0.05) << k;
    }
}

TEST(Fft, SmallOrdersAndOrderZero) {
    COMPLEX two[2] = {{3.0f, 0.0f}, {5.0f, 0.0f}};
    FFT(two, 1);
    EXPECT_EQ(two[0].real, 8.0f);
    EXPECT_EQ(two[1].real, -2.0f);

    COMPLEX one[1] = {{7.0f, 1.0f}};
    FFT(one, 0);
    EXPECT_EQ(one[0].real, 7.0f);
    EXPECT_EQ(one[0].image, 1.0f);

    // Four points: a sine at bin 1 lands in bins 1 and 3 with opposite imaginary parts.
    COMPLEX four[4] = {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 0.0f}, {-1.0f, 0.0f}};
    FFT(four, 2);
    EXPECT_NEAR(four[1].image, -2.0f, 1e-6);
    EXPECT_NEAR(four[3].image, 2.0f, 1e-6);
    EXPECT_NEAR(four[0].real, 0.0f, 1e-6);
    EXPECT_NEAR(four[2].real, 0.0f, 1e-6);
}

std::vector<double> sorted(std::vector<double> v) {
    Sort_QuickSort(v.data(), v.size());
    return v;
}

TEST(QuickSort, OrdersTypicalInputsAscending) {
    for (size_t n : {8u, 17u}) {
        std::vector<double> up(n);
        for (size_t i = 0; i < n; ++i) up[i] = -27.7 + 1e-6 * static_cast<double>(i);
        std::vector<double> down(up.rbegin(), up.rend());
        std::vector<double> equal(n, -27.7258872);
        EXPECT_EQ(sorted(up), up);
        EXPECT_EQ(sorted(down), up);
        EXPECT_EQ(sorted(equal), equal);

        fetest::Lcg g(static_cast<uint32_t>(n));
        std::vector<double> mixed(n);
        for (double& d : mixed) d = std::round(g.next() * 4.0);  // many duplicates
        std::vector<double> expect = mixed;
        std::sort(expect.begin(), expect.end());
        EXPECT_EQ(sorted(mixed), expect);
    }
}

TEST(QuickSort, ShortInputsAreLeftAlone) {
    double one = 5.0;
    EXPECT_TRUE(Sort_QuickSort(&one, 1));
    EXPECT_EQ(one, 5.0);
    EXPECT_TRUE(Sort_QuickSort(nullptr, 0));
}

TEST(QuickSort, PartitionPlacesPivotBetweenSmallerAndLarger) {
    std::vector<double> v = {5.0, 9.0, 1.0, 5.0, 7.0, 2.0, 8.0, 5.0};
    const unsigned long p = OneQuickSort(v.data(), 0, v.size() - 1);
    ASSERT_LT(p, v.size());
    EXPECT_EQ(v[p], 5.0);
    for (unsigned long i = 0; i < p; ++i) EXPECT_LE(v[i], 5.0);
    for (unsigned long i = p + 1; i < v.size(); ++i) EXPECT_GE(v[i], 5.0);
}

}  // namespace
