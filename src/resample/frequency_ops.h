#pragma once

#include <cstring>
#include <vector>

#include "resample/dsp/pair_convolver.h"
#include "resample/dsp/real_fft.h"

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

// Sets plan up for the long filter whose taps, already scaled by 2/F for realFft, are in
// scaledTaps (before their transform). Only a converter with two channels or more uses it.
// The pair convolver folds in its own 1/F; both factors are powers of two, so the taps it gets
// are exact. Resampler worker thread.
inline void preparePairFilter(dsp::PairConvolver& plan, const std::vector<double>& scaledTaps,
                              int channels) {
    if (channels < 2) {
        return;
    }
    const int F = static_cast<int>(scaledTaps.size());
    std::vector<double> taps(scaledTaps);
    for (double& t : taps) {
        t *= F / 2.0;
    }
    dsp::preparePairConvolver(plan, F, taps.data());
}

// Convolves every channel's block, the first H = F / 2 values of workBuffers[c], zero-padded,
// with the long filter: two channels at a time through the pair convolver where it is set up,
// the others one by one through realFft. done(c) runs once channel c's block is convolved.
// Resampler worker thread.
template <class Converter, class Done> void convolveBlocks(Converter& r, Done done) {
    const int F = r.fftLength;
    const int H = r.blockLength;
    int ch = 0;
    if (r.pairConvolver.points != 0) {
        for (; ch + 1 < r.channels; ch += 2) {
            dsp::convolvePair(r.pairConvolver, r.workBuffers[ch].data(),
                              r.workBuffers[ch + 1].data(), true);
            done(ch);
            done(ch + 1);
        }
    }
    for (; ch < r.channels; ++ch) {
        double* work = r.workBuffers[ch].data();
        std::memset(work + H, 0, sizeof(double) * (F - H));
        dsp::realFft(F, 1, work, r.fftIndex.data(), r.fftTable.data());
        multiplySpectrum(work, r.kernelSpectrum.data(), F);
        dsp::realFft(F, -1, work, r.fftIndex.data(), r.fftTable.data());
        done(ch);
    }
}

} // namespace quillon::resample
