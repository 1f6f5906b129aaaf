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

// One group of four outputs for CH channels (1 or 2), into acc[0 .. CH).
template <int CH>
inline void group(const double* c, int width, const double* x0, const double* x1,
                  std::ptrdiff_t sStride, __m256d* acc) {
    // Lane l sums its own taps in order: the zeros around them leave the sum as it is.
    __m256d a0 = _mm256_setzero_pd(), a1 = _mm256_setzero_pd();
    for (int u = 0; u < width; ++u) {
        const __m256d k = _mm256_loadu_pd(c + 4 * u);
        a0 = _mm256_fmadd_pd(k, _mm256_broadcast_sd(x0 + u * sStride), a0);
        if constexpr (CH == 2)
            a1 = _mm256_fmadd_pd(k, _mm256_broadcast_sd(x1 + u * sStride), a1);
    }
    acc[0] = a0;
    if constexpr (CH == 2)
        acc[1] = a1;
}

// The next group's start phase, and a table entry from a phase; no division in the loop.
inline int nextPhase(int phase, int period) {
    phase += 4;
    while (phase >= period)
        phase -= period;
    return phase;
}
inline int entryOf(int phase, int phaseStep) {
    return phaseStep == 4 ? phase >> 2 : phase;
}

// A coefficient that two channels multiply: left to itself, GCC folds its load into both
// multiply-adds, and load slots are what these loops run short of.
inline __m256d held(__m256d v) {
    asm("" : "+x"(v));
    return v;
}

// Window positions from..to of one group for both channels (channel 1 at x + d).
inline void stereoTail(const double* c, int from, int to, const double* x, std::ptrdiff_t d,
                       std::ptrdiff_t sStride, __m256d& a, __m256d& b) {
    for (int u = from; u < to; ++u) {
        const __m256d k = _mm256_loadu_pd(c + 4 * u);
        a = _mm256_fmadd_pd(k, _mm256_broadcast_sd(x + u * sStride), a);
        b = _mm256_fmadd_pd(k, _mm256_broadcast_sd(x + u * sStride + d), b);
    }
}

// Two channels, four groups at a time: eight independent chains, enough to cover the
// multiply-add latency. Written out so that the accumulators stay in registers. Returns the
// groups done; phase and start move past them.
std::size_t fourStereo(const double* coefs, std::size_t stride, const int* widths,
                       const int* advance, int period, int phaseStep, int& phase,
                       std::size_t groups, std::ptrdiff_t& start, const double* s0,
                       std::ptrdiff_t d, std::ptrdiff_t sStride, double* out0, double* out1,
                       std::ptrdiff_t outStride) {
    std::size_t g = 0;
    for (; g + 4 <= groups; g += 4) {
        const double* c[4];
        const double* x[4];
        int w[4];
        for (int i = 0; i < 4; ++i) {
            const int e = entryOf(phase, phaseStep);
            c[i] = coefs + static_cast<std::size_t>(e) * stride;
            x[i] = s0 + start * sStride;
            w[i] = widths[e];
            start += advance[e];
            phase = nextPhase(phase, period);
        }
        int common = w[0];
        for (int i = 1; i < 4; ++i)
            common = w[i] < common ? w[i] : common;
        const double *c0 = c[0], *c1 = c[1], *c2 = c[2], *c3 = c[3];
        const double *x0 = x[0], *x1 = x[1], *x2 = x[2], *x3 = x[3];
        __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        __m256d b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        for (int u = 0; u < common; ++u) {
            const std::ptrdiff_t o = u * sStride;
            const __m256d k0 = held(_mm256_loadu_pd(c0 + 4 * u));
            const __m256d k1 = held(_mm256_loadu_pd(c1 + 4 * u));
            const __m256d k2 = held(_mm256_loadu_pd(c2 + 4 * u));
            const __m256d k3 = held(_mm256_loadu_pd(c3 + 4 * u));
            a0 = _mm256_fmadd_pd(k0, _mm256_broadcast_sd(x0 + o), a0);
            b0 = _mm256_fmadd_pd(k0, _mm256_broadcast_sd(x0 + o + d), b0);
            a1 = _mm256_fmadd_pd(k1, _mm256_broadcast_sd(x1 + o), a1);
            b1 = _mm256_fmadd_pd(k1, _mm256_broadcast_sd(x1 + o + d), b1);
            a2 = _mm256_fmadd_pd(k2, _mm256_broadcast_sd(x2 + o), a2);
            b2 = _mm256_fmadd_pd(k2, _mm256_broadcast_sd(x2 + o + d), b2);
            a3 = _mm256_fmadd_pd(k3, _mm256_broadcast_sd(x3 + o), a3);
            b3 = _mm256_fmadd_pd(k3, _mm256_broadcast_sd(x3 + o + d), b3);
        }
        stereoTail(c0, common, w[0], x0, d, sStride, a0, b0);
        stereoTail(c1, common, w[1], x1, d, sStride, a1, b1);
        stereoTail(c2, common, w[2], x2, d, sStride, a2, b2);
        stereoTail(c3, common, w[3], x3, d, sStride, a3, b3);
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(g) * 4 * outStride;
        const std::ptrdiff_t next = 4 * outStride;
        put(out0 + at, outStride, a0);
        put(out1 + at, outStride, b0);
        put(out0 + at + next, outStride, a1);
        put(out1 + at + next, outStride, b1);
        put(out0 + at + 2 * next, outStride, a2);
        put(out1 + at + 2 * next, outStride, b2);
        put(out0 + at + 3 * next, outStride, a3);
        put(out1 + at + 3 * next, outStride, b3);
    }
    return g;
}

