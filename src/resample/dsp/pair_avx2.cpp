// Pair convolver kernels: four complex points per pair of 256-bit vectors, real parts in one and
// imaginary parts in the other. The whole unit is compiled for AVX2 and FMA and is entered only
// after the run-time check in pair_convolver.cpp; every header comes before the target switch.
//
// Forward: decimation in frequency, radix 4, depth first; each pass leaves in quarter q the
// sub-transform of the bins q mod 4. The leaves (16 or 32 points) finish in registers with a
// 4 x 4 transpose, and nothing is permuted afterwards. Inverse: every step of the forward one
// undone in reverse order with conjugate twiddles (decimation in time), so a spectrum in the
// forward's order comes back in natural order.
#include <cstddef>
#include <immintrin.h>

#include "resample/dsp/avx2_kernels.h"

#pragma GCC target("avx2,fma")

namespace quillon::dsp::detail {
namespace {

using V = __m256d;

struct C {
    V re, im;
};

inline C load(const double* re, const double* im, std::size_t j) {
    return {_mm256_loadu_pd(re + j), _mm256_loadu_pd(im + j)};
}
inline void store(double* re, double* im, std::size_t j, C c) {
    _mm256_storeu_pd(re + j, c.re);
    _mm256_storeu_pd(im + j, c.im);
}
inline C add(C a, C b) {
    return {_mm256_add_pd(a.re, b.re), _mm256_add_pd(a.im, b.im)};
}
inline C sub(C a, C b) {
    return {_mm256_sub_pd(a.re, b.re), _mm256_sub_pd(a.im, b.im)};
}
// a + i b and a - i b
inline C addI(C a, C b) {
    return {_mm256_sub_pd(a.re, b.im), _mm256_add_pd(a.im, b.re)};
}
inline C subI(C a, C b) {
    return {_mm256_add_pd(a.re, b.im), _mm256_sub_pd(a.im, b.re)};
}
inline C mul(C a, C w) {
    return {_mm256_fmsub_pd(a.re, w.re, _mm256_mul_pd(a.im, w.im)),
            _mm256_fmadd_pd(a.re, w.im, _mm256_mul_pd(a.im, w.re))};
}
inline C mulConj(C a, C w) {
    return {_mm256_fmadd_pd(a.re, w.re, _mm256_mul_pd(a.im, w.im)),
            _mm256_fmsub_pd(a.im, w.re, _mm256_mul_pd(a.re, w.im))};
}

// Four-point transform across four vectors, lane by lane (kernel e^(-2 pi i jk/4)).
inline void dft4(C& x0, C& x1, C& x2, C& x3) {
    C t0 = add(x0, x2), t1 = sub(x0, x2), t2 = add(x1, x3), t3 = sub(x1, x3);
    x0 = add(t0, t2);
    x2 = sub(t0, t2);
    x1 = subI(t1, t3);
    x3 = addI(t1, t3);
}

// Its unscaled inverse: four times the input of dft4 from its output.
inline void idft4(C& y0, C& y1, C& y2, C& y3) {
    C s02 = add(y0, y2), d02 = sub(y0, y2), s13 = add(y1, y3), d13 = sub(y1, y3);
    y0 = add(s02, s13);
    y2 = sub(s02, s13);
    y1 = addI(d02, d13);
    y3 = subI(d02, d13);
}

inline void transpose(V& a, V& b, V& c, V& d) {
    V t0 = _mm256_unpacklo_pd(a, b), t1 = _mm256_unpackhi_pd(a, b);
    V t2 = _mm256_unpacklo_pd(c, d), t3 = _mm256_unpackhi_pd(c, d);
    a = _mm256_permute2f128_pd(t0, t2, 0x20);
    b = _mm256_permute2f128_pd(t1, t3, 0x20);
    c = _mm256_permute2f128_pd(t0, t2, 0x31);
    d = _mm256_permute2f128_pd(t1, t3, 0x31);
}
inline void transpose(C& a, C& b, C& c, C& d) {
    transpose(a.re, b.re, c.re, d.re);
    transpose(a.im, b.im, c.im, d.im);
}

// e^(-2 pi i j / n) for four consecutive j from j0.
inline C roots(int n, int j0, int step) {
    // The leaves' twiddles: a few exact constants, so no table is read at the leaves.
    alignas(32) static constexpr double kC16[8] = {
        1.0, 0.92387953251128675613,  0.70710678118654752440,  0.38268343236508977173,
        0.0, -0.38268343236508977173, -0.70710678118654752440, -0.92387953251128675613};
    // cos(2 pi t / 32) for t = 0 .. 23, enough for j * step up to 3 * 7.
    alignas(32) static constexpr double kC32[24] = {1.0,
                                                    0.98078528040323044913,
                                                    0.92387953251128675613,
                                                    0.83146961230254523708,
                                                    0.70710678118654752440,
                                                    0.55557023301960222474,
                                                    0.38268343236508977173,
                                                    0.19509032201612826785,
                                                    0.0,
                                                    -0.19509032201612826785,
                                                    -0.38268343236508977173,
                                                    -0.55557023301960222474,
                                                    -0.70710678118654752440,
                                                    -0.83146961230254523708,
                                                    -0.92387953251128675613,
                                                    -0.98078528040323044913,
                                                    -1.0,
                                                    -0.98078528040323044913,
                                                    -0.92387953251128675613,
                                                    -0.83146961230254523708,
                                                    -0.70710678118654752440,
                                                    -0.55557023301960222474,
                                                    -0.38268343236508977173,
                                                    -0.19509032201612826785};
    double re[4], im[4];
    for (int l = 0; l < 4; ++l) {
        const int t = (j0 + l) * step; // angle in units of 2 pi / n
        if (n == 16) {
            re[l] = t < 8 ? kC16[t] : -kC16[t - 8];
            // sin(2 pi t / 16) = cos(2 pi (t - 4) / 16)
            const int s = t - 4;
            im[l] = -(s < 0 ? kC16[-s] : (s < 8 ? kC16[s] : -kC16[s - 8]));
        } else {
            re[l] = kC32[t];
            const int s = t - 8;
            im[l] = -(s < 0 ? kC32[-s] : kC32[s]);
        }
    }
    return {_mm256_setr_pd(re[0], re[1], re[2], re[3]), _mm256_setr_pd(im[0], im[1], im[2], im[3])};
}

// Leaf twiddles, built once: w, w^2, w^3 for the 16-point leaf; for the 32-point leaf the
// same for its two lane groups, and the radix-2 twiddles of its 8-point quarters.
struct LeafTwiddles {
    C w16[3];
    C w32[2][3];
    C w8;
};

const LeafTwiddles& kLeafTwiddles() {
    static const LeafTwiddles t = [] {
        LeafTwiddles r{};
        for (int p = 1; p <= 3; ++p) {
            r.w16[p - 1] = roots(16, 0, p);
            r.w32[0][p - 1] = roots(32, 0, p);
            r.w32[1][p - 1] = roots(32, 4, p);
        }
        r.w8 = roots(32, 0, 4); // e^(-2 pi i j / 8) = e^(-2 pi i 4j / 32)
        return r;
    }();
    return t;
}

// 16 points in v[0..3] (points 4g .. 4g + 3 in v[g]).
[[gnu::always_inline]] inline void forward16(C v[4], const LeafTwiddles& t) {
    dft4(v[0], v[1], v[2], v[3]);
    v[1] = mul(v[1], t.w16[0]);
    v[2] = mul(v[2], t.w16[1]);
    v[3] = mul(v[3], t.w16[2]);
    transpose(v[0], v[1], v[2], v[3]);
    dft4(v[0], v[1], v[2], v[3]);
}
[[gnu::always_inline]] inline void inverse16(C v[4], const LeafTwiddles& t) {
    idft4(v[0], v[1], v[2], v[3]);
    transpose(v[0], v[1], v[2], v[3]);
    v[1] = mulConj(v[1], t.w16[0]);
    v[2] = mulConj(v[2], t.w16[1]);
    v[3] = mulConj(v[3], t.w16[2]);
    idft4(v[0], v[1], v[2], v[3]);
}

// 32 points in v[0..7]: a radix-4 pass (quarter q in v[2q], v[2q + 1]), a radix-2 pass in each
// quarter, then the 4-point transforms of v[0..3] and v[4..7] across lanes.
[[gnu::always_inline]] inline void forward32(C v[8], const LeafTwiddles& t) {
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        dft4(v[h], v[h + 2], v[h + 4], v[h + 6]);
        v[h + 2] = mul(v[h + 2], t.w32[h][0]);
        v[h + 4] = mul(v[h + 4], t.w32[h][1]);
        v[h + 6] = mul(v[h + 6], t.w32[h][2]);
    }
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        C a = v[2 * q], b = v[2 * q + 1];
        v[2 * q] = add(a, b);
        v[2 * q + 1] = mul(sub(a, b), t.w8);
    }
#pragma GCC unroll 2
    for (int g = 0; g < 8; g += 4) {
        transpose(v[g], v[g + 1], v[g + 2], v[g + 3]);
        dft4(v[g], v[g + 1], v[g + 2], v[g + 3]);
    }
}
[[gnu::always_inline]] inline void inverse32(C v[8], const LeafTwiddles& t) {
#pragma GCC unroll 2
    for (int g = 0; g < 8; g += 4) {
        idft4(v[g], v[g + 1], v[g + 2], v[g + 3]);
        transpose(v[g], v[g + 1], v[g + 2], v[g + 3]);
    }
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        C a = v[2 * q], b = mulConj(v[2 * q + 1], t.w8);
        v[2 * q] = add(a, b);
        v[2 * q + 1] = sub(a, b);
    }
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        v[h + 2] = mulConj(v[h + 2], t.w32[h][0]);
        v[h + 4] = mulConj(v[h + 4], t.w32[h][1]);
        v[h + 6] = mulConj(v[h + 6], t.w32[h][2]);
        idft4(v[h], v[h + 2], v[h + 4], v[h + 6]);
    }
}

