#pragma once

namespace quillon::dsp {

// In-place real DFT of n doubles, n a power of two (n >= 2).
//
// direction >= 0 (forward) replaces x[0..n-1] by its packed spectrum, unscaled:
//   a[0] = R(0) (DC), a[1] = R(n/2) (Nyquist),
//   a[2k] = sum x[j] cos(2 pi j k / n), a[2k+1] = sum x[j] sin(2 pi j k / n), 1 <= k < n/2.
// The sine sums carry a plus sign (the negated imaginary part of the usual e^-i kernel).
// direction < 0 (inverse) takes such a spectrum back without any 1/n factor:
// inverse(forward(x)) = (n/2) x.
//
// fftIndex (at least 2 + sqrt(n/2) ints) and fftTable (n/2 doubles) belong to the caller and
// carry the tables between calls: set fftIndex[0] = 0 once after allocating; a call for a larger
// n rebuilds them, a call for the same or a smaller n reuses them untouched. After a call for n,
// fftIndex[0] = fftIndex[1] = n/4.
//
// Any thread; no allocation. Two transforms may run at once only on distinct work arrays.
void realFft(int n, int direction, double* a, int* fftIndex, double* fftTable);

} // namespace quillon::dsp
