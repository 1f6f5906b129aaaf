#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "resample/dsp/sliding_products.h"

namespace {

using quillon::dsp::prepareSlidingProducts;
using quillon::dsp::runSlidingProducts;
using quillon::dsp::SlidingProducts;
using quillon::dsp::slidingProductsAvailable;

std::vector<double> randomValues(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v)
        x = dist(gen);
    return v;
}

// A polyphase cycle: phase i reads row rows[i] and then moves on by advance[i] samples.
struct Cycle {
    int q;
    std::vector<int> rows, advance;
};

// Upsampler-like (advances of 0 or 1) and downsampler-like (several samples per output) cycles,
// with periods that are and are not multiples of four.
Cycle upCycle() {
    Cycle c{10, {}, {}};
    const int P = 160, M = 49;
    for (int i = 0; i < 3 * P; ++i) {
        const int offset = P - (M * i) % P;
        c.rows.push_back(offset == P ? 0 : offset);
        c.advance.push_back(c.rows.back() < M ? 1 : 0);
    }
    return c;
}

Cycle downCycle() {
    Cycle c{33, {}, {}};
    const int P = 49, M = 160;
    for (int i = 0; i < P; ++i) {
        const int offset = P - (M * i) % P;
        c.rows.push_back(offset == P ? 0 : offset);
    }
    for (int i = 0; i < P; ++i)
        c.advance.push_back((M - c.rows[i]) / P + 1 - (c.rows[(i + 1) % P] == 0 ? 1 : 0));
    return c;
}

class SlidingProductsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!slidingProductsAvailable())
            GTEST_SKIP() << "no AVX2 and FMA here: the stages compute one product at a time";
    }
};

// Every output must equal its own inner product summed in tap order; fused multiply-adds round
// each term once less, so the bound is a few units in the last place of the sum.
TEST_F(SlidingProductsTest, GroupsGiveEachOutputItsOwnOrderedSum) {
    for (const Cycle& cycle : {upCycle(), downCycle()}) {
        const int period = static_cast<int>(cycle.rows.size());
        const int q = cycle.q;
        const auto table = randomValues(static_cast<std::size_t>(period + 1) * q, 1);
        for (bool aligned : {false, true}) {
            if (aligned && period % 4 != 0)
                continue;
            SlidingProducts sp;
            ASSERT_TRUE(prepareSlidingProducts(sp, table.data(), q, cycle.rows.data(),
                                               cycle.advance.data(), period, aligned));
            const std::size_t groups = 300;
            const int start = aligned ? 8 : 7; // also a start phase that is not a multiple of 4
            for (int channels : {1, 2, 3}) {
                const auto s = randomValues(static_cast<std::size_t>(channels) * 8000, 2);
                std::vector<double> out(groups * 4 * channels, 0.0);
                const double* s1 = channels >= 2 ? s.data() + 1 : nullptr;
                double* out1 = channels >= 2 ? out.data() + 1 : nullptr;
                const int after = runSlidingProducts(sp, start, groups, 5, s.data(), s1, channels,
                                                     out.data(), out1, channels);
                EXPECT_EQ(after, static_cast<int>((start + groups * 4) % period));
                int phase = start;
                std::ptrdiff_t at = 5;
                double worst = 0.0;
                for (std::size_t m = 0; m < groups * 4; ++m) {
                    for (int c = 0; c < std::min(channels, 2); ++c) {
                        double sum = 0.0;
                        const double* row = table.data() + cycle.rows[phase] * q;
                        for (int t = 0; t < q; ++t)
                            sum += row[t] * s[(at + t) * channels + c];
                        worst = std::max(worst, std::abs(out[m * channels + c] - sum));
                    }
                    if (channels == 3) { // a third channel is not this call's to write
                        ASSERT_EQ(out[m * channels + 2], 0.0);
                    }
                    at += cycle.advance[phase];
                    phase = (phase + 1) % period;
                }
                EXPECT_LT(worst, 1e-14) << "q " << q << " channels " << channels;
            }
        }
    }
}

TEST_F(SlidingProductsTest, RefusesWhatItCannotGroup) {
    const Cycle up = upCycle();
    const auto table = randomValues(static_cast<std::size_t>(161) * up.q, 3);
    SlidingProducts sp;
    // A period that is not a multiple of four cannot promise aligned groups.
    EXPECT_FALSE(
        prepareSlidingProducts(sp, table.data(), up.q, up.rows.data(), up.advance.data(), 6, true));
    EXPECT_EQ(sp.period, 0);
    // One tap read every other sample: a group would cost more than four single products.
    const int rows[] = {0}, advance[] = {2};
    EXPECT_FALSE(prepareSlidingProducts(sp, table.data(), 1, rows, advance, 1, false));
    const int backwards[] = {-1};
    EXPECT_FALSE(prepareSlidingProducts(sp, table.data(), up.q, rows, backwards, 1, false));
    EXPECT_FALSE(prepareSlidingProducts(sp, table.data(), 0, rows, advance, 1, false));
    // Not set up: nothing is written and the phase stays.
    std::vector<double> s(64, 1.0), out(16, 7.0);
    EXPECT_EQ(runSlidingProducts(sp, 3, 4, 0, s.data(), nullptr, 1, out.data(), nullptr, 1), 3);
    EXPECT_EQ(out[0], 7.0);
}

} // namespace