template <int CH>
int runGroups(const double* coefs, std::size_t stride, const int* widths, const int* advance,
              int period, int phaseStep, int phase, std::size_t groups, std::ptrdiff_t start,
              const double* s0, const double* s1, std::ptrdiff_t sStride, double* out0,
              double* out1, std::ptrdiff_t outStride) {
    const std::ptrdiff_t groupStride = 4 * outStride;
    std::size_t g = 0;
    if constexpr (CH == 2)
        g = fourStereo(coefs, stride, widths, advance, period, phaseStep, phase, groups, start, s0,
                       s1 - s0, sStride, out0, out1, outStride);
    // Two groups at a time: each sum is one chain of dependent multiply-adds, and two groups
    // give the processor twice as many chains to overlap.
    for (; g + 2 <= groups; g += 2) {
        const int e0 = entryOf(phase, phaseStep);
        const std::ptrdiff_t start1 = start + advance[e0];
        const int phase1 = nextPhase(phase, period);
        const int e1 = entryOf(phase1, phaseStep);
        __m256d a[2], b[2];
        const int w = widths[e0] < widths[e1] ? widths[e0] : widths[e1];
        const double* c0 = coefs + static_cast<std::size_t>(e0) * stride;
        const double* c1 = coefs + static_cast<std::size_t>(e1) * stride;
        const double* x0 = s0 + start * sStride;
        const double* y0 = s0 + start1 * sStride;
        const double* x1 = CH == 2 ? s1 + start * sStride : nullptr;
        const double* y1 = CH == 2 ? s1 + start1 * sStride : nullptr;
        a[0] = a[1] = b[0] = b[1] = _mm256_setzero_pd();
        int u = 0;
        for (; u < w; ++u) {
            const __m256d k0 = held(_mm256_loadu_pd(c0 + 4 * u));
            const __m256d k1 = held(_mm256_loadu_pd(c1 + 4 * u));
            a[0] = _mm256_fmadd_pd(k0, _mm256_broadcast_sd(x0 + u * sStride), a[0]);
            b[0] = _mm256_fmadd_pd(k1, _mm256_broadcast_sd(y0 + u * sStride), b[0]);
            if constexpr (CH == 2) {
                a[1] = _mm256_fmadd_pd(k0, _mm256_broadcast_sd(x1 + u * sStride), a[1]);
                b[1] = _mm256_fmadd_pd(k1, _mm256_broadcast_sd(y1 + u * sStride), b[1]);
            }
        }
        for (int v = u; v < widths[e0]; ++v) {
            const __m256d k0 = _mm256_loadu_pd(c0 + 4 * v);
            a[0] = _mm256_fmadd_pd(k0, _mm256_broadcast_sd(x0 + v * sStride), a[0]);
            if constexpr (CH == 2)
                a[1] = _mm256_fmadd_pd(k0, _mm256_broadcast_sd(x1 + v * sStride), a[1]);
        }
        for (int v = u; v < widths[e1]; ++v) {
            const __m256d k1 = _mm256_loadu_pd(c1 + 4 * v);
            b[0] = _mm256_fmadd_pd(k1, _mm256_broadcast_sd(y0 + v * sStride), b[0]);
            if constexpr (CH == 2)
                b[1] = _mm256_fmadd_pd(k1, _mm256_broadcast_sd(y1 + v * sStride), b[1]);
        }
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(g) * groupStride;
        put(out0 + at, outStride, a[0]);
        put(out0 + at + groupStride, outStride, b[0]);
        if constexpr (CH == 2) {
            put(out1 + at, outStride, a[1]);
            put(out1 + at + groupStride, outStride, b[1]);
        }
        start = start1 + advance[e1];
        phase = nextPhase(phase1, period);
    }
    if (g < groups) {
        const int e = entryOf(phase, phaseStep);
        __m256d acc[2];
        group<CH>(coefs + static_cast<std::size_t>(e) * stride, widths[e], s0 + start * sStride,
                  CH == 2 ? s1 + start * sStride : nullptr, sStride, acc);
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(g) * groupStride;
        put(out0 + at, outStride, acc[0]);
        if constexpr (CH == 2)
            put(out1 + at, outStride, acc[1]);
        phase = nextPhase(phase, period);
    }
    return phase;
}

} // namespace

int runSlidingAvx2(const double* coefs, std::size_t stride, const int* widths, const int* advance,
                   int period, int phaseStep, int phase, std::size_t groups, std::ptrdiff_t start,
                   const double* s0, const double* s1, std::ptrdiff_t sStride, double* out0,
                   double* out1, std::ptrdiff_t outStride) {
    if (s1)
        return runGroups<2>(coefs, stride, widths, advance, period, phaseStep, phase, groups, start,
                            s0, s1, sStride, out0, out1, outStride);
    return runGroups<1>(coefs, stride, widths, advance, period, phaseStep, phase, groups, start, s0,
                        nullptr, sStride, out0, nullptr, outStride);
}

} // namespace quillon::dsp::detail
