#pragma once

// Internal to the real FFT: one set of complex kernels per instruction set, chosen at run time.

#include <cstddef>

namespace quillon::dsp::detail {

// In-place complex FFT of N points (2N doubles, re/im interleaved), N a power of two, with the
// kernel e^(+2 pi i jk/N), or e^(-2 pi i jk/N) when inverse; unscaled; natural order in and out.
// W holds e^(+2 pi i k / tableN) for k < tableN/4 (tableN >= N).
using ComplexFft = void (*)(double* a, std::size_t N, bool inverse, const double* W,
                            std::size_t tableN);

void complexFftSse2(double* a, std::size_t N, bool inverse, const double* W, std::size_t tableN);
void complexFftAvx2(double* a, std::size_t N, bool inverse, const double* W, std::size_t tableN);

enum class FftKernel { sse2, avx2 };

bool fftKernelAvailable(FftKernel kernel);

// realFft with a chosen kernel, so tests can check every one the processor runs.
void realFftWith(FftKernel kernel, int n, int direction, double* a, int* fftIndex,
                 double* fftTable);

} // namespace quillon::dsp::detail