// The small loops here must unroll and the helpers inline, so that the leaf's points stay in
// registers.
template <PairRun RUN, int N>
void leaf(double* re, double* im, const double* kr, const double* ki, const LeafTwiddles& t) {
    constexpr int count = N / 4;
    C v[count];
#pragma GCC unroll 8
    for (int g = 0; g < count; ++g)
        v[g] = load(re, im, 4 * g);
    if constexpr (RUN != PairRun::inverse) {
        if constexpr (N == 16)
            forward16(v, t);
        else
            forward32(v, t);
    }
    if constexpr (RUN == PairRun::convolve) {
#pragma GCC unroll 8
        for (int g = 0; g < count; ++g)
            v[g] = mul(v[g], load(kr, ki, 4 * g));
    }
    if constexpr (RUN != PairRun::forward) {
        if constexpr (N == 16)
            inverse16(v, t);
        else
            inverse32(v, t);
    }
#pragma GCC unroll 8
    for (int g = 0; g < count; ++g)
        store(re, im, 4 * g, v[g]);
}

template <bool FULL> inline void twiddlesAt(const double* tw, C& w1, C& w2, C& w3) {
    w1 = load(tw, tw + 4, 0);
    if constexpr (FULL) {
        w2 = load(tw + 8, tw + 12, 0);
        w3 = load(tw + 16, tw + 20, 0);
    } else {
        w2 = mul(w1, w1);
        w3 = mul(w2, w1);
    }
}

