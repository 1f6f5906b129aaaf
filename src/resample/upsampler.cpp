#include "resample/upsampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "resample/dsp/filter_design.h"
#include "resample/dsp/sample_io.h"
#include "resample/filter_setup.h"
#include "resample/frequency_ops.h"

namespace quillon::resample {

namespace {

// Two doubles as one SSE2 value (a GCC vector extension; both our compilers are GCC).
typedef double Pair __attribute__((vector_size(16)));

// One block of H intermediate samples for every channel. Each inner product sums t = 0 .. Q - 1
// in order, so the fixed-length forms below give the same bits as the loop; channels share the
// row and the read position, and interleaved history lets a stereo pair go through one vector.
// Two outputs are computed side by side so that their two dependency chains overlap.
template <int FixedQ, int FixedC>
int polyphaseBlock(const Upsampler& u, int phase, const double* src, double* const* work) {
    const int q = FixedQ ? FixedQ : u.tapsPerPhase;
    const int ch = FixedC ? FixedC : u.channels;
    const double* table = u.phaseTable.data();
    const int* offsets = u.phaseOffsets.data();
    const int* advance = u.inputAdvance.data();
    const int wrap = u.phaseCount * u.stageFactor;
    const int count = u.blockLength;
    auto next = [&](const double*& at, int& ph) {
        at += advance[ph];
        if (++ph == wrap) {
            ph = 0;
        }
    };
    int j = 0;
    if constexpr (FixedC == 1 || FixedC == 2) {
        for (; j + 1 < count; j += 2) {
            const double* rowA = table + static_cast<std::size_t>(offsets[phase]) * q;
            const double* srcA = src;
            next(src, phase);
            const double* rowB = table + static_cast<std::size_t>(offsets[phase]) * q;
            const double* srcB = src;
            next(src, phase);
            if constexpr (FixedC == 1) {
                double accA = 0.0;
                double accB = 0.0;
                for (int t = 0; t < q; ++t) {
                    accA += rowA[t] * srcA[t];
                    accB += rowB[t] * srcB[t];
                }
                work[0][j] = accA;
                work[0][j + 1] = accB;
            } else {
                // Both channels in one two-lane vector: each lane is still its own ordered sum.
                Pair accA = {0.0, 0.0};
                Pair accB = {0.0, 0.0};
                for (int t = 0; t < q; ++t) {
                    Pair xA;
                    Pair xB;
                    std::memcpy(&xA, srcA + 2 * t, sizeof xA);
                    std::memcpy(&xB, srcB + 2 * t, sizeof xB);
                    accA += rowA[t] * xA;
                    accB += rowB[t] * xB;
                }
                work[0][j] = accA[0];
                work[1][j] = accA[1];
                work[0][j + 1] = accB[0];
                work[1][j + 1] = accB[1];
            }
        }
    }
    for (; j < count; ++j) {
        const double* row = table + static_cast<std::size_t>(offsets[phase]) * q;
        for (int c = 0; c < ch; ++c) {
            double acc = 0.0;
            for (int t = 0; t < q; ++t) {
                acc += row[t] * src[t * ch + c];
            }
            work[c][j] = acc;
        }
        next(src, phase);
    }
    return phase;
}

template <int FixedQ>
int polyphaseForChannels(const Upsampler& u, int phase, const double* src, double* const* work) {
    switch (u.channels) {
    case 1:
        return polyphaseBlock<FixedQ, 1>(u, phase, src, work);
    case 2:
        return polyphaseBlock<FixedQ, 2>(u, phase, src, work);
    default:
        return polyphaseBlock<FixedQ, 0>(u, phase, src, work);
    }
}

} // namespace

Upsampler::Upsampler(const ResamplerConfig& config) : Upsampler(config, planResampler(config)) {}

Upsampler::Upsampler(const ResamplerConfig& config, const ResamplerPlan& plan)
    : Resampler_base(config) {
    if (plan.kind != ResamplerKind::up) {
        return; // refused pair: an inert converter whose process takes nothing
    }
    rateGcd = plan.g;
    stageFactor = plan.stageFactor;
    lcmRate = plan.lcmRate;
    midRate = stageFactor * outputRate;
    fftFilterLength = plan.longFilterTaps;
    fftLength = plan.fftSize;
    blockLength = fftLength / 2;
    const double beta = dsp::kaiserBeta(attenuationDb);
    const double i0Beta = dsp::besselI0(beta);

    designShortFilter(*this, inputRate, beta, i0Beta);
    preparePhases();
    // Long filter at inputRate / 2, applied at midRate.
    designLongFilter(*this, inputRate / 2, false, beta, i0Beta);
    allocateBuffers();

    historyFrames = (polyLength / 2 / phaseCount) + 1;
    samplesToSkip =
        static_cast<int>(fftFilterLength * 0.5 / (static_cast<double>(midRate) / outputRate)) *
        channels;
}

void Upsampler::preparePhases() {
    const int P = phaseCount;
    const int k = stageFactor;
    const int M = lcmRate / (k * outputRate);
    phaseOffsets.resize(static_cast<std::size_t>(P) * k);
    inputAdvance.resize(static_cast<std::size_t>(P) * k);
    for (int i = 0; i < P * k; ++i) {
        const int offset = P - static_cast<int>((static_cast<std::int64_t>(M) * i) % P);
        phaseOffsets[i] = offset == P ? 0 : offset;
        inputAdvance[i] = phaseOffsets[i] < M ? channels : 0;
    }
    std::vector<int> advanceFrames(inputAdvance.size());
    for (std::size_t i = 0; i < advanceFrames.size(); ++i) {
        advanceFrames[i] = inputAdvance[i] / channels;
    }
    // Steps are H samples, a multiple of 4, so with P * k one too every group starts on a
    // multiple of 4 and only those starts need tables.
    dsp::prepareSlidingProducts(polyphaseGroups, phaseTable.data(), tapsPerPhase,
                                phaseOffsets.data(), advanceFrames.data(), P * k, (P * k) % 4 == 0);
}

void Upsampler::allocateBuffers() {
    const int F = fftLength;
    const int H = blockLength;
    const int k = stageFactor;
    history.assign(static_cast<std::size_t>(H + tapsPerPhase) * channels, 0.0);
    outputFrames.assign(static_cast<std::size_t>(H / k + 1) * channels, 0.0);
    overlapTail.assign(channels, std::vector<double>(H / k + 1, 0.0));
    workBuffers.assign(channels, dsp::AlignedDoubles(F, 0.0));
    for (auto& buffer : workBuffers) {
        workPointers.push_back(buffer.data());
    }
}

Upsampler::~Upsampler() = default;

int Upsampler::nextStepFrames() const {
    if (blockLength == 0) {
        return 0;
    }
    const double intermediateInputs = std::floor(static_cast<double>(blockLength) * inputRate /
                                                 (static_cast<double>(outputRate) * stageFactor));
    return static_cast<int>(intermediateInputs + 1.0 + tapsPerPhase) - historyFrames;
}

void Upsampler::runPolyphase(int firstFrame) {
    const double* src = history.data() + static_cast<std::size_t>(firstFrame) * channels;
    double* const* work = workPointers.data();
    if (polyphaseGroups.period != 0 && phaseIndex % polyphaseGroups.phaseStep == 0) {
        const std::size_t groups = static_cast<std::size_t>(blockLength) / 4;
        int after = phaseIndex;
        int c = 0;
        for (; c + 1 < channels; c += 2) {
            after = dsp::runSlidingProducts(polyphaseGroups, phaseIndex, groups, 0, src + c,
                                            src + c + 1, channels, work[c], work[c + 1], 1);
        }
        if (c < channels) {
            after = dsp::runSlidingProducts(polyphaseGroups, phaseIndex, groups, 0, src + c,
                                            nullptr, channels, work[c], nullptr, 1);
        }
        phaseIndex = after;
        return;
    }
    switch (tapsPerPhase) {
    case 2:
        phaseIndex = polyphaseForChannels<2>(*this, phaseIndex, src, work);
        break;
    case 5:
        phaseIndex = polyphaseForChannels<5>(*this, phaseIndex, src, work);
        break;
    case 6:
        phaseIndex = polyphaseForChannels<6>(*this, phaseIndex, src, work);
        break;
    case 8:
        phaseIndex = polyphaseForChannels<8>(*this, phaseIndex, src, work);
        break;
    case 10:
        phaseIndex = polyphaseForChannels<10>(*this, phaseIndex, src, work);
        break;
    case 13:
        phaseIndex = polyphaseForChannels<13>(*this, phaseIndex, src, work);
        break;
    case 24:
        phaseIndex = polyphaseForChannels<24>(*this, phaseIndex, src, work);
        break;
    default:
        phaseIndex = polyphaseForChannels<0>(*this, phaseIndex, src, work);
        break;
    }
}

void Upsampler::keepConvolved(int ch) {
    const int H = blockLength;
    const int F = fftLength;
    const int k = stageFactor;
    const double* work = workBuffers[ch].data();
    double* tail = overlapTail[ch].data();
    double* out = outputFrames.data() + ch;
    int i = decimationOffset;
    for (int m = 0; i < H; i += k, ++m) {
        out[static_cast<std::size_t>(m) * channels] = work[i] + tail[m];
    }
    for (int t = 0; i < F; i += k, ++t) {
        tail[t] = work[i];
    }
}

std::uint32_t Upsampler::process(const std::uint8_t* bytes, std::uint32_t length, int final) {
    if (blockLength == 0) {
        return 0;
    }
    const int H = blockLength;
    const int k = stageFactor;
    const int need = nextStepFrames();
    const std::uint32_t frameSize = static_cast<std::uint32_t>(inputBytesPerSample) * channels;
    // Room for the step's output first: a step whose output could not be kept is not run, so
    // its input stays for a later call and nothing of the stream is lost.
    const std::uint64_t stepBytes = static_cast<std::uint64_t>(H / k + 1) * channels * 8;
    if (!dsp::reserveBytes(outputBuffer, outputBuffer.length + stepBytes)) {
        outputFailed = true;
        return 0;
    }
    // history has room for one step only.
    const int frames = stepFrames(length, frameSize, need, final);
    if (frames < 0) {
        return 0;
    }
    const std::uint32_t consumed = static_cast<std::uint32_t>(frames) * frameSize;

    dsp::decodeInput(inputLayout(*this), frames, historyFrames, bytes, history.data(), need);
    historyFrames += need;
    // The last samples of a step may reach one frame past the decoded input with a (tiny)
    // end tap; that frame is not here yet, so it reads as silence rather than as whatever an
    // earlier step left in the slot.
    std::memset(history.data() + static_cast<std::size_t>(historyFrames) * channels, 0,
                sizeof(double) * channels);

    const int firstFrame = static_cast<int>(
        ((static_cast<std::int64_t>(tickPos) - 1) * inputRate + lcmRate) / lcmRate);
    runPolyphase(firstFrame);

    convolveBlocks(*this, [this](int ch) { keepConvolved(ch); });
    // Samples decimationOffset, + k, ... below H were kept; the next block starts past H.
    blockOutputs = (H - decimationOffset + k - 1) / k;
    decimationOffset = decimationOffset + blockOutputs * k - H;
    tickPos += static_cast<int>((static_cast<std::int64_t>(inputRate / rateGcd) * H) / k);

    // Cannot fail: the room was reserved above.
    encodeOutput(*this, blockOutputs, outputFrames.data());
    inputFramesTaken += frames;

    // Drop the frames no later sample reads; tickPos ends between 1 and P.
    const int P = phaseCount;
    const int drop = (tickPos - 1) / P;
    std::memmove(history.data(), history.data() + static_cast<std::size_t>(drop) * channels,
                 sizeof(double) * static_cast<std::size_t>(historyFrames - drop) * channels);
    historyFrames -= drop;
    tickPos -= drop * P;
    return consumed;
}

} // namespace quillon::resample
