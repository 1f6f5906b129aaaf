// Stream invariants of both converters: counts over long streams, refusal of short input, the
// flushing step, channel independence, chunking independence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "helpers.h"
#include "resample/downsampler.h"
#include "resample/dsp/avx2_kernels.h"
#include "resample/dsp/pair_convolver.h"
#include "resample/upsampler.h"

namespace quillon::resample {
namespace {

using namespace testing; // the converter helpers of helpers.h

struct Pair {
    int in, out;
};
// Every stage factor in both directions, and tapsPerPhase forms with and without a fixed length.
const Pair pairs[] = {{44100, 48000}, {48000, 44100}, {48000, 96000}, {96000, 48000},
                      {32000, 48000}, {48000, 32000}, {8000, 44100},  {44100, 8000}};

std::vector<double> noise(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v) {
        x = dist(gen);
    }
    return v;
}

int nextStepFrames(const Resampler_base& r) {
    if (auto* u = dynamic_cast<const Upsampler*>(&r)) {
        return u->nextStepFrames();
    }
    return dynamic_cast<const Downsampler&>(r).nextStepFrames();
}

int blockOutputs(const Resampler_base& r) {
    if (auto* u = dynamic_cast<const Upsampler*>(&r)) {
        return u->blockOutputs;
    }
    return dynamic_cast<const Downsampler&>(r).blockOutputs;
}

TEST(ResamplerStream, OutputCountFollowsTheRateRatio) {
    for (const auto& p : pairs) {
        SCOPED_TRACE(::testing::Message() << p.in << " -> " << p.out);
        std::unique_ptr<Resampler_base> r(createResampler(makeConfig(p.in, p.out, 0, 1)));
        ASSERT_NE(r, nullptr);
        const std::vector<double> silence(4096, 0.0);
        const int skip = r->samplesToSkip;
        std::int64_t framesIn = 0;
        std::int64_t framesOut = 0;
        for (int step = 0; step < 300; ++step) {
            const int need = nextStepFrames(*r);
            ASSERT_LE(need, 4096);
            ASSERT_EQ(r->process(reinterpret_cast<const std::uint8_t*>(silence.data()),
                                 static_cast<std::uint32_t>(need * 8), 0),
                      static_cast<std::uint32_t>(need * 8));
            framesIn += need;
            framesOut += blockOutputs(*r);
        }
        // Held-back history makes the two counts differ by a bounded amount, never by a drift.
        const double expected = static_cast<double>(framesIn) * p.out / p.in;
        const double slack = 40.0 * std::max(1.0, static_cast<double>(p.out) / p.in);
        EXPECT_NEAR(static_cast<double>(framesOut), expected, slack);
        // Encoding dropped exactly the start-up delay.
        EXPECT_EQ(r->samplesToSkip, 0);
        EXPECT_EQ(static_cast<std::int64_t>(r->outputBuffer.length / 8), framesOut - skip);
    }
}

// Everything a refused call could touch, for an exact before/after comparison.
template <class R> std::vector<double> snapshot(const R& r) {
    std::vector<double> s{static_cast<double>(r.tickPos),
                          static_cast<double>(r.phaseIndex),
                          static_cast<double>(r.blockOutputs),
                          static_cast<double>(r.samplesToSkip),
                          static_cast<double>(r.outputBuffer.length),
                          static_cast<double>(r.nextStepFrames())};
    for (const auto& w : r.workBuffers) {
        s.insert(s.end(), w.begin(), w.end());
    }
    s.insert(s.end(), r.outputFrames.begin(), r.outputFrames.end());
    if constexpr (std::is_same_v<R, Upsampler>) {
        s.push_back(r.historyFrames);
        s.push_back(r.decimationOffset);
        s.insert(s.end(), r.history.begin(), r.history.end());
        for (const auto& t : r.overlapTail) {
            s.insert(s.end(), t.begin(), t.end());
        }
    } else {
        s.push_back(r.stuffOffset);
        for (const auto& t : r.streamBuffers) {
            s.insert(s.end(), t.begin(), t.end());
        }
    }
    return s;
}

template <class R> void checkShortInputAndFlush(const ResamplerConfig& config) {
    R r(config);
    const int frameSize = 4 * config.channels; // 32-bit integer input
    const std::vector<double> in = noise(static_cast<std::size_t>(8192) * config.channels, 7);
    std::vector<std::uint8_t> bytes(in.size() * 4);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto s = static_cast<std::int32_t>(in[i] * 2147483647.0);
        std::memcpy(&bytes[i * 4], &s, 4);
    }
    // One ordinary step so the state is not the initial one.
    const std::uint32_t first =
        r.process(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0);
    ASSERT_GT(first, 0u);
    const std::uint8_t* rest = bytes.data() + first;

