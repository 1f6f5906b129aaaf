#include "resample/dsp/real_fft.h"

#include <cmath>
#include <cstddef>

#include "resample/dsp/fft_kernels.h"

// Work arrays for a table size nb (the largest n transformed so far):
//   fftIndex[0] = nw = nb/4, fftIndex[1] = nc = nb/4, fftIndex[2..] bit-reversal scratch
//   fftTable[0, nw):       e^(+2 pi i k/(nb/2)) for k < nb/8, (cos, sin) pairs: complex FFT
//   twiddles fftTable[nw, nw + nc): e^(+2 pi i k/nb) for k < nb/8: twiddles of the real split step
// A smaller n reads both with a stride of nb/n.

namespace quillon::dsp {
namespace detail {
namespace {

constexpr double twoPi = 6.283185307179586476925286766559;

// e^(2 pi i k/period) for k < count (count <= period/8 + 1), each from an angle of at most
// pi/4 so that both parts keep full relative precision.
void fillRoots(double* out, std::size_t count, std::size_t period) {
    for (std::size_t k = 0; k < count; ++k) {
        std::size_t k8 = 8 * k;
        double c, s;
        if (k8 <= period) {
            double angle = twoPi * static_cast<double>(k) / static_cast<double>(period);
            c = std::cos(angle);
            s = std::sin(angle);
        } else {
            double angle =
                twoPi * static_cast<double>(period / 4 - k) / static_cast<double>(period);
            c = std::sin(angle);
            s = std::cos(angle);
        }
        out[2 * k] = c;
        out[2 * k + 1] = s;
    }
}

void buildTables(int n, int* fftIndex, double* fftTable) {
    std::size_t nw = static_cast<std::size_t>(n / 4);
    if (n >= 8) {
        fillRoots(fftTable, static_cast<std::size_t>(n / 8), static_cast<std::size_t>(n / 2));
        fillRoots(fftTable + nw, static_cast<std::size_t>(n / 8), static_cast<std::size_t>(n));
    }
    fftIndex[0] = n / 4;
    fftIndex[1] = n / 4;
}

// Z(k) and Z(N-k) of the real transform from Zc(k), Zc(N-k) of the half-length complex one
// (z_m = x_2m + i x_2m+1), with w = e^(2 pi i k/n):
//   A = Zc(k), B = conj Zc(N-k), E = (A+B)/2, O = -i(A-B)/2, Z(k) = E + wO, Z(N-k) = conj(E - wO).
// The inverse runs the same algebra backwards: O = (A-B) conj(w)/2, Zc(k) = E + iO,
// Zc(N-k) = conj(E - iO).
template <bool INV>
inline void splitPair(double* a, std::size_t k, std::size_t kr, double wr, double wi) {
    double ar = a[2 * k], ai = a[2 * k + 1];
    double br = a[2 * kr], bi = -a[2 * kr + 1];
    double er = 0.5 * (ar + br), ei = 0.5 * (ai + bi);
    double dr = 0.5 * (ar - br), di = 0.5 * (ai - bi);
    double tr, ti;
    if constexpr (!INV) {
        // O = -i D = (di, -dr); t = w O
        double orr = di, oi = -dr;
        tr = wr * orr - wi * oi;
        ti = wr * oi + wi * orr;
    } else {
        // O = D conj(w); t = i O
        double orr = dr * wr + di * wi, oi = di * wr - dr * wi;
        tr = -oi;
        ti = orr;
    }
    a[2 * k] = er + tr;
    a[2 * k + 1] = ei + ti;
    a[2 * kr] = er - tr;
    a[2 * kr + 1] = -(ei - ti);
}

template <bool INV> void splitStep(double* a, std::size_t N, const double* S, std::size_t ss) {
    // Pairs (k, N-k) with w = S[k], and (N/2-k, N/2+k) with e^(2 pi i (N/2-k)/n) = i conj(S[k]).
    for (std::size_t k = 1; k < N / 4; ++k) {
        double wr = S[2 * k * ss], wi = S[2 * k * ss + 1];
        splitPair<INV>(a, k, N - k, wr, wi);
        splitPair<INV>(a, N / 2 - k, N / 2 + k, wi, wr);
    }
    if (N >= 4) {
        const double h = 0.70710678118654752440084436210485;
        splitPair<INV>(a, N / 4, N - N / 4, h, h);
    }
    // Zc(N/2) and Z(N/2) coincide.
}

ComplexFft chosenKernel(FftKernel kernel) {
    return kernel == FftKernel::avx2 ? complexFftAvx2 : complexFftSse2;
}

} // namespace

bool fftKernelAvailable(FftKernel kernel) {
    if (kernel == FftKernel::sse2)
        return true;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void realFftWith(FftKernel kernel, int n, int direction, double* a, int* fftIndex,
                 double* fftTable) {
    if (n > 4 * fftIndex[0])
        buildTables(n, fftIndex, fftTable);
    const std::size_t nb = 4 * static_cast<std::size_t>(fftIndex[0]);
    const std::size_t N = static_cast<std::size_t>(n / 2);
    const double* W = fftTable;
    const double* S = fftTable + fftIndex[0];
    ComplexFft fft = chosenKernel(kernel);
    if (direction >= 0) {
        if (N >= 2)
            fft(a, N, false, W, nb / 2);
        if (N >= 4)
            splitStep<false>(a, N, S, nb / static_cast<std::size_t>(n));
        double t = a[0] - a[1];
        a[0] += a[1];
        a[1] = t;
    } else {
        double t = 0.5 * (a[0] - a[1]);
        a[0] -= t;
        a[1] = t;
        if (N >= 4)
            splitStep<true>(a, N, S, nb / static_cast<std::size_t>(n));
        if (N >= 2)
            fft(a, N, true, W, nb / 2);
    }
}

} // namespace detail

namespace {

detail::FftKernel bestKernel() {
    static const detail::FftKernel kernel = detail::fftKernelAvailable(detail::FftKernel::avx2)
                                                ? detail::FftKernel::avx2
                                                : detail::FftKernel::sse2;
    return kernel;
}

} // namespace

void realFft(int n, int direction, double* a, int* fftIndex, double* fftTable) {
    detail::realFftWith(bestKernel(), n, direction, a, fftIndex, fftTable);
}

} // namespace quillon::dsp
