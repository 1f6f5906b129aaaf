#pragma once

namespace quillon::resample {

// Multiplies the packed spectrum a by the packed spectrum b in place: a[0] (DC) and a[1]
// (Nyquist) are plain reals, every later pair (a[2i], a[2i + 1]) a complex value.
// Resampler worker thread.
inline void multiplySpectrum(double* a, const double* b, int n) {
    a[0] *= b[0];
    a[1] *= b[1];
    for (int i = 2; i < n; i += 2) {
        const double re = a[i] * b[i] - a[i + 1] * b[i + 1];
        const double im = a[i] * b[i + 1] + a[i + 1] * b[i];
        a[i] = re;
        a[i + 1] = im;
    }
}

} // namespace quillon::resample
