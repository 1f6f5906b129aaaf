#include "resample/resampler_base.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "resample/dsp/filter_design.h"

namespace quillon::resample {

namespace {

constexpr std::int64_t kInt32Max = 0x7fffffff;
// Arrays and step outputs stay below half the 2^31-byte buffer limit, so a buffer can always
// hold a step's worth beside what is already waiting.
constexpr std::int64_t kMaxArrayBytes = std::int64_t{1} << 30;

bool knownInput(std::int32_t isFloat, std::int32_t bits) {
    if (isFloat == 0)
        return bits == 8 || bits == 16 || bits == 24 || bits == 32;
    if (isFloat == 1)
        return bits == 32 || bits == 64;
    return false;
}

} // namespace

ResamplerPlan planResampler(const ResamplerConfig& config) {
    const ResamplerPlan none{};
    const std::int64_t in = config.inputRate;
    const std::int64_t out = config.outputRate;
    if (in <= 0 || out <= 0 || in == out || config.channels < 1 || config.quality < 0 ||
        config.quality >= kQualityLevelCount || !knownInput(config.inputIsFloat, config.inputBits))
        return none;
    // encodeOutput appends the converters' doubles unchanged: only that output can be honest.
    if (config.outputIsFloat != 1 || config.outputBits != 64)
        return none;

    std::int32_t c = config.inputRate, e = config.outputRate;
    while (e != 0) {
        std::int32_t r = c % e;
        c = e;
        e = r;
    }
    ResamplerPlan plan;
    plan.g = c;
    const std::int64_t lcm = (in / plan.g) * out;
    if (lcm > kInt32Max)
        return none;
    plan.lcmRate = static_cast<std::int32_t>(lcm);
    const bool up = in < out;
    plan.e = static_cast<std::int32_t>((up ? in : out) / plan.g);
    if (plan.e == 1)
        plan.stageFactor = 1;
    else if (plan.e % 2 == 0)
        plan.stageFactor = 2;
    else if (plan.e % 3 == 0)
        plan.stageFactor = 3;
    else
        return none;
    const std::int64_t mid = plan.stageFactor * (up ? out : in);
    if (mid > kInt32Max)
        return none;
    plan.midRate = static_cast<std::int32_t>(mid);

    const QualityLevel& level = kQualityLevels[config.quality];
    const double d = dsp::kaiserLengthFactor(level.attenuationDb);

    // The polyphase short filter: taps N1 from the transition c at the lcm rate, in P rows.
    if (up || plan.stageFactor > 1) {
        const std::int64_t width = mid / 2 - in / 2;
        const double taps = static_cast<double>(lcm) / static_cast<double>(width) * d + 1.0;
        if (!(taps < static_cast<double>(kInt32Max - 1)))
            return none;
        const std::int64_t n1 = static_cast<std::int64_t>(taps) | 1;
        const std::int64_t rows = lcm / (up ? in : mid);
        const std::int64_t columns = n1 / rows + 1;
        if (rows * columns * 8 > kMaxArrayBytes || rows * plan.stageFactor * 4 > kMaxArrayBytes)
            return none;
    }

    // The long FFT filter: the shortest baseBlockLength * 2^j - 1 taps that keep its transition
    // at the intermediate rate under maxTransitionHz.
    std::int64_t block = level.baseBlockLength;
    for (;;) {
        const std::int64_t n2 = block - 1;
        if (level.maxTransitionHz >
            static_cast<double>(plan.midRate) * d / static_cast<double>(n2 - 1))
            break;
        block *= 2;
        if (block * 2 * 8 > kMaxArrayBytes)
            return none;
    }
    if (block * 8 * config.channels > kMaxArrayBytes)
        return none;
    plan.longFilterTaps = static_cast<std::int32_t>(block - 1);
    plan.fftSize = static_cast<std::int32_t>(2 * block);
    plan.kind = up ? ResamplerKind::up : ResamplerKind::down;
    return plan;
}

Resampler_base::Resampler_base(const ResamplerConfig& config)
    : channels(config.channels), inputRate(config.inputRate), outputRate(config.outputRate),
      inputIsFloat(config.inputIsFloat), outputIsFloat(config.outputIsFloat),
      inputBytesPerSample(config.inputBits >> 3), outputBytesPerSample(config.outputBits >> 3) {
    // The factory refuses other levels; clamp anyway so a direct construction stays defined.
    int q = config.quality < 0
                ? 0
                : (config.quality >= kQualityLevelCount ? kQualityLevelCount - 1 : config.quality);
    attenuationDb = kQualityLevels[q].attenuationDb;
    maxTransitionHz = kQualityLevels[q].maxTransitionHz;
    baseBlockLength = kQualityLevels[q].baseBlockLength;
}

Resampler_base::~Resampler_base() {
    dsp::releaseBuffer(outputBuffer);
    dsp::releaseBuffer(inputBuffer);
}

std::int64_t flushedOutputFrames(const Resampler_base& converter, std::int64_t inputFrames) {
    if (converter.inputRate <= 0 || inputFrames <= 0) {
        return 0;
    }
    const std::int64_t in = converter.inputRate;
    return (inputFrames * converter.outputRate * 2 + in) / (2 * in);
}

bool convertSteps(Resampler_base& converter, int final) {
    dsp::GrowableBuffer& input = converter.inputBuffer;
    const std::uint32_t length = input.length;
    converter.outputFailed = false;
    converter.outputLimited = false;
    const auto full = [&converter] {
        converter.outputLimited =
            converter.outputLimit != 0 && converter.outputBuffer.length >= converter.outputLimit;
        return converter.outputLimited;
    };
    std::uint32_t consumed = 0;
    while (consumed < length && !full()) {
        std::uint32_t k = converter.process(input.data + consumed, length - consumed, final);
        if (k == 0) {
            break;
        }
        // A converter that claimed more than it was given must not push the move out of bounds.
        consumed += k < length - consumed ? k : length - consumed;
    }
    if (final != 0 && !converter.outputFailed && !converter.outputLimited) {
        // The last input frames still sit in the filters, their delay's worth behind: silent
        // steps bring them out. A step that adds nothing and skips nothing ends it too, so a
        // converter that cannot make progress never loops.
        const std::int64_t target = flushedOutputFrames(converter, converter.inputFramesTaken);
        while (converter.outputFramesKept < target && !full()) {
            const std::int64_t kept = converter.outputFramesKept;
            const int skip = converter.samplesToSkip;
            converter.process(input.data + consumed, 0, 1);
            if (converter.outputFailed ||
                (converter.outputFramesKept == kept && converter.samplesToSkip == skip)) {
                break;
            }
        }
        // The last step ran past the end into padding: cut the output where the input ends.
        const std::int64_t frameBytes =
            static_cast<std::int64_t>(converter.outputBytesPerSample) * converter.channels;
        if (converter.outputFramesKept > target && frameBytes > 0) {
            const std::int64_t held = converter.outputBuffer.length / frameBytes;
            const std::int64_t cut = std::min(converter.outputFramesKept - target, held);
            converter.outputBuffer.length -= static_cast<std::uint32_t>(cut * frameBytes);
            converter.outputFramesKept -= cut;
        }
    }
    if (consumed != 0) {
        if (consumed == length) {
            input.length = 0;
        } else {
            std::memmove(input.data, input.data + consumed, length - consumed);
            input.length = length - consumed;
        }
    }
    return !converter.outputFailed;
}

bool encodeOutput(Resampler_base& converter, int frames, const double* values) {
    const std::int64_t v = std::int64_t{frames} * converter.channels;
    const std::int64_t s = converter.samplesToSkip;
    if (v > s) {
        std::uint64_t bytes = static_cast<std::uint64_t>(v - s) * sizeof(double);
        if (bytes > dsp::kMaxBufferCapacity)
            return false;
        if (!dsp::appendBytes(converter.outputBuffer,
                              reinterpret_cast<const std::uint8_t*>(values + s),
                              static_cast<std::uint32_t>(bytes)))
            return false;
    }
    converter.samplesToSkip = static_cast<int>(s > v ? s - v : 0);
    if (v > s)
        converter.outputFramesKept += (v - s) / converter.channels;
    return true;
}

} // namespace quillon::resample
