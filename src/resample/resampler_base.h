#pragma once

#include <cstdint>

#include "resample/dsp/sample_io.h"

namespace quillon::resample {

// The converter configuration, eight signed 32-bit values in this order.
struct ResamplerConfig {
    std::int32_t inputRate;
    std::int32_t outputRate;
    std::int32_t inputIsFloat;
    std::int32_t outputIsFloat;
    std::int32_t inputBits;
    std::int32_t outputBits;
    std::int32_t channels;
    std::int32_t quality;
};

struct QualityLevel {
    double attenuationDb;   // stop-band attenuation of both filters
    double maxTransitionHz; // widest transition allowed for the long (FFT) filter
    int baseBlockLength;    // smallest block length, half the smallest FFT size
};

inline constexpr int kQualityLevelCount = 5;
inline constexpr QualityLevel kQualityLevels[kQualityLevelCount] = {
    {96.0, 8000.0, 1024},  {120.0, 100.0, 16384}, {170.0, 100.0, 16384},
    {170.0, 100.0, 65536}, {200.0, 50.0, 262144},
};

enum class ResamplerKind { none, up, down };

// What the factory decides for a configuration, with the rate arithmetic the converters repeat.
// Every value is meaningful only when kind is not none.
struct ResamplerPlan {
    ResamplerKind kind = ResamplerKind::none;
    std::int32_t g = 0;              // greatest common divisor of the two rates
    std::int32_t e = 0;              // lower rate div g
    std::int32_t stageFactor = 0;    // 1 if e == 1, else 2 if e is even, else 3
    std::int32_t lcmRate = 0;        // (inputRate div g) * outputRate
    std::int32_t midRate = 0;        // stageFactor * outputRate (up) or * inputRate (down)
    std::int32_t longFilterTaps = 0; // N2 = baseBlockLength * 2^j - 1
    std::int32_t fftSize = 0;        // F = 2 * (N2 + 1)
};

// Decides whether and how a configuration can be converted: none for equal rates, for a lower
// rate whose quotient by the gcd is neither 1 nor divisible by 2 or 3, for any value outside the
// supported set (rates <= 0, channels < 1, quality outside 0..4, input formats other than 8/16/
// 24/32-bit integer or 32/64-bit float, output other than 64-bit float) and for rate pairs
// whose products or filter sizes would overflow 32-bit arithmetic or the 2^31-byte buffers.
// Pure; any thread.
ResamplerPlan planResampler(const ResamplerConfig& config);

// Abstract sample-rate converter. Lives on the resampler worker thread.
class Resampler_base {
public:
    dsp::GrowableBuffer inputBuffer;  // client bytes not yet consumed by process
    dsp::GrowableBuffer outputBuffer; // converted bytes waiting to be read
    double attenuationDb;
    double maxTransitionHz;
    int baseBlockLength;
    int channels;
    int inputRate;
    int outputRate;
    int inputIsFloat;
    int outputIsFloat;
    int inputBytesPerSample;
    int outputBytesPerSample;
    int samplesToSkip = 0; // set by each derived constructor to its delay in values
    // The stream so far: input frames the steps took (the silence a final step pads with
    // excluded) and output frames appended after the delay. The flush stops where they meet the
    // rate ratio.
    std::int64_t inputFramesTaken = 0;
    std::int64_t outputFramesKept = 0;
    // Set by a step that found no room for its output and so ran nothing; cleared by the
    // caller that reads it.
    bool outputFailed = false;
    // Conversion pauses once the output holds this many bytes (0: never), so that a reader who
    // cannot take the output yet never makes the converter hold, or spend time on, more.
    std::uint32_t outputLimit = 0;
    // Set by convertSteps when it stopped at outputLimit with steps still to run.
    bool outputLimited = false;

    Resampler_base(const Resampler_base&) = delete;
    Resampler_base& operator=(const Resampler_base&) = delete;

    // Runs one step (see the converters): returns the bytes consumed from the front of bytes,
    // 0 when final == 0 and a step's worth is not there yet. Resampler worker thread.
    virtual std::uint32_t process(const std::uint8_t* bytes, std::uint32_t length, int final) = 0;

    // Input frames the next non-final step consumes; 0 when steps take any length.
    // Resampler worker thread.
    virtual int nextStepFrames() const { return 0; }

    // Frees the derived arrays, then outputBuffer's block, then inputBuffer's. Worker thread.
    virtual ~Resampler_base();

protected:
    explicit Resampler_base(const ResamplerConfig& config);
};

// Input frames a step takes out of `length` bytes of whole frames of frameSize bytes, when it
// needs `need`: all of them or none in a plain step (-1: not enough yet), up to `need` in a
// final one, which pads the rest. A caller that sends more gets one step taken. Pure.
inline int stepFrames(std::uint32_t length, std::uint32_t frameSize, int need, int final) {
    const std::uint32_t have = length / frameSize;
    if (final == 0) {
        return have < static_cast<std::uint32_t>(need) ? -1 : need;
    }
    return static_cast<int>(
        have < static_cast<std::uint32_t>(need) ? have : static_cast<std::uint32_t>(need));
}

// The converter's input layout, as the sample decoders take it. Any thread.
inline dsp::InputLayout inputLayout(const Resampler_base& converter) {
    return {converter.channels, converter.inputBytesPerSample, converter.inputIsFloat};
}

// Appends frames interleaved frames of doubles to the converter's outputBuffer, first dropping
// values while samplesToSkip is above zero, and counts the frames kept in outputFramesKept.
// Returns false, with nothing changed, when the output buffer cannot grow. Resampler worker
// thread.
bool encodeOutput(Resampler_base& converter, int frames, const double* values);

// A new Upsampler or Downsampler owned by the caller, or null when planResampler says none or
// the allocation fails. Resampler worker thread. Defined beside the concrete converters.
Resampler_base* createResampler(const ResamplerConfig& config);

// Output frames that inputFrames input frames last at the output rate, rounded to nearest.
std::int64_t flushedOutputFrames(const Resampler_base& converter, std::int64_t inputFrames);

// Runs process over the converter's inputBuffer for as long as it takes whole steps, then moves
// what is left (less than a step) to the front. With final set the converter is flushed: the
// whole frames left go through a zero-padded step, further silent steps follow until the
// filters' delay is through, and the output is cut to flushedOutputFrames of all input taken,
// so it holds every input frame's worth and no padding. false when a step found no room for
// its output (outputFailed): that step consumed nothing and its input is still in front. Once
// the output holds outputLimit bytes it stops before the next step (outputLimited) and a later
// call carries on, the flush included. The worker's feed and drain; tools and tests drive
// converters with it. Resampler worker thread.
bool convertSteps(Resampler_base& converter, int final);

} // namespace quillon::resample
