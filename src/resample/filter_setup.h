#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "resample/dsp/filter_design.h"
#include "resample/dsp/real_fft.h"
#include "resample/frequency_ops.h"

namespace quillon::resample {

// The two filters both converters design; the members they fill are named alike in each.

// The short filter, designed at lcmRate: transition band from inputRate / 2 up to midRate / 2,
// cut-off in its middle. Sets polyLength, phaseCount = lcmRate / tableRate and tapsPerPhase,
// and fills phaseTable: tap j goes to row j % P, column j / P. tableRate is the rate of the
// samples the table reads; the gain lcmRate / tableRate makes up for the zeros between them.
// Resampler worker thread.
template <class Converter>
void designShortFilter(Converter& r, int tableRate, double beta, double i0Beta) {
    const int L = r.lcmRate;
    const int c = r.midRate / 2 - r.inputRate / 2;
    const double D = c * 0.5 + (r.inputRate / 2);
    r.polyLength = static_cast<int>(
        static_cast<double>(L) / c * dsp::kaiserLengthFactor(r.attenuationDb) + 1.0);
    if (r.polyLength % 2 == 0) {
        ++r.polyLength;
    }
    r.phaseCount = L / tableRate;
    r.tapsPerPhase = r.polyLength / r.phaseCount + 1;
    const int P = r.phaseCount;
    const int Q = r.tapsPerPhase;
    r.phaseTable.assign(static_cast<std::size_t>(P) * Q, 0.0);
    const int half = r.polyLength / 2;
    for (int n = -half; n <= half; ++n) {
        const int j = n + half;
        r.phaseTable[static_cast<std::size_t>(j % P) * Q + j / P] =
            dsp::windowedSinc(n, r.polyLength, D, L, beta, i0Beta) * L / tableRate;
    }
}

// The long filter, fftFilterLength taps cutting at cutoffHz and applied at midRate, as the
// packed spectrum realFft multiplies by (scaled by 2 / F), with the FFT tables and the pair
// convolver set up from it. stuffed: the input is zero-stuffed from inputRate up to midRate,
// so the taps carry the gain midRate / inputRate back. Resampler worker thread.
template <class Converter>
void designLongFilter(Converter& r, double cutoffHz, bool stuffed, double beta, double i0Beta) {
    const int F = r.fftLength;
    r.kernelSpectrum.assign(F, 0.0);
    const int half = r.fftFilterLength / 2;
    for (int n = -half; n <= half; ++n) {
        double tap = dsp::windowedSinc(n, r.fftFilterLength, cutoffHz, r.midRate, beta, i0Beta);
        if (stuffed) {
            tap = tap * r.midRate / r.inputRate;
        }
        r.kernelSpectrum[n + half] = tap / F * 2.0;
    }
    preparePairFilter(r.pairConvolver, r.kernelSpectrum, r.channels);
    r.fftIndex.assign(static_cast<std::size_t>(std::sqrt(static_cast<double>(F)) + 2), 0);
    r.fftTable.assign(F / 2, 0.0);
    dsp::realFft(F, 1, r.kernelSpectrum.data(), r.fftIndex.data(), r.fftTable.data());
}

} // namespace quillon::resample