    const int need = r.nextStepFrames();
    const auto before = snapshot(r);
    for (std::uint32_t len : {0u, 1u, static_cast<std::uint32_t>(need * frameSize - 1)}) {
        EXPECT_EQ(r.process(rest, len, 0), 0u) << len;
    }
    EXPECT_EQ(snapshot(r), before);

    // A final step with fewer whole frames than a step needs, plus a stray byte, takes the frames,
    // pads with silence and yields as much output as a full step would.
    const int some = std::min(100, need - 1);
    R full(config);
    full.process(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0);
    std::vector<std::uint8_t> padded(rest, rest + some * frameSize);
    padded.resize(static_cast<std::size_t>(need) * frameSize, 0);
    ASSERT_EQ(full.process(padded.data(), static_cast<std::uint32_t>(padded.size()), 0),
              padded.size());
    EXPECT_EQ(r.process(rest, some * frameSize + 1, 1),
              static_cast<std::uint32_t>(some * frameSize));
    EXPECT_EQ(r.blockOutputs, full.blockOutputs);
    EXPECT_EQ(asDoubles(r.outputBuffer), asDoubles(full.outputBuffer));

    // Less than one frame: nothing taken, yet a silent step still runs and appends output.
    const std::uint32_t lengthBefore = r.outputBuffer.length;
    EXPECT_EQ(r.process(rest, static_cast<std::uint32_t>(frameSize - 1), 1), 0u);
    EXPECT_GT(r.outputBuffer.length, lengthBefore);

    // More than a step's frames in a final call: exactly one step's worth is taken.
    const int nextNeed = r.nextStepFrames();
    EXPECT_EQ(r.process(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 1),
              static_cast<std::uint32_t>(nextNeed * frameSize));
}

TEST(ResamplerStream, ShortInputChangesNothingAndFinalStepsPad) {
    for (int channels : {1, 2, 3}) {
        SCOPED_TRACE(channels);
        checkShortInputAndFlush<Upsampler>(makeConfig(44100, 48000, 0, channels, 0, 32));
        checkShortInputAndFlush<Upsampler>(makeConfig(8000, 44100, 0, channels, 0, 32));
        checkShortInputAndFlush<Downsampler>(makeConfig(48000, 44100, 0, channels, 0, 32));
        checkShortInputAndFlush<Downsampler>(makeConfig(96000, 48000, 0, channels, 0, 32));
    }
}

TEST(ResamplerStream, ChannelsAreIndependentAndChunkingDoesNotMatter) {
    const std::size_t frames = 12000;
    for (const auto& p : pairs) {
        SCOPED_TRACE(::testing::Message() << p.in << " -> " << p.out);
        std::vector<std::vector<double>> mono;
        for (int c = 0; c < 3; ++c) {
            mono.push_back(convertAll(makeConfig(p.in, p.out, 0, 1),
                                      asBytes(noise(frames, 100 + c)), 8 * 1000));
        }
        ASSERT_GT(mono[0].size(), 1000u);
        for (int channels : {2, 3}) {
            std::vector<double> interleaved(frames * channels);
            for (int c = 0; c < channels; ++c) {
                const auto src = noise(frames, 100 + c);
                for (std::size_t i = 0; i < frames; ++i) {
                    interleaved[i * channels + c] = src[i];
                }
            }
            // Odd chunk sizes split frames and steps anywhere, and change nothing at all.
            // Channels that share a complex transform round differently from one alone, so
            // against the mono runs the bound is a few units in the last place.
            std::vector<double> first;
            for (std::size_t chunk : {std::size_t{777}, std::size_t{65536}}) {
                const auto out =
                    convertAll(makeConfig(p.in, p.out, 0, channels), asBytes(interleaved), chunk);
                ASSERT_EQ(out.size(), mono[0].size() * channels) << channels << " " << chunk;
                for (int c = 0; c < channels; ++c) {
                    double worst = 0.0;
                    for (std::size_t i = 0; i < mono[c].size(); ++i) {
                        worst = std::max(worst, std::abs(out[i * channels + c] - mono[c][i]));
                    }
                    EXPECT_LT(worst, 1e-13) << "channel " << c << " of " << channels;
                }
                if (first.empty()) {
                    first = out;
                } else {
                    EXPECT_TRUE(out == first) << "chunking changed the output";
                }
            }
        }
    }
}

