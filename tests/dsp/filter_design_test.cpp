#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "resample/dsp/filter_design.h"

namespace {

using namespace quillon::dsp;

// I0 from its power series in long double; every term is positive, so the sum is accurate to
// a few units of 1e-19 relative.
long double seriesI0(long double x) {
    long double q = x * x / 4, term = 1, sum = 1;
    for (int k = 1; term > sum * 1e-21L; ++k) {
        term *= q / (static_cast<long double>(k) * k);
        sum += term;
    }
    return sum;
}

double relativeError(double got, long double want) {
    return static_cast<double>(std::fabs((got - want) / want));
}

TEST(BesselI0, KnownValues) {
    EXPECT_EQ(besselI0(0.0), 1.0);
    struct {
        double x, value;
    } const known[] = {
        {1.0, 1.2660658777520},
        {8.5, 683.16192699012},
        {12.5, 30596.335155785},
        {21.08126, 125047823.50344},
    };
    for (const auto& k : known) {
        EXPECT_LT(std::fabs(besselI0(k.x) / k.value - 1), 1e-13) << k.x;
        EXPECT_EQ(besselI0(-k.x), besselI0(k.x)) << k.x;
    }
}

TEST(BesselI0, FullPrecisionOnTheDesignRange) {
    double worst = 0, worstAt = 0;
    for (int i = 0; i <= 22000; ++i) {
        double x = i * 0.001;
        double err = relativeError(besselI0(x), seriesI0(x));
        if (err > worst) {
            worst = err;
            worstAt = x;
        }
    }
    EXPECT_LT(worst, 2e-15) << "at " << worstAt;
    // Beyond the design range the large-argument piece still holds, up to where exp overflows.
    for (double x : {22.5, 40.0, 59.99, 60.0, 75.0, 120.0, 300.0, 700.0})
        EXPECT_LT(relativeError(besselI0(x), seriesI0(x)), 1e-14) << x;
    EXPECT_TRUE(std::isinf(besselI0(710.0)));
    EXPECT_TRUE(std::isnan(besselI0(std::numeric_limits<double>::quiet_NaN())));
}

// Each piece boundary belongs to the upper piece and both sides agree to within rounding.
TEST(BesselI0, PieceBoundariesJoin) {
    for (double edge :
         {8.5, 12.5, 9.0, 10.0, 11.0, 12.0, 4.0, 5.656854249492381, 7.745966692414834}) {
        double below = std::nextafter(edge, 0.0), above = std::nextafter(edge, 100.0);
        for (double x : {below, edge, above})
            EXPECT_LT(relativeError(besselI0(x), seriesI0(x)), 2e-15) << x;
        EXPECT_LT(std::fabs(besselI0(above) / besselI0(below) - 1), 4e-15) << edge;
    }
}

TEST(Kaiser, BetaAndLengthFactor) {
    struct {
        double a, beta, d;
    } const table[] = {
        {0.0, 0.0, 0.9222},
        {21.0, 0.0, 0.9222},
        {50.0, 0.5842 * std::pow(29.0, 0.4) + 0.07886 * 29.0, (50.0 - 7.95) / 14.36},
        {50.0001, 0.1102 * (50.0001 - 8.7), (50.0001 - 7.95) / 14.36},
        {96.0, 9.62046, 6.131616},
        {120.0, 12.26526, 7.802925},
        {170.0, 17.77526, 11.284819},
        {200.0, 21.08126, 13.373955},
    };
    for (const auto& row : table) {
        EXPECT_NEAR(kaiserBeta(row.a), row.beta, 5e-6) << row.a;
        EXPECT_NEAR(kaiserLengthFactor(row.a), row.d, 5e-7) << row.a;
    }
    EXPECT_EQ(kaiserBeta(21.0), 0.0);
    EXPECT_GT(kaiserBeta(21.0001), 0.0);
}

TEST(Kaiser, WindowShape) {
    const int n = 101;
    for (double beta : {0.0, 9.62046, 21.08126}) {
        const double i0 = besselI0(beta);
        EXPECT_EQ(kaiserWindow(0, n, beta, i0), 1.0) << beta;
        EXPECT_NEAR(kaiserWindow(50, n, beta, i0), 1.0 / i0, 1e-15 / i0) << beta;
        double previous = 1.0;
        for (int i = 1; i <= 50; ++i) {
            double w = kaiserWindow(i, n, beta, i0);
            EXPECT_EQ(w, kaiserWindow(-i, n, beta, i0)) << beta << " " << i;
            if (beta == 0.0)
                EXPECT_EQ(w, 1.0) << i;
            else
                EXPECT_LT(w, previous) << beta << " " << i;
            previous = w;
        }
    }
}

TEST(Sinc, Values) {
    const double pi = 3.14159265358979323846;
    EXPECT_EQ(sinc(0.0), 1.0);
    EXPECT_EQ(sinc(-0.0), 1.0);
    EXPECT_LT(std::fabs(sinc(pi)), 1e-16);
    EXPECT_EQ(sinc(1.5), std::sin(1.5) / 1.5);
    EXPECT_EQ(sinc(-1.5), sinc(1.5));
    EXPECT_NEAR(sinc(1e-9), 1.0, 1e-15);
}

// The low-pass both converters design: gain 1 at DC (its taps sum to about 1), a zero of the
// ideal response at every multiple of rate / (2 * cut-off) taps, symmetric.
TEST(WindowedSinc, LowPassTaps) {
    const int n = 201;
    const double beta = kaiserBeta(120.0);
    const double i0 = besselI0(beta);
    EXPECT_EQ(windowedSinc(0, n, 12000.0, 48000, beta, i0), 0.5);
    double sum = 0.0;
    for (int i = -100; i <= 100; ++i) {
        const double tap = windowedSinc(i, n, 12000.0, 48000, beta, i0);
        EXPECT_EQ(tap, windowedSinc(-i, n, 12000.0, 48000, beta, i0)) << i;
        if (i != 0 && i % 2 == 0) {
            EXPECT_LT(std::fabs(tap), 1e-15) << i;
        }
        sum += tap;
    }
    EXPECT_NEAR(sum, 1.0, 1e-5);
}

} // namespace