// One radix-4 pass over a block of 4m points. UPPER_ZERO: the second half is zero and not read.
template <bool FULL, bool UPPER_ZERO>
void forwardPass(double* re, double* im, std::size_t m, const double* tw) {
    constexpr std::size_t stride = FULL ? 24 : 8;
    for (std::size_t j = 0; j < m; j += 4, tw += stride) {
        C x0 = load(re, im, j), x1 = load(re, im, j + m), x2, x3;
        if constexpr (UPPER_ZERO) {
            // dft4 with x2 = x3 = 0
            x2 = sub(x0, x1);
            x3 = addI(x0, x1);
            C y1 = subI(x0, x1);
            x0 = add(x0, x1);
            x1 = y1;
        } else {
            x2 = load(re, im, j + 2 * m);
            x3 = load(re, im, j + 3 * m);
            dft4(x0, x1, x2, x3);
        }
        C w1, w2, w3;
        twiddlesAt<FULL>(tw, w1, w2, w3);
        store(re, im, j, x0);
        store(re, im, j + m, mul(x1, w1));
        store(re, im, j + 2 * m, mul(x2, w2));
        store(re, im, j + 3 * m, mul(x3, w3));
    }
}

template <bool FULL> void inversePass(double* re, double* im, std::size_t m, const double* tw) {
    constexpr std::size_t stride = FULL ? 24 : 8;
    for (std::size_t j = 0; j < m; j += 4, tw += stride) {
        C w1, w2, w3;
        twiddlesAt<FULL>(tw, w1, w2, w3);
        C y0 = load(re, im, j);
        C y1 = mulConj(load(re, im, j + m), w1);
        C y2 = mulConj(load(re, im, j + 2 * m), w2);
        C y3 = mulConj(load(re, im, j + 3 * m), w3);
        idft4(y0, y1, y2, y3);
        store(re, im, j, y0);
        store(re, im, j + m, y1);
        store(re, im, j + 2 * m, y2);
        store(re, im, j + 3 * m, y3);
    }
}

