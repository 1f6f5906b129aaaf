// Complex FFT kernels for processors with AVX2 and FMA: two complexes per 256-bit vector. The
// whole unit is compiled for those instructions and is only entered after the run-time check in
// real_fft.cpp. Every header comes before the target switch, so no inline code shared with
// other units is compiled for these instructions.
#include <cstddef>
#include <immintrin.h>

#include "resample/dsp/fft_kernels.h"

#pragma GCC target("avx2,fma")

namespace quillon::dsp::detail {
namespace {

struct One {
    using V = __m128d;
    static constexpr std::size_t C = 1;
    static V load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, V v) { _mm_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm_add_pd(a, b); }
    static V sub(V a, V b) { return _mm_sub_pd(a, b); }
    static V cmul(V a, V w) {
        V t = _mm_mul_pd(_mm_permute_pd(a, 1), _mm_permute_pd(w, 3));
        return _mm_fmaddsub_pd(a, _mm_movedup_pd(w), t);
    }
    static V cmulConj(V a, V w) {
        V t = _mm_mul_pd(_mm_permute_pd(a, 1), _mm_permute_pd(w, 3));
        return _mm_fmsubadd_pd(a, _mm_movedup_pd(w), t);
    }
    static V mulI(V a) { return _mm_xor_pd(_mm_permute_pd(a, 1), _mm_set_pd(0.0, -0.0)); }
    static V mulNegI(V a) { return _mm_xor_pd(_mm_permute_pd(a, 1), _mm_set_pd(-0.0, 0.0)); }
    static V conj(V a) { return _mm_xor_pd(a, _mm_set_pd(-0.0, 0.0)); }
    static V reverse(V a) { return a; }
    static void prefetch(const double* p) {
        _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
    }
    static V half(V a) { return _mm_mul_pd(a, _mm_set1_pd(0.5)); }
    static V set(double re, double im) { return _mm_set_pd(im, re); }
    static V twiddle(const double* W, std::size_t j, std::size_t ts) {
        return load(W + 2 * j * ts);
    }
};

struct Wide {
    using V = __m256d;
    static constexpr std::size_t C = 2;
    static V load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm256_add_pd(a, b); }
    static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    static V cmul(V a, V w) {
        V t = _mm256_mul_pd(_mm256_permute_pd(a, 5), _mm256_permute_pd(w, 15));
        return _mm256_fmaddsub_pd(a, _mm256_movedup_pd(w), t);
    }
    static V cmulConj(V a, V w) {
        V t = _mm256_mul_pd(_mm256_permute_pd(a, 5), _mm256_permute_pd(w, 15));
        return _mm256_fmsubadd_pd(a, _mm256_movedup_pd(w), t);
    }
    static V mulI(V a) {
        return _mm256_xor_pd(_mm256_permute_pd(a, 5), _mm256_set_pd(0.0, -0.0, 0.0, -0.0));
    }
    static V mulNegI(V a) {
        return _mm256_xor_pd(_mm256_permute_pd(a, 5), _mm256_set_pd(-0.0, 0.0, -0.0, 0.0));
    }
    static V conj(V a) { return _mm256_xor_pd(a, _mm256_set_pd(-0.0, 0.0, -0.0, 0.0)); }
    static V reverse(V a) { return _mm256_permute2f128_pd(a, a, 1); }
    static V half(V a) { return _mm256_mul_pd(a, _mm256_set1_pd(0.5)); }
    static V twiddle(const double* W, std::size_t j, std::size_t ts) {
        if (ts == 1)
            return load(W + 2 * j);
        return _mm256_set_m128d(_mm_loadu_pd(W + 2 * (j + 1) * ts), _mm_loadu_pd(W + 2 * j * ts));
    }
    // Four points without twiddles, outputs in natural order: [x0 x1] and [x2 x3] give
    // [a c] and [b d], regrouped as [a b] and [c ±id] for the last butterfly.
    template <bool INV> static void dft4Natural(double* p) {
        V v0 = load(p), v1 = load(p + 4);
        V s = add(v0, v1);
        V t = sub(v0, v1);
        t = _mm256_blend_pd(t, INV ? mulNegI(t) : mulI(t), 0xC);
        V u = _mm256_permute2f128_pd(s, t, 0x20);
        V v = _mm256_permute2f128_pd(s, t, 0x31);
        store(p, add(u, v));
        store(p + 4, sub(u, v));
    }
};

#include "resample/dsp/fft_kernels.inc"

} // namespace

void realTransformAvx2(double* a, std::size_t n, bool inverse, const double* W, std::size_t tableN,
                       const double* S, std::size_t ss) {
    realTransform(a, n, inverse, W, tableN, S, ss);
}

} // namespace quillon::dsp::detail
