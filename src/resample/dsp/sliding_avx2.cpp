// Grouped polyphase products: four outputs per 256-bit vector, one lane each. The whole unit is
// compiled for AVX2 and FMA and is entered only after the run-time check in
// sliding_products.cpp; every header comes before the target switch.
#include <cstddef>
#include <immintrin.h>

#include "resample/dsp/avx2_kernels.h"

#pragma GCC target("avx2,fma")

namespace quillon::dsp::detail {

namespace {

inline void put(double* out, std::ptrdiff_t stride, __m256d v) {
    if (stride == 1) {
        _mm256_storeu_pd(out, v);
        return;
    }
    const __m128d lo = _mm256_castpd256_pd128(v), hi = _mm256_extractf128_pd(v, 1);
    _mm_storel_pd(out, lo);
    _mm_storeh_pd(out + stride, lo);
    _mm_storel_pd(out + 2 * stride, hi);
    _mm_storeh_pd(out + 3 * stride, hi);
}

} // namespace

int runSlidingAvx2(const double* coefs, std::size_t stride, const int* widths, const int* advance,
                   int period, int phaseStep, int phase, std::size_t groups, std::ptrdiff_t start,
                   const double* s0, const double* s1, std::ptrdiff_t sStride, double* out0,
                   double* out1, std::ptrdiff_t outStride) {
    for (std::size_t g = 0; g < groups; ++g) {
        const int e = phase / phaseStep;
        const double* c = coefs + static_cast<std::size_t>(e) * stride;
        const int width = widths[e];
        const double* x0 = s0 + start * sStride;
        double* o0 = out0 + static_cast<std::ptrdiff_t>(4 * g) * outStride;
        // Lane l sums its own taps in order: the zeros around them leave the sum as it is.
        __m256d a0 = _mm256_setzero_pd();
        if (s1) {
            const double* x1 = s1 + start * sStride;
            __m256d a1 = _mm256_setzero_pd();
            for (int u = 0; u < width; ++u) {
                const __m256d k = _mm256_loadu_pd(c + 4 * u);
                a0 = _mm256_fmadd_pd(k, _mm256_broadcast_sd(x0 + u * sStride), a0);
                a1 = _mm256_fmadd_pd(k, _mm256_broadcast_sd(x1 + u * sStride), a1);
            }
            put(out1 + static_cast<std::ptrdiff_t>(4 * g) * outStride, outStride, a1);
        } else {
            for (int u = 0; u < width; ++u)
                a0 = _mm256_fmadd_pd(_mm256_loadu_pd(c + 4 * u),
                                     _mm256_broadcast_sd(x0 + u * sStride), a0);
        }
        put(o0, outStride, a0);
        start += advance[e];
        phase = (phase + 4) % period;
    }
    return phase;
}

} // namespace quillon::dsp::detail
