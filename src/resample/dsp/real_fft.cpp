#include "resample/dsp/real_fft.h"

#include <cmath>
#include <cstddef>

#include "resample/dsp/fft_kernels.h"

// Work arrays for a table size nb (the largest n transformed so far):
//
//   fftIndex[0] = nw = nb/4    fftIndex[1] = nc = nb/4    fftIndex[2..] unused
//   fftTable[0, nw)            e^(+2 pi i k/(nb/2)), k < nb/8, as (cos, sin): complex FFT twiddles
//   fftTable[nw, nw + nc)      e^(+2 pi i k/nb), k < nb/8: twiddles of the real split step
//
// A smaller n reads both with a stride of nb/n, so the tables are never rebuilt for it.

namespace quillon::dsp {
namespace detail {
namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

// e^(2 pi i k/period) for k < count (count <= period/8 + 1), each from an angle of at most
// pi/4 so that both parts keep full relative precision.
void fillRoots(double* out, std::size_t count, std::size_t period) {
    for (std::size_t k = 0; k < count; ++k) {
        std::size_t k8 = 8 * k;
        double c, s;
        if (k8 <= period) {
            double angle = kTwoPi * static_cast<double>(k) / static_cast<double>(period);
            c = std::cos(angle);
            s = std::sin(angle);
        } else {
            double angle =
                kTwoPi * static_cast<double>(period / 4 - k) / static_cast<double>(period);
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

RealTransform chosenKernel(FftKernel kernel) {
    return kernel == FftKernel::avx2 ? realTransformAvx2 : realTransformSse2;
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
    chosenKernel(kernel)(a, static_cast<std::size_t>(n), direction < 0, fftTable, nb / 2,
                         fftTable + fftIndex[0], nb / static_cast<std::size_t>(n));
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
