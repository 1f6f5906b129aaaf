#pragma once

#include <cstdint>
#include <vector>

#include "resample/dsp/pair_convolver.h"
#include "resample/dsp/sliding_products.h"
#include "resample/resampler_base.h"

namespace quillon::resample {

// Converter to a lower rate. Per channel: the input is zero-stuffed by stageFactor up to
// midRate = stageFactor * inputRate and filtered by a long low-pass ending at outputRate / 2
// (FFT overlap-add, gain stageFactor); a polyphase stage designed at lcmRate then picks the
// output frames. With stageFactor 1 the polyphase stage is plain decimation.
//
// Time is counted in ticks of 1 / lcmRate: an intermediate sample lasts phaseCount ticks, an
// output frame M = lcmRate / outputRate ticks.
class Downsampler final : public Resampler_base {
public:
    // Design values, fixed by the constructor.
    int rateGcd = 0;         // g
    int stageFactor = 0;     // k: 1, 2 or 3
    int midRate = 0;         // k * inputRate
    int lcmRate = 0;         // L = (inputRate / g) * outputRate
    int fftFilterLength = 0; // N2, long filter taps, odd
    int fftLength = 0;       // F
    int blockLength = 0;     // H = F / 2
    double transitionHz = 0; // transition width the long filter achieves
    double cutoffHz = 0;     // long filter cut-off, (outputRate - transitionHz) / 2
    int polyLength = 0;      // N1, odd; 1 when k = 1
    int phaseCount = 0;      // P = L / midRate
    int tapsPerPhase = 0;    // Q = N1 / P + 1; 1 when k = 1

    std::vector<double> kernelSpectrum; // F: packed spectrum of the long filter, gain k * 2/F
    std::vector<int> fftIndex;
    std::vector<double> fftTable;
    // The same long filter for two channels at a time, where the processor runs it; a channel
    // left over, or every channel elsewhere, goes through realFft with kernelSpectrum.
    dsp::PairConvolver pairConvolver;
    std::vector<double> phaseTable;       // P rows of Q taps
    std::vector<int> phaseOffsets;        // P: phaseTable row of each output phase
    std::vector<int> inputAdvance;        // P: intermediate samples to the next read position
    dsp::SlidingProducts polyphaseGroups; // the same products four at a time, where available

    // Buffers, sized once here.
    // Per channel, F: the step's input frames are decoded straight into the first H values,
    // zero-stuffed, and convolved in place.
    std::vector<dsp::AlignedDoubles> workBuffers;
    // Per channel, F: the previous step's work buffer, whose second half is the overlap tail
    // that this step's block completes. The two trade places after every step, so the tail is
    // never copied.
    std::vector<dsp::AlignedDoubles> previousWork;
    std::vector<std::vector<double>> streamBuffers; // per channel, H + Q + 1; see process
    std::vector<double> outputFrames;               // one step's output frames, interleaved
    std::vector<int> readRows;      // per output of a step: phaseTable offset of its row
    std::vector<int> readPositions; // per output of a step: first streamBuffers position read

    // Step state.
    int stuffOffset = 0;  // position of the first input sample in the next stuffed block
    int tickPos = 0;      // next output frame, in ticks from streamBuffers position 0
    int phaseIndex = 0;   // into phaseOffsets / inputAdvance
    int blockOutputs = 0; // output frames of the last step

    // Designs both filters and allocates every array. Resampler worker thread.
    explicit Downsampler(const ResamplerConfig& config);
    Downsampler(const ResamplerConfig& config, const ResamplerPlan& plan);

    // Input frames the next non-final step consumes. Resampler worker thread.
    int nextStepFrames() const override;

    // One step; see Resampler_base. Resampler worker thread; never the driver's callback.
    std::uint32_t process(const std::uint8_t* bytes, std::uint32_t length, int final) override;

    // Resampler worker thread.
    ~Downsampler() override;

private:
    // The polyphase stage's phases (plain decimation when k = 1); returns M. Constructor.
    int designPolyphase(double beta, double i0Beta);
    void allocateBuffers(int M);
    // The step's output frames from streamBuffers into outputFrames; advances phaseIndex and
    // returns how many.
    int runPolyphase();

    int outputCapacity = 0;
    std::vector<double*> workPointers; // workBuffers[c].data(), refreshed each step
};

} // namespace quillon::resample
