#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "resample/dsp/pair_convolver.h"

namespace {

using quillon::dsp::convolvePair;
using quillon::dsp::pairBinPosition;
using quillon::dsp::PairConvolver;
using quillon::dsp::pairConvolverAvailable;
using quillon::dsp::pairForward;
using quillon::dsp::pairInverse;
using quillon::dsp::preparePairConvolver;

std::vector<double> randomSignal(std::size_t n, unsigned seed, std::size_t nonZero) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(n, 0.0);
    for (std::size_t i = 0; i < nonZero; ++i)
        x[i] = dist(gen);
    return x;
}

const long double pi = 3.141592653589793238462643383279502884L;

// Sizes with 16- and 32-point leaves, and with levels that keep w alone as well as all three
// twiddles per group.
const int sizes[] = {64, 128, 256, 2048, 16384, 32768};

// A plan for n points; the kernel does not matter to the transforms alone.
PairConvolver planFor(int n) {
    const std::vector<double> taps(static_cast<std::size_t>(n), 0.0);
    PairConvolver plan;
    EXPECT_TRUE(preparePairConvolver(plan, n, taps.data()));
    return plan;
}

class PairConvolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pairConvolverAvailable())
            GTEST_SKIP() << "no AVX2 and FMA here: the converters use realFft alone";
    }
};

TEST_F(PairConvolverTest, ForwardBinsMatchTheDftWhereTheOrderPutsThem) {
    for (int n : sizes) {
        const PairConvolver plan = planFor(n);
        auto re = randomSignal(n, 1, n), im = randomSignal(n, 2, n);
        const auto x = re, y = im;
        pairForward(plan, re.data(), im.data());
        // Every bin for small sizes; a spread of them for the large ones.
        const std::size_t stride = n <= 2048 ? 1 : 97;
        std::vector<bool> seen(n, false);
        std::vector<long double> c(n), s(n); // e^(-2 pi i m/n), indexed by j k mod n
        for (int m = 0; m < n; ++m) {
            c[m] = std::cos(2 * pi * m / n);
            s[m] = -std::sin(2 * pi * m / n);
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(n); k += stride) {
            long double sr = 0, si = 0;
            for (std::size_t j = 0; j < static_cast<std::size_t>(n); ++j) {
                const std::size_t m = (j * k) % n;
                sr += x[j] * c[m] - y[j] * s[m];
                si += x[j] * s[m] + y[j] * c[m];
            }
            const std::size_t at = pairBinPosition(plan, k);
            ASSERT_LT(at, static_cast<std::size_t>(n));
            EXPECT_FALSE(seen[at]) << "two bins at " << at;
            seen[at] = true;
            EXPECT_NEAR(re[at], static_cast<double>(sr), 1e-11 * n) << "n " << n << " bin " << k;
            EXPECT_NEAR(im[at], static_cast<double>(si), 1e-11 * n) << "n " << n << " bin " << k;
        }
    }
}

TEST_F(PairConvolverTest, InverseUndoesForwardTimesN) {
    for (int n : sizes) {
        const PairConvolver plan = planFor(n);
        auto re = randomSignal(n, 3, n), im = randomSignal(n, 4, n);
        const auto x = re, y = im;
        pairForward(plan, re.data(), im.data());
        pairInverse(plan, re.data(), im.data());
        double worst = 0;
        for (int i = 0; i < n; ++i) {
            worst = std::max(worst, std::abs(re[i] / n - x[i]));
            worst = std::max(worst, std::abs(im[i] / n - y[i]));
        }
        EXPECT_LT(worst, 1e-14) << "n " << n;
    }
}

// The converters' use: half-length blocks, zero-padded, against a half-length kernel; each part
// must come back as its own linear convolution, with no leakage between the two.
TEST_F(PairConvolverTest, ConvolvesBothPartsLikeTheDirectSum) {
    for (int n : sizes) {
        if (n > 2048)
            continue; // the direct sums grow as n squared
        const std::size_t half = static_cast<std::size_t>(n) / 2;
        const auto taps = randomSignal(n, 5, half - 1);
        PairConvolver plan;
        ASSERT_TRUE(preparePairConvolver(plan, n, taps.data()));
        for (bool upperZero : {false, true}) {
            auto re = randomSignal(n, 6, half), im = randomSignal(n, 7, half);
            const auto x = re, y = im;
            if (upperZero) { // stale second halves must not be read
                for (std::size_t i = half; i < static_cast<std::size_t>(n); ++i)
                    re[i] = im[i] = 1e300;
            }
            convolvePair(plan, re.data(), im.data(), upperZero);
            double worst = 0;
            for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
                long double a = 0, b = 0;
                for (std::size_t t = 0; t <= i; ++t) {
                    a += static_cast<long double>(taps[t]) * x[i - t];
                    b += static_cast<long double>(taps[t]) * y[i - t];
                }
                worst = std::max(worst, static_cast<double>(std::abs(re[i] - a)));
                worst = std::max(worst, static_cast<double>(std::abs(im[i] - b)));
            }
            EXPECT_LT(worst, 1e-12) << "n " << n << " upperZero " << upperZero;
        }
    }
}

TEST_F(PairConvolverTest, RefusesSizesItCannotRun) {
    const std::vector<double> taps(128, 0.0);
    PairConvolver plan;
    for (int n : {0, 32, 96, -64}) {
        EXPECT_FALSE(preparePairConvolver(plan, n, taps.data())) << n;
        EXPECT_EQ(plan.points, 0);
    }
    // An empty plan leaves the data alone.
    std::vector<double> re(64, 1.0), im(64, 2.0);
    convolvePair(plan, re.data(), im.data(), false);
    EXPECT_EQ(re[5], 1.0);
    EXPECT_EQ(im[63], 2.0);
}

} // namespace
