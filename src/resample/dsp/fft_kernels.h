#pragma once

// Internal to the real FFT: one set of complex kernels per instruction set, chosen at run time.

#include <cstddef>

namespace quillon::dsp::detail {

// In-place real transform of n doubles (packing and scaling as realFft), on top of a complex FFT
// of N = n/2 points with the kernel e^(+2 pi i jk/N) forward and e^(-2 pi i jk/N) inverse.
// W holds e^(+2 pi i k/tableN) for k < tableN/4 (tableN >= N), S holds e^(+2 pi i k/(2 tableN))
// for k < tableN/4, read with stride ss = 2 tableN/n.
using RealTransform = void (*)(double* a, std::size_t n, bool inverse, const double* W,
                               std::size_t tableN, const double* S, std::size_t ss);

void realTransformSse2(double* a, std::size_t n, bool inverse, const double* W, std::size_t tableN,
                       const double* S, std::size_t ss);
void realTransformAvx2(double* a, std::size_t n, bool inverse, const double* W, std::size_t tableN,
                       const double* S, std::size_t ss);

enum class FftKernel { sse2, avx2 };

bool fftKernelAvailable(FftKernel kernel);

// realFft with a chosen kernel, so tests can check every one the processor runs.
void realFftWith(FftKernel kernel, int n, int direction, double* a, int* fftIndex,
                 double* fftTable);

} // namespace quillon::dsp::detail
