#include "resample/dsp/pair_convolver.h"

#include <atomic>
#include <cmath>
#include <numbers>

#include "resample/dsp/avx2_kernels.h"
#include "resample/dsp/fft_kernels.h"

namespace quillon::dsp {

namespace {

bool isLeaf(std::size_t n) {
    return n == 16 || n == 32;
}

// e^(-2 pi i j/n) computed directly for each j, so no error builds up along a table.
void fillLevel(AlignedDoubles& tw, std::size_t n) {
    const std::size_t m = n / 4;
    const bool full = n <= detail::kPairFullTableLimit;
    const double step = 2.0 * std::numbers::pi / static_cast<double>(n);
    for (std::size_t j0 = 0; j0 < m; j0 += 4) {
        for (int p = 1; p <= (full ? 3 : 1); ++p) {
            for (std::size_t l = 0; l < 4; ++l)
                tw.push_back(std::cos(step * static_cast<double>(p * (j0 + l))));
            for (std::size_t l = 0; l < 4; ++l)
                tw.push_back(-std::sin(step * static_cast<double>(p * (j0 + l))));
        }
    }
}

void run(const PairConvolver& plan, detail::PairRun kind, double* re, double* im,
         bool upperHalfZero) {
    if (plan.points == 0)
        return;
    detail::runPairAvx2(kind, static_cast<std::size_t>(plan.points), plan.twiddles.data(),
                        plan.levels.data(), re, im, plan.kernelRe.data(), plan.kernelIm.data(),
                        upperHalfZero);
}

} // namespace

namespace detail {

namespace {
std::atomic<bool> gBaselineOnly{false};
}

void preferBaselineKernels(bool on) {
    gBaselineOnly.store(on, std::memory_order_relaxed);
}

} // namespace detail

bool pairConvolverAvailable() {
    static const bool available = detail::fftKernelAvailable(detail::FftKernel::avx2);
    return available && !detail::gBaselineOnly.load(std::memory_order_relaxed);
}

bool preparePairConvolver(PairConvolver& plan, int n, const double* taps) {
    plan = PairConvolver{};
    if (!pairConvolverAvailable() || n < 64 || n > (1 << 26) || (n & (n - 1)) != 0)
        return false;
    for (std::size_t size = static_cast<std::size_t>(n); !isLeaf(size); size /= 4) {
        plan.levels.push_back(plan.twiddles.size());
        fillLevel(plan.twiddles, size);
    }
    plan.points = n;
    const double scale = 1.0 / n;
    plan.kernelRe.resize(static_cast<std::size_t>(n));
    plan.kernelIm.assign(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < n; ++i)
        plan.kernelRe[i] = taps[i] * scale;
    pairForward(plan, plan.kernelRe.data(), plan.kernelIm.data());
    return true;
}

void convolvePair(const PairConvolver& plan, double* re, double* im, bool upperHalfZero) {
    run(plan, detail::PairRun::convolve, re, im, upperHalfZero);
}

void pairForward(const PairConvolver& plan, double* re, double* im) {
    run(plan, detail::PairRun::forward, re, im, false);
}

void pairInverse(const PairConvolver& plan, double* re, double* im) {
    run(plan, detail::PairRun::inverse, re, im, false);
}

std::size_t pairBinPosition(const PairConvolver& plan, std::size_t k) {
    std::size_t n = static_cast<std::size_t>(plan.points);
    std::size_t base = 0;
    // Each pass puts the bins q mod 4 into quarter q, with k / 4 as the bin within it.
    while (!isLeaf(n)) {
        n /= 4;
        base += (k % 4) * n;
        k /= 4;
    }
    if (n == 16)
        return base + k; // the leaf's transpose undoes its own digit reversal
    // 32 points: bin 8r + 4e + q sits at 16 (q / 2) + 4r + 2 (q % 2) + e.
    const std::size_t q = k % 4, e = (k / 4) % 2, r = k / 8;
    return base + 16 * (q / 2) + 4 * r + 2 * (q % 2) + e;
}

} // namespace quillon::dsp
