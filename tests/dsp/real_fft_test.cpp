#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "resample/dsp/fft_kernels.h"
#include "resample/dsp/real_fft.h"

namespace {

using quillon::dsp::realFft;
using quillon::dsp::detail::FftKernel;
using quillon::dsp::detail::fftKernelAvailable;
using quillon::dsp::detail::realFftWith;

// Caller-owned work arrays, sized as the converters size them.
struct Work {
    std::vector<int> index;
    std::vector<double> table;
    explicit Work(int n)
        : index(static_cast<std::size_t>(std::sqrt(static_cast<double>(n)) + 2)),
          table(static_cast<std::size_t>(n / 2 > 0 ? n / 2 : 1)) {
        index[0] = 0;
    }
};

std::vector<double> randomSignal(int n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(static_cast<std::size_t>(n));
    for (double& v : x)
        v = dist(gen);
    return x;
}

const long double pi = 3.141592653589793238462643383279502884L;

// cos and sin of 2 pi m/n for every m < n in long double: the references index it with j*k mod n,
// exact, so they cost no trigonometry per term.
struct Roots {
    std::vector<long double> c, s;
    explicit Roots(std::size_t n) : c(n), s(n) {
        for (std::size_t m = 0; m < n; ++m) {
            c[m] = std::cos(2 * pi * m / n);
            s[m] = std::sin(2 * pi * m / n);
        }
    }
};

// One bin of the packed forward spectrum, straight from its definition.
void referenceBin(const std::vector<double>& x, const Roots& w, std::size_t k, long double& re,
                  long double& im) {
    const std::size_t n = x.size();
    re = 0;
    im = 0;
    std::size_t jk = 0;
    for (std::size_t j = 0; j < n; ++j, jk = jk + k >= n ? jk + k - n : jk + k) {
        re += x[j] * w.c[jk];
        im += x[j] * w.s[jk];
    }
}

// One sample of the inverse, straight from its definition.
long double referenceInverse(const std::vector<double>& a, const Roots& w, std::size_t j) {
    const std::size_t n = a.size();
    long double y = 0.5L * a[0] + 0.5L * a[1] * ((j & 1) ? -1 : 1);
    std::size_t jk = j;
    for (std::size_t k = 1; k < n / 2; ++k, jk = jk + j >= n ? jk + j - n : jk + j)
        y += a[2 * k] * w.c[jk] + a[2 * k + 1] * w.s[jk];
    return y;
}

// Rounding error grows like log n; the scale is the signal's RMS times sqrt(n), the typical
// size of a bin of a random signal.
double tolerance(int n) {
    return 4e-16 * std::log2(static_cast<double>(n) + 1) * 4;
}

std::vector<FftKernel> kernels() {
    std::vector<FftKernel> all{FftKernel::sse2};
    if (fftKernelAvailable(FftKernel::avx2))
        all.push_back(FftKernel::avx2);
    return all;
}

const char* name(FftKernel k) {
    return k == FftKernel::avx2 ? "avx2" : "sse2";
}

TEST(RealFft, SmallVectors) {
    struct Case {
        std::vector<double> x, spectrum;
    };
    const double r = std::sqrt(0.5);
    const std::vector<Case> cases = {
        {{1, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 0, 1, 0, 1, 0}},
        {{0, 1, 0, 0, 0, 0, 0, 0}, {1, -1, r, r, 0, 1, -r, r}},
        {{0.3, -1.2, 0.7, 2.0, -0.4, 0.1, 1.5, -0.9},
         {2.1, 2.1, -2.269848, 0.331371, -2.3, -2.2, 3.669848, 1.931371}},
        {{0.5, -2, 3, 7}, {8.5, -1.5, -2.5, -9}},
        {{3, -5}, {-2, 8}},
    };
    for (FftKernel kernel : kernels())
        for (const Case& c : cases) {
            const int n = static_cast<int>(c.x.size());
            Work work(n);
            std::vector<double> a = c.x;
            realFftWith(kernel, n, 1, a.data(), work.index.data(), work.table.data());
            for (int i = 0; i < n; ++i)
                EXPECT_NEAR(a[i], c.spectrum[i], 1e-6) << name(kernel) << " n=" << n << " i=" << i;
            realFftWith(kernel, n, -1, a.data(), work.index.data(), work.table.data());
            for (int i = 0; i < n; ++i)
                EXPECT_NEAR(a[i], n / 2 * c.x[i], 1e-12) << name(kernel) << " n=" << n;
        }
}

// Every size up to 2^12 against the full definitions, forward and inverse.
TEST(RealFft, MatchesDefinitionUpTo4096) {
    for (FftKernel kernel : kernels())
        for (int n = 2; n <= 4096; n *= 2) {
            const std::vector<double> x = randomSignal(n, static_cast<unsigned>(n));
            const Roots w(static_cast<std::size_t>(n));
            Work work(n);
            std::vector<double> a = x;
            realFftWith(kernel, n, 1, a.data(), work.index.data(), work.table.data());
            const double bound = tolerance(n) * std::sqrt(static_cast<double>(n));
            double worst = 0;
            for (int k = 0; k < n / 2; ++k) {
                long double re, im;
                referenceBin(x, w, static_cast<std::size_t>(k), re, im);
                if (k == 0) {
                    long double nyquist, unused;
                    referenceBin(x, w, static_cast<std::size_t>(n / 2), nyquist, unused);
                    worst = std::fmax(worst, std::fabs(static_cast<double>(a[0] - re)));
                    worst = std::fmax(worst, std::fabs(static_cast<double>(a[1] - nyquist)));
                } else {
                    worst = std::fmax(worst, std::fabs(static_cast<double>(a[2 * k] - re)));
                    worst = std::fmax(worst, std::fabs(static_cast<double>(a[2 * k + 1] - im)));
                }
            }
            EXPECT_LT(worst, bound) << name(kernel) << " forward n=" << n;

            // The inverse of an arbitrary spectrum, not only of one that came from forward.
            const std::vector<double> spectrum = randomSignal(n, static_cast<unsigned>(n + 7));
            a = spectrum;
            realFftWith(kernel, n, -1, a.data(), work.index.data(), work.table.data());
            worst = 0;
            for (int j = 0; j < n; ++j)
                worst = std::fmax(
                    worst, std::fabs(static_cast<double>(
                               a[j] - referenceInverse(spectrum, w, static_cast<std::size_t>(j)))));
            EXPECT_LT(worst, bound) << name(kernel) << " inverse n=" << n;
        }
}

// Large sizes on a sample of bins, each one an O(n) sum; then the round trip.
TEST(RealFft, LargeSizesOnSampledBinsAndRoundTrip) {
    for (FftKernel kernel : kernels())
        for (int n : {8192, 65536, 524288}) {
            const std::vector<double> x = randomSignal(n, 99);
            const Roots w(static_cast<std::size_t>(n));
            Work work(n);
            std::vector<double> a = x;
            realFftWith(kernel, n, 1, a.data(), work.index.data(), work.table.data());
            const double bound = tolerance(n) * std::sqrt(static_cast<double>(n));
            const int bins[] = {
                0,         1,     2,         3,         n / 8 - 1, n / 8,           n / 8 + 1,
                n / 4 - 1, n / 4, n / 4 + 1, n / 2 - 1, n / 2 - 2, 12345 % (n / 2), n / 3,
                n / 5};
            for (int k : bins) {
                long double re, im;
                referenceBin(x, w, static_cast<std::size_t>(k), re, im);
                if (k == 0) {
                    EXPECT_NEAR(a[0], static_cast<double>(re), bound) << name(kernel) << " n=" << n;
                } else {
                    EXPECT_NEAR(a[2 * k], static_cast<double>(re), bound)
                        << name(kernel) << " n=" << n << " k=" << k;
                    EXPECT_NEAR(a[2 * k + 1], static_cast<double>(im), bound)
                        << name(kernel) << " n=" << n << " k=" << k;
                }
            }
            long double nyquist, unused;
            referenceBin(x, w, static_cast<std::size_t>(n / 2), nyquist, unused);
            EXPECT_NEAR(a[1], static_cast<double>(nyquist), bound);

            realFftWith(kernel, n, -1, a.data(), work.index.data(), work.table.data());
            double worst = 0;
            for (int j = 0; j < n; ++j)
                worst = std::fmax(worst, std::fabs(a[j] - n / 2 * x[j]));
            EXPECT_LT(worst / (n / 2), tolerance(n) * 4) << name(kernel) << " round trip n=" << n;
        }
}

// Tables built once, kept bit for bit, and serving every smaller size afterwards.
TEST(RealFft, TablesAreBuiltOnceAndServeSmallerSizes) {
    const int big = 16384;
    Work shared(big);
    std::vector<double> a = randomSignal(big, 5);
    realFft(big, 1, a.data(), shared.index.data(), shared.table.data());
    EXPECT_EQ(shared.index[0], big / 4);
    EXPECT_EQ(shared.index[1], big / 4);
    const std::vector<double> table = shared.table;
    realFft(big, -1, a.data(), shared.index.data(), shared.table.data());
    realFft(big, 1, a.data(), shared.index.data(), shared.table.data());
    EXPECT_EQ(0, std::memcmp(table.data(), shared.table.data(), table.size() * sizeof(double)));

    for (int n = 2; n < big; n *= 2) {
        const std::vector<double> x = randomSignal(n, static_cast<unsigned>(3 * n));
        std::vector<double> viaShared = x, viaOwn = x;
        Work own(n);
        realFft(n, 1, viaShared.data(), shared.index.data(), shared.table.data());
        realFft(n, 1, viaOwn.data(), own.index.data(), own.table.data());
        for (int i = 0; i < n; ++i)
            ASSERT_NEAR(viaShared[i], viaOwn[i], tolerance(n) * std::sqrt(double(n))) << "n=" << n;
        realFft(n, -1, viaShared.data(), shared.index.data(), shared.table.data());
        for (int i = 0; i < n; ++i)
            ASSERT_NEAR(viaShared[i], n / 2 * x[i], tolerance(n) * n) << "n=" << n;
    }
    EXPECT_EQ(shared.index[0], big / 4);
    EXPECT_EQ(0, std::memcmp(table.data(), shared.table.data(), table.size() * sizeof(double)));
}

} // namespace
