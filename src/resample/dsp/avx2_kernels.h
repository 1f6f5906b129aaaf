#pragma once

// Internal to the pair convolver and the grouped products: kernels compiled for AVX2 and FMA in
// units of their own, entered only after the run-time check.

#include <cstddef>

namespace quillon::dsp::detail {

// What a run does at the leaves: the forward transform, the inverse one, or the forward
// transform, the product with the kernel and the inverse, in one go.
enum class PairRun { forward, inverse, convolve };

// Levels run from the top block of n points down to the leaves of 16 or 32 points, each a
// quarter of the one above. Levels of at most kPairFullTableLimit points keep w, w^2 and w^3
// per group of four lanes (24 doubles); larger ones keep w alone (8 doubles) and derive the
// others, so the big tables stream through the cache at a third of the size.
constexpr std::size_t kPairFullTableLimit = 4096;

// While on, pairConvolverAvailable and slidingProductsAvailable answer false, so converters built
// meanwhile take the paths every processor has. For tests, which compare the two.
void preferBaselineKernels(bool on);

void runPairAvx2(PairRun run, std::size_t n, const double* twiddles, const std::size_t* levels,
                 double* re, double* im, const double* kernelRe, const double* kernelIm,
                 bool upperHalfZero);

// The groups of runSlidingProducts; coefs, widths and advance as in SlidingProducts, entry e
// starting at coefs + e * stride.
int runSlidingAvx2(const double* coefs, std::size_t stride, const int* widths, const int* advance,
                   int period, int phaseStep, int phase, std::size_t groups, std::ptrdiff_t start,
                   const double* s0, const double* s1, std::ptrdiff_t sStride, double* out0,
                   double* out1, std::ptrdiff_t outStride);

} // namespace quillon::dsp::detail