struct Walk {
    const double* twiddles;
    const std::size_t* levels;
    const LeafTwiddles& leaves;
};

template <PairRun RUN>
void walk(const Walk& w, std::size_t n, int level, double* re, double* im, const double* kr,
          const double* ki, bool upperHalfZero) {
    if (n == 16) {
        leaf<RUN, 16>(re, im, kr, ki, w.leaves);
        return;
    }
    if (n == 32) {
        leaf<RUN, 32>(re, im, kr, ki, w.leaves);
        return;
    }
    const std::size_t m = n / 4;
    const double* tw = w.twiddles + w.levels[level];
    const bool full = n <= kPairFullTableLimit;
    if constexpr (RUN != PairRun::inverse) {
        if (full)
            upperHalfZero ? forwardPass<true, true>(re, im, m, tw)
                          : forwardPass<true, false>(re, im, m, tw);
        else
            upperHalfZero ? forwardPass<false, true>(re, im, m, tw)
                          : forwardPass<false, false>(re, im, m, tw);
    }
    for (std::size_t q = 0; q < 4; ++q)
        walk<RUN>(w, m, level + 1, re + q * m, im + q * m, kr ? kr + q * m : nullptr,
                  ki ? ki + q * m : nullptr, false);
    if constexpr (RUN != PairRun::forward) {
        if (full)
            inversePass<true>(re, im, m, tw);
        else
            inversePass<false>(re, im, m, tw);
    }
}

} // namespace

void runPairAvx2(PairRun run, std::size_t n, const double* twiddles, const std::size_t* levels,
                 double* re, double* im, const double* kernelRe, const double* kernelIm,
                 bool upperHalfZero) {
    const Walk w{twiddles, levels, kLeafTwiddles()};
    switch (run) {
    case PairRun::forward:
        walk<PairRun::forward>(w, n, 0, re, im, nullptr, nullptr, upperHalfZero);
        break;
    case PairRun::inverse:
        walk<PairRun::inverse>(w, n, 0, re, im, nullptr, nullptr, false);
        break;
    case PairRun::convolve:
        walk<PairRun::convolve>(w, n, 0, re, im, kernelRe, kernelIm, upperHalfZero);
        break;
    }
}

} // namespace quillon::dsp::detail
