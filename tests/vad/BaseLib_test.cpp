#include "vad/BaseLib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "FrontEndTestUtil.h"

namespace {

TEST(Fft, ImpulseConstantAndDirectTransform) {
    std::vector<COMPLEX> x(256, COMPLEX{0.0f, 0.0f});
    x[0].real = 1.0f;
    FFT(x.data(), 8);
    for (const COMPLEX& c : x) EXPECT_TRUE(c.real == 1.0f && c.image == 0.0f);

    std::fill(x.begin(), x.end(), COMPLEX{1.0f, 0.0f});
    FFT(x.data(), 8);
    EXPECT_FLOAT_EQ(x[0].real, 256.0f);
    for (size_t k = 1; k < x.size(); ++k) EXPECT_NEAR(std::hypot(x[k].real, x[k].image), 0.0, 1e-4) << k;

    // Forward sign: X[k] = sum x[i] e^(-2 pi i k n / N).
    fetest::Lcg g(3);
    std::vector<COMPLEX> in(256);
    for (COMPLEX& c : in) c = COMPLEX{static_cast<float>(1000.0 * g.next()), 0.0f};
    std::vector<COMPLEX> y = in;
    FFT(y.data(), 8);
    for (int k = 0; k < 256; k += 7) {
        double re = 0.0, im = 0.0;
        for (int i = 0; i < 256; ++i) {
            re += in[i].real * std::cos(-2.0 * M_PI * k * i / 256);
            im += in[i].real * std::sin(-2.0 * M_PI * k * i / 256);
        }
        EXPECT_NEAR(y[k].real, re, 0.05) << k;
        EXPECT_NEAR(y[k].image, im, 0.05) << k;
    }

    COMPLEX two[2] = {{3.0f, 0.0f}, {5.0f, 0.0f}};
    FFT(two, 1);
    EXPECT_TRUE(two[0].real == 8.0f && two[1].real == -2.0f);
    FFT(two, 0);  // order 0 does nothing
    EXPECT_EQ(two[0].real, 8.0f);
}

TEST(QuickSort, SortedReversedEqualAndDuplicateInputs) {
    for (size_t n : {0u, 1u, 2u, 8u, 17u}) {
        std::vector<double> up(n);
        for (size_t i = 0; i < n; ++i) up[i] = -27.7 + 1e-6 * static_cast<double>(i);
        std::vector<double> down(up.rbegin(), up.rend());
        std::vector<double> equal(n, -27.7258872);
        fetest::Lcg g(static_cast<uint32_t>(n));
        std::vector<double> mixed(n);
        for (double& d : mixed) d = std::round(g.next() * 4.0);
        for (std::vector<double>* v : {&up, &down, &equal, &mixed}) {
            std::vector<double> expect = *v;
            std::sort(expect.begin(), expect.end());
            EXPECT_TRUE(Sort_QuickSort(v->data(), v->size()));
            EXPECT_EQ(*v, expect) << n;
        }
    }
    std::vector<double> v = {5.0, 9.0, 1.0, 5.0, 7.0, 2.0, 8.0, 5.0};
    const unsigned long p = OneQuickSort(v.data(), 0, v.size() - 1);
    EXPECT_EQ(v[p], 5.0);
    for (unsigned long i = 0; i < v.size(); ++i) EXPECT_TRUE(i < p ? v[i] <= 5.0 : v[i] >= 5.0) << i;
}

}  // namespace
