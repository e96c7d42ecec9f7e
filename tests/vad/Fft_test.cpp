#include "vad/Fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

TEST(Fft, RealftMatchesDirectDftInPairLayout) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
    CFft fft;
    for (int n = 2; n <= 2048; n *= 2) {
        std::vector<float> data(n + 1);
        data[0] = 12345.0f;  // must stay untouched
        for (int j = 1; j <= n; ++j) data[j] = dist(rng);
        std::vector<std::complex<double>> expected(n / 2 + 1);
        for (int k = 0; k <= n / 2; ++k) {
            for (int j = 0; j < n; ++j)
                expected[k] += std::polar(double{data[j + 1]}, -2.0 * M_PI * j * k / n);
        }
        ASSERT_TRUE(fft.Realft(data.data(), n));
        const double tol = 2e-6 * 1000.0 * n;
        EXPECT_EQ(12345.0f, data[0]);
        EXPECT_NEAR(expected[0].real(), data[1], tol) << "n " << n;
        EXPECT_NEAR(expected[n / 2].real(), data[2], tol) << "n " << n;
        for (int k = 1; k < n / 2; ++k) {
            ASSERT_NEAR(expected[k].real(), data[2 * k + 1], tol) << "n " << n << " bin " << k;
            ASSERT_NEAR(expected[k].imag(), data[2 * k + 2], tol) << "n " << n << " bin " << k;
        }
    }
}

TEST(Fft, RefusesLengthsThatAreNotPowersOfTwo) {
    CFft fft;
    std::vector<float> data(13, 1.0f);
    for (int n : {0, 1, 3, 6, 12, -4}) EXPECT_FALSE(fft.Realft(data.data(), n)) << n;
    EXPECT_FALSE(fft.Realft(nullptr, 8));
    EXPECT_EQ(std::vector<float>(13, 1.0f), data);
}

}  // namespace
