#include "resample/downsampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "resample/dsp/filter_design.h"
#include "resample/dsp/sample_io.h"
#include "resample/filter_setup.h"
#include "resample/frequency_ops.h"

namespace quillon::resample {

namespace {

// Two doubles as one SSE2 value (a GCC vector extension; both our compilers are GCC).
typedef double Pair __attribute__((vector_size(16)));

// Polyphase outputs of one channel, or of two channels at once (one lane each), two outputs side
// by side so that their dependency chains overlap. Every sum runs t = 0 .. Q - 1 in order.
void polyphaseOne(const double* table, int q, const int* rows, const int* positions, int count,
                  const double* s, double* out, int stride) {
    int m = 0;
    for (; m + 1 < count; m += 2) {
        const double* rowA = table + rows[m];
        const double* rowB = table + rows[m + 1];
        const double* a = s + positions[m];
        const double* b = s + positions[m + 1];
        double accA = 0.0;
        double accB = 0.0;
        for (int t = 0; t < q; ++t) {
            accA += rowA[t] * a[t];
            accB += rowB[t] * b[t];
        }
        out[static_cast<std::size_t>(m) * stride] = accA;
        out[static_cast<std::size_t>(m + 1) * stride] = accB;
    }
    for (; m < count; ++m) {
        const double* row = table + rows[m];
        const double* a = s + positions[m];
        double acc = 0.0;
        for (int t = 0; t < q; ++t) {
            acc += row[t] * a[t];
        }
        out[static_cast<std::size_t>(m) * stride] = acc;
    }
}

void polyphaseTwo(const double* table, int q, const int* rows, const int* positions, int count,
                  const double* s0, const double* s1, double* out, int stride) {
    int m = 0;
    for (; m + 1 < count; m += 2) {
        const double* rowA = table + rows[m];
        const double* rowB = table + rows[m + 1];
        const int pa = positions[m];
        const int pb = positions[m + 1];
        Pair accA = {0.0, 0.0};
        Pair accB = {0.0, 0.0};
        for (int t = 0; t < q; ++t) {
            const Pair xa = {s0[pa + t], s1[pa + t]};
            const Pair xb = {s0[pb + t], s1[pb + t]};
            accA += rowA[t] * xa;
            accB += rowB[t] * xb;
        }
        out[static_cast<std::size_t>(m) * stride] = accA[0];
        out[static_cast<std::size_t>(m) * stride + 1] = accA[1];
        out[static_cast<std::size_t>(m + 1) * stride] = accB[0];
        out[static_cast<std::size_t>(m + 1) * stride + 1] = accB[1];
    }
    if (m < count) {
        polyphaseOne(table, q, rows + m, positions + m, 1, s0,
                     out + static_cast<std::size_t>(m) * stride, stride);
        polyphaseOne(table, q, rows + m, positions + m, 1, s1,
                     out + static_cast<std::size_t>(m) * stride + 1, stride);
    }
}

} // namespace

Downsampler::Downsampler(const ResamplerConfig& config)
    : Downsampler(config, planResampler(config)) {}

Downsampler::Downsampler(const ResamplerConfig& config, const ResamplerPlan& plan)
    : Resampler_base(config) {
    if (plan.kind != ResamplerKind::down) {
        return; // refused pair: an inert converter whose process takes nothing
    }
    rateGcd = plan.g;
    stageFactor = plan.stageFactor;
    midRate = stageFactor * inputRate;
    lcmRate = plan.lcmRate;
    fftFilterLength = plan.longFilterTaps;
    fftLength = plan.fftSize;
    blockLength = fftLength / 2;
    const double beta = dsp::kaiserBeta(attenuationDb);
    const double i0Beta = dsp::besselI0(beta);

    // Long filter: the cut-off sits one achieved transition width below outputRate / 2, so
    // the band ends at outputRate / 2 whatever length the block size gives.
    transitionHz = midRate * dsp::kaiserLengthFactor(attenuationDb) / (fftFilterLength - 1);
    cutoffHz = (outputRate - transitionHz) * 0.5;
    designLongFilter(*this, cutoffHz, true, beta, i0Beta);

    const int M = designPolyphase(beta, i0Beta);
    allocateBuffers(M);
    samplesToSkip =
        static_cast<int>(fftFilterLength * 0.5 / (static_cast<double>(midRate) / outputRate) +
                         polyLength * 0.5 / (static_cast<double>(lcmRate) / outputRate)) *
        channels;
}

int Downsampler::designPolyphase(double beta, double i0Beta) {
    if (stageFactor == 1) {
        // Plain decimation: one phase of one unit tap.
        polyLength = 1;
        phaseCount = 1;
        tapsPerPhase = 1;
        const int M = inputRate / outputRate;
        phaseOffsets.assign(1, 0);
        inputAdvance.assign(1, M);
        phaseTable.assign(1, 1.0);
        return M;
    }
    designShortFilter(*this, midRate, beta, i0Beta);
    const int M = lcmRate / outputRate;
    const int P = phaseCount;
    phaseOffsets.resize(P);
    inputAdvance.resize(P);
    for (int i = 0; i < P; ++i) {
        const int offset = P - static_cast<int>((static_cast<std::int64_t>(M) * i) % P);
        phaseOffsets[i] = offset == P ? 0 : offset;
    }
    for (int i = 0; i < P; ++i) {
        inputAdvance[i] = (M - phaseOffsets[i]) / P + 1;
        if (phaseOffsets[(i + 1) % P] == 0) {
            --inputAdvance[i];
        }
    }
    dsp::prepareSlidingProducts(polyphaseGroups, phaseTable.data(), tapsPerPhase,
                                phaseOffsets.data(), inputAdvance.data(), P, false);
    return M;
}

void Downsampler::allocateBuffers(int M) {
    const int F = fftLength;
    const int H = blockLength;
    const int Q = tapsPerPhase;
    workBuffers.assign(channels, dsp::AlignedDoubles(F, 0.0));
    previousWork.assign(channels, dsp::AlignedDoubles(F, 0.0));
    workPointers.assign(channels, nullptr);
    streamBuffers.assign(channels, std::vector<double>(static_cast<std::size_t>(H) + Q + 1, 0.0));
    // Read positions run from ceil(tickPos / P) >= 0 up to H in steps averaging M / P, so a
    // step yields at most H * P / M + 1 frames.
    outputCapacity = static_cast<int>(static_cast<std::int64_t>(H) * phaseCount / M) + 2;
    outputFrames.assign(static_cast<std::size_t>(outputCapacity) * channels, 0.0);
    readRows.assign(outputCapacity, 0);
    readPositions.assign(outputCapacity, 0);
}

Downsampler::~Downsampler() = default;

int Downsampler::nextStepFrames() const {
    if (blockLength == 0) {
        return 0;
    }
    return (blockLength - stuffOffset - 1) / stageFactor + 1;
}

int Downsampler::runPolyphase() {
    const int H = blockLength;
    const int P = phaseCount;
    const int Q = tapsPerPhase;
    // Every channel reads the same positions with the same rows: list them once.
    int phase = phaseIndex;
    int produced = 0;
    for (int p = tickPos / P + (tickPos % P != 0 ? 1 : 0); p <= H && produced < outputCapacity;
         ++produced) {
        readRows[produced] = phaseOffsets[phase] * Q;
        readPositions[produced] = p;
        p += inputAdvance[phase];
        if (++phase == P) {
            phase = 0;
        }
    }
    // Whole groups of four outputs where the processor runs them, the rest one by one.
    int done = 0;
    int ch = 0;
    if (polyphaseGroups.period != 0 && produced >= 4) {
        const std::size_t groups = static_cast<std::size_t>(produced) / 4;
        for (; ch + 1 < channels; ch += 2) {
            dsp::runSlidingProducts(polyphaseGroups, phaseIndex, groups, readPositions[0],
                                    streamBuffers[ch].data(), streamBuffers[ch + 1].data(), 1,
                                    outputFrames.data() + ch, outputFrames.data() + ch + 1,
                                    channels);
        }
        if (ch < channels) {
            dsp::runSlidingProducts(polyphaseGroups, phaseIndex, groups, readPositions[0],
                                    streamBuffers[ch].data(), nullptr, 1, outputFrames.data() + ch,
                                    nullptr, channels);
        }
        done = static_cast<int>(groups) * 4;
    }
    double* rest = outputFrames.data() + static_cast<std::size_t>(done) * channels;
    ch = 0;
    for (; ch + 1 < channels; ch += 2) {
        polyphaseTwo(phaseTable.data(), Q, readRows.data() + done, readPositions.data() + done,
                     produced - done, streamBuffers[ch].data(), streamBuffers[ch + 1].data(),
                     rest + ch, channels);
    }
    if (ch < channels) {
        polyphaseOne(phaseTable.data(), Q, readRows.data() + done, readPositions.data() + done,
                     produced - done, streamBuffers[ch].data(), rest + ch, channels);
    }
    phaseIndex = phase;
    return produced;
}

std::uint32_t Downsampler::process(const std::uint8_t* bytes, std::uint32_t length, int final) {
    if (blockLength == 0) {
        return 0;
    }
    const int H = blockLength;
    const int P = phaseCount;
    const int Q = tapsPerPhase;
    const int need = nextStepFrames();
    const std::uint32_t frameSize = static_cast<std::uint32_t>(inputBytesPerSample) * channels;
    // Room for the step's output first: a step whose output could not be kept is not run, so
    // its input stays for a later call and nothing of the stream is lost.
    const std::uint64_t stepBytes = static_cast<std::uint64_t>(outputCapacity) * channels * 8;
    if (!dsp::reserveBytes(outputBuffer, outputBuffer.length + stepBytes)) {
        outputFailed = true;
        return 0;
    }
    const int frames = stepFrames(length, frameSize, need, final);
    if (frames < 0) {
        return 0;
    }
    const std::uint32_t consumed = static_cast<std::uint32_t>(frames) * frameSize;

    // Input sample m of the step sits at stuffOffset + m k; the next block starts past H.
    for (int c = 0; c < channels; ++c) {
        workPointers[c] = workBuffers[c].data();
    }
    dsp::decodeStuffed(inputLayout(*this), frames, bytes, workPointers.data(), stuffOffset,
                       stageFactor, need, H);
    const int nextStuff = stuffOffset + need * stageFactor - H;
    // The block of H intermediate samples: this convolution's first half plus the previous
    // one's second half.
    auto overlapAdd = [&](int ch) {
        const double* work = workBuffers[ch].data();
        const double* tail = previousWork[ch].data() + H;
        double* block = streamBuffers[ch].data() + Q + 1;
        // Two at a time (H is even): the compiler cannot rule out that the arrays overlap.
        for (int i = 0; i < H; i += 2) {
            Pair a;
            Pair b;
            std::memcpy(&a, tail + i, sizeof a);
            std::memcpy(&b, work + i, sizeof b);
            a += b;
            std::memcpy(block + i, &a, sizeof a);
        }
    };
    convolveBlocks(*this, overlapAdd);

    const int produced = runPolyphase();
    stuffOffset = nextStuff;
    blockOutputs = produced;
    const std::int64_t ticks =
        tickPos + static_cast<std::int64_t>(lcmRate / outputRate) * blockOutputs;

    // Cannot fail: the room was reserved above.
    encodeOutput(*this, blockOutputs, outputFrames.data());
    inputFramesTaken += frames;

    // The read loop stops only past H * P ticks, so the whole block shifts out and the last
    // Q + 1 completed samples stay in front as the next step's history.
    const int shift = static_cast<int>(std::min<std::int64_t>((ticks - 1) / P, H));
    for (int ch = 0; ch < channels; ++ch) {
        double* stream = streamBuffers[ch].data();
        std::memmove(stream, stream + shift, sizeof(double) * (H - shift + Q + 1));
        std::swap(workBuffers[ch], previousWork[ch]);
    }
    tickPos = static_cast<int>(ticks - static_cast<std::int64_t>(shift) * P);
    return consumed;
}

} // namespace quillon::resample
