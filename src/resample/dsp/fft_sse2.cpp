// Complex FFT kernels for the x86-64 baseline: one complex per 128-bit vector.
#include <emmintrin.h>

#include "resample/dsp/fft_kernels.h"

namespace quillon::dsp::detail {
namespace {

struct One {
    using V = __m128d;
    static constexpr std::size_t C = 1;
    static V load(const double* p) { return _mm_loadu_pd(p); }
    static void store(double* p, V v) { _mm_storeu_pd(p, v); }
    static V add(V a, V b) { return _mm_add_pd(a, b); }
    static V sub(V a, V b) { return _mm_sub_pd(a, b); }
    // (ar wr - ai wi, ai wr + ar wi)
    static V cmul(V a, V w) {
        V wr = _mm_unpacklo_pd(w, w);
        V wi = _mm_unpackhi_pd(w, w);
        V t = _mm_mul_pd(_mm_shuffle_pd(a, a, 1), wi);
        return _mm_add_pd(_mm_mul_pd(a, wr), _mm_xor_pd(t, _mm_set_pd(0.0, -0.0)));
    }
    // a times conj(w): (ar wr + ai wi, ai wr - ar wi)
    static V cmulConj(V a, V w) {
        V wr = _mm_unpacklo_pd(w, w);
        V wi = _mm_unpackhi_pd(w, w);
        V t = _mm_mul_pd(_mm_shuffle_pd(a, a, 1), wi);
        return _mm_add_pd(_mm_mul_pd(a, wr), _mm_xor_pd(t, _mm_set_pd(-0.0, 0.0)));
    }
    static V mulI(V a) { return _mm_xor_pd(_mm_shuffle_pd(a, a, 1), _mm_set_pd(0.0, -0.0)); }
    static V mulNegI(V a) { return _mm_xor_pd(_mm_shuffle_pd(a, a, 1), _mm_set_pd(-0.0, 0.0)); }
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
    // Four points without twiddles, outputs in natural order.
    template <bool INV> static void dft4Natural(double* p) {
        V x0 = load(p), x1 = load(p + 2), x2 = load(p + 4), x3 = load(p + 6);
        V a = add(x0, x2), b = sub(x0, x2), c = add(x1, x3);
        V d = INV ? mulNegI(sub(x1, x3)) : mulI(sub(x1, x3));
        store(p, add(a, c));
        store(p + 2, add(b, d));
        store(p + 4, sub(a, c));
        store(p + 6, sub(b, d));
    }
};

using Wide = One;

#include "resample/dsp/fft_kernels.inc"

} // namespace

void realTransformSse2(double* a, std::size_t n, bool inverse, const double* W, std::size_t tableN,
                       const double* S, std::size_t ss) {
    realTransform(a, n, inverse, W, tableN, S, ss);
}

} // namespace quillon::dsp::detail
