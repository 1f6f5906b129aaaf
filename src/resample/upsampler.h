#pragma once

#include <cstdint>
#include <vector>

#include "resample/dsp/pair_convolver.h"
#include "resample/dsp/sliding_products.h"
#include "resample/resampler_base.h"

namespace quillon::resample {

// Converter to a higher rate. Per channel: a polyphase interpolator from inputRate up to
// midRate = stageFactor * outputRate (short filter designed at lcmRate), then a long low-pass
// at inputRate / 2 applied by FFT overlap-add, keeping every stageFactor-th sample.
//
// Time is counted in ticks of 1 / lcmRate: an input frame lasts phaseCount ticks, an
// intermediate sample M = (inputRate / g) / stageFactor ticks.
class Upsampler final : public Resampler_base {
public:
    // Design values, fixed by the constructor.
    int rateGcd = 0;         // g
    int stageFactor = 0;     // k: 1, 2 or 3
    int lcmRate = 0;         // L = (inputRate / g) * outputRate
    int midRate = 0;         // k * outputRate
    int polyLength = 0;      // N1, short filter taps, odd
    int phaseCount = 0;      // P = L / inputRate
    int tapsPerPhase = 0;    // Q = N1 / P + 1
    int fftFilterLength = 0; // N2, long filter taps, odd
    int fftLength = 0;       // F
    int blockLength = 0;     // H = F / 2

    std::vector<double> phaseTable; // P rows of Q taps: row r holds taps r, r + P, r + 2P, ...
    std::vector<int> phaseOffsets;  // P * k: phaseTable row of each intermediate sample
    std::vector<int> inputAdvance;  // P * k: doubles the read position moves afterwards
    dsp::SlidingProducts polyphaseGroups; // the same products four at a time, where available
    std::vector<double> kernelSpectrum; // F: packed spectrum of the long filter, gain 2/F folded in
    std::vector<int> fftIndex;
    std::vector<double> fftTable;
    // The same long filter for two channels at a time, where the processor runs it; a channel
    // left over, or every channel elsewhere, goes through realFft with kernelSpectrum.
    dsp::PairConvolver pairConvolver;

    // Buffers, sized once here.
    std::vector<double> history;      // (H + Q) frames, interleaved; frame 0 is the oldest kept
    std::vector<double> outputFrames; // (H / k + 1) frames, interleaved
    std::vector<std::vector<double>> overlapTail; // per channel, H / k + 1
    std::vector<dsp::AlignedDoubles> workBuffers; // per channel, F
    std::vector<double*> workPointers;            // workBuffers[c].data(), for the kernels

    // Step state.
    int historyFrames = 0;    // frames held in history, silent lead-in included
    int tickPos = 0;          // next intermediate sample, in ticks from history frame 0
    int phaseIndex = 0;       // into phaseOffsets / inputAdvance
    int decimationOffset = 0; // first kept sample of the next convolved block, 0 .. k - 1
    int blockOutputs = 0;     // output frames of the last step

    // Designs both filters and allocates every array. Resampler worker thread.
    explicit Upsampler(const ResamplerConfig& config);
    Upsampler(const ResamplerConfig& config, const ResamplerPlan& plan);

    // Input frames the next non-final step consumes. Resampler worker thread.
    int nextStepFrames() const override;

    // One step; see Resampler_base. Resampler worker thread; never the driver's callback.
    std::uint32_t process(const std::uint8_t* bytes, std::uint32_t length, int final) override;

    // Resampler worker thread.
    ~Upsampler() override;

private:
    // phaseOffsets, inputAdvance and polyphaseGroups for the designed short filter.
    void preparePhases();
    void allocateBuffers();
    void runPolyphase(int firstFrame);
    // Overlap-add and decimation of channel ch's convolved block into outputFrames and its tail.
    void keepConvolved(int ch);
};

} // namespace quillon::resample