// The vector kernels (pair convolver, grouped products) and the paths every processor has must
// agree to within rounding, for every stage factor, with a channel pair and a channel left over.
TEST(ResamplerStream, VectorKernelsMatchTheBaseline) {
    if (!quillon::dsp::pairConvolverAvailable()) {
        GTEST_SKIP() << "no AVX2 and FMA here: only the baseline runs";
    }
    const int channels = 3;
    const std::size_t frames = 40000;
    std::vector<double> interleaved(frames * channels);
    for (int c = 0; c < channels; ++c) {
        const auto src = noise(frames, 200 + c);
        for (std::size_t i = 0; i < frames; ++i) {
            interleaved[i * channels + c] = src[i];
        }
    }
    for (const auto& p : pairs) {
        for (int quality : {0, 2}) {
            SCOPED_TRACE(::testing::Message() << p.in << " -> " << p.out << " q" << quality);
            const auto config = makeConfig(p.in, p.out, quality, channels);
            quillon::dsp::detail::preferBaselineKernels(true);
            const auto baseline = convertAll(config, asBytes(interleaved), 8 * 4096);
            quillon::dsp::detail::preferBaselineKernels(false);
            const auto vector = convertAll(config, asBytes(interleaved), 8 * 4096);
            ASSERT_EQ(vector.size(), baseline.size());
            ASSERT_GT(vector.size(), 1000u);
            double worst = 0.0;
            for (std::size_t i = 0; i < vector.size(); ++i) {
                worst = std::max(worst, std::abs(vector[i] - baseline[i]));
            }
            EXPECT_LT(worst, 1e-13);
        }
    }
    // Built meanwhile, a converter really takes the baseline paths.
    quillon::dsp::detail::preferBaselineKernels(true);
    Upsampler up(makeConfig(44100, 48000, 0, 2));
    Downsampler down(makeConfig(48000, 44100, 0, 2));
    quillon::dsp::detail::preferBaselineKernels(false);
    EXPECT_EQ(up.pairConvolver.points, 0);
    EXPECT_EQ(up.polyphaseGroups.period, 0);
    EXPECT_EQ(down.pairConvolver.points, 0);
    EXPECT_EQ(down.polyphaseGroups.period, 0);
    Upsampler upVector(makeConfig(44100, 48000, 0, 2));
    EXPECT_NE(upVector.pairConvolver.points, 0);
    EXPECT_NE(upVector.polyphaseGroups.period, 0);
}

// The last samples of an Upsampler step can reach one frame past the input decoded so far; that
// frame must not come from whatever an earlier step left behind.
TEST(ResamplerStream, UpsamplerReadsNothingStalePastTheDecodedInput) {
    // Pairs and levels whose end taps do reach that frame in some steps.
    const ResamplerConfig configs[] = {makeConfig(8000, 44100, 0), makeConfig(44100, 48000, 1)};
    for (const auto& config : configs) {
        SCOPED_TRACE(::testing::Message() << config.inputRate << " q" << config.quality);
        const auto input = asBytes(noise(200000, 5));
        Upsampler clean(config);
        Upsampler dirty(config);
        std::uint32_t at = 0;
        for (int step = 0; step < 30; ++step) {
            // Poison everything beyond the held frames before each step.
            std::fill(dirty.history.begin() + static_cast<std::ptrdiff_t>(dirty.historyFrames),
                      dirty.history.end(), 1e6);
            const std::uint32_t n = static_cast<std::uint32_t>(input.size()) - at;
            const std::uint32_t a = clean.process(input.data() + at, n, 0);
            ASSERT_GT(a, 0u);
            ASSERT_EQ(dirty.process(input.data() + at, n, 0), a);
            at += a;
        }
        EXPECT_EQ(asDoubles(clean.outputBuffer), asDoubles(dirty.outputBuffer));
    }
}

} // namespace
} // namespace quillon::resample
