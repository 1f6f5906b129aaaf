// The end of a stream: the flush brings out every input frame, the filters' delay included, and
// stops where the input stops; and a step that has no room for its output takes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "helpers.h"
#include "resample/downsampler.h"
#include "resample/dsp/sample_io.h"
#include "resample/upsampler.h"

namespace quillon::resample {
namespace {

using namespace testing; // the converter helpers of helpers.h

std::vector<double> tone(std::size_t frames, int channels) {
    std::vector<double> v(frames * channels);
    for (std::size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            v[i * channels + c] = 0.3 + 0.5 * std::sin(0.05 * i + c);
        }
    }
    return v;
}

std::int64_t rounded(std::int64_t frames, int in, int out) {
    return (frames * out * 2 + in) / (2 * in);
}

// At every level and in both directions: the flushed output holds exactly the input's length at
// the new rate, and it is the start of what the same input followed by a long silence gives, so
// nothing of the end stayed in the filters and no padding was added.
TEST(ResamplerFlush, OutputEndsExactlyWhereTheInputEnds) {
    struct Pair {
        int in, out;
    };
    for (const Pair p : {Pair{44100, 48000}, Pair{48000, 44100}}) {
        for (int quality = 0; quality < kQualityLevelCount; ++quality) {
            const std::size_t block =
                static_cast<std::size_t>(kQualityLevels[quality].baseBlockLength);
            // Shorter than the delay, inside the second step, and past a few whole steps.
            std::vector<std::size_t> lengths{1, block / 5 + 17};
            if (quality < 3) {
                lengths.push_back(block * 2 + 333);
            }
            for (const std::size_t frames : lengths) {
                const int channels = frames == 1 ? 1 : 2;
                SCOPED_TRACE(::testing::Message() << p.in << " -> " << p.out << " q" << quality
                                                  << ", " << frames << " frames");
                const auto config = makeConfig(p.in, p.out, quality, channels);
                const auto input = tone(frames, channels);
                const auto flushed = convertAll(config, asBytes(input), 8 * 5000);
                const auto want = rounded(static_cast<std::int64_t>(frames), p.in, p.out);
                ASSERT_EQ(static_cast<std::int64_t>(flushed.size()), want * channels);

                auto longer = input;
                longer.resize(longer.size() + 2 * block * channels, 0.0);
                const auto reference = convertAll(config, asBytes(longer), 8 * 65536);
                ASSERT_GE(reference.size(), flushed.size());
                EXPECT_TRUE(std::equal(flushed.begin(), flushed.end(), reference.begin()))
                    << "the flushed end differs from the stream that went on";
            }
        }
    }
}

// A reader that takes the output slowly: conversion stops at the output limit, input and flush
// wait, and carrying on where it stopped gives the stream the unlimited conversion gives.
TEST(ResamplerFlush, ConversionStoppedAtTheOutputLimitCarriesOnUnchanged) {
    struct Pair {
        int in, out;
    };
    for (const Pair p : {Pair{44100, 48000}, Pair{48000, 44100}}) {
        for (int quality = 0; quality < 2; ++quality) {
            SCOPED_TRACE(::testing::Message() << p.in << " -> " << p.out << " q" << quality);
            const std::size_t block =
                static_cast<std::size_t>(kQualityLevels[quality].baseBlockLength);
            const auto config = makeConfig(p.in, p.out, quality, 2);
            const auto input = asBytes(tone(block * 4 + 777, 2));
            const auto whole = convertAll(config, input, input.size());

            std::unique_ptr<Resampler_base> r(createResampler(config));
            ASSERT_TRUE(r);
            r->outputLimit = 4096;
            std::vector<double> taken;
            const auto take = [&] {
                const auto part = asDoubles(r->outputBuffer);
                taken.insert(taken.end(), part.begin(), part.end());
                r->outputBuffer.length = 0;
            };
            ASSERT_TRUE(dsp::appendBytes(r->inputBuffer, input.data(),
                                         static_cast<std::uint32_t>(input.size())));
            ASSERT_TRUE(convertSteps(*r, 0));
            EXPECT_TRUE(r->outputLimited);
            EXPECT_GT(r->inputBuffer.length, 0u) << "the limit held back no input";
            // Reading in between, as a player does: a few plain steps, then the flush in turns.
            for (int i = 0; i < 3; ++i) {
                take();
                ASSERT_TRUE(convertSteps(*r, 0));
            }
            int turns = 0;
            for (;; ++turns) {
                ASSERT_LT(turns, 10000);
                take();
                ASSERT_TRUE(convertSteps(*r, 1));
                if (!r->outputLimited) {
                    break;
                }
            }
            take();
            EXPECT_GT(turns, 1);
            EXPECT_EQ(r->inputBuffer.length, 0u);
            ASSERT_EQ(taken.size(), whole.size());
            EXPECT_TRUE(taken == whole) << "stopping at the limit changed the stream";
        }
    }
}

TEST(ResamplerFlush, ASecondFlushAddsNothingAndEmptyStreamsStayEmpty) {
    struct Case {
        ResamplerConfig config;
        std::uint32_t flushedFrames; // 5000 input frames at the new rate, rounded
    };
    for (const Case& c :
         {Case{makeConfig(44100, 48000, 0, 2), 5442}, Case{makeConfig(48000, 44100, 0, 2), 4594}}) {
        const ResamplerConfig& config = c.config;
        std::unique_ptr<Resampler_base> r(createResampler(config));
        ASSERT_NE(r, nullptr);
        EXPECT_TRUE(convertSteps(*r, 1));
        EXPECT_EQ(r->outputBuffer.length, 0u) << "a stream without input has no end to flush";

        const auto bytes = asBytes(tone(5000, 2));
        feed(*r, bytes.data(), static_cast<std::uint32_t>(bytes.size()), 1);
        const std::uint32_t length = r->outputBuffer.length;
        EXPECT_EQ(length / 16, c.flushedFrames);
        EXPECT_TRUE(convertSteps(*r, 1));
        EXPECT_EQ(r->outputBuffer.length, length);
        EXPECT_EQ(r->inputFramesTaken, 5000);
        EXPECT_EQ(r->outputFramesKept, static_cast<std::int64_t>(length / 16));
    }
}

// Stand-in for an output buffer at its size limit: the reservation fails before anything is
// written, so the small block behind it is never touched.
struct FullOutput {
    explicit FullOutput(Resampler_base& r) : r_(r), saved_(r.outputBuffer) {
        r.outputBuffer =
            dsp::GrowableBuffer{block_, dsp::kMaxBufferCapacity, dsp::kMaxBufferCapacity - 8};
    }
    ~FullOutput() { r_.outputBuffer = saved_; }
    Resampler_base& r_;
    dsp::GrowableBuffer saved_;
    std::uint8_t block_[16] = {};
};

template <class R> void checkNoRoom(const ResamplerConfig& config) {
    R r(config);
    const auto bytes = asBytes(tone(static_cast<std::size_t>(r.nextStepFrames()) * 3, 2));
    const auto length = static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t first = r.process(bytes.data(), length, 0);
    ASSERT_GT(first, 0u);
    const auto output = asDoubles(r.outputBuffer);
    const int need = r.nextStepFrames();
    const std::int64_t taken = r.inputFramesTaken;
    const int skip = r.samplesToSkip;
    {
        FullOutput full(r);
        EXPECT_EQ(r.process(bytes.data() + first, length - first, 0), 0u);
        EXPECT_TRUE(r.outputFailed);
        EXPECT_EQ(r.process(bytes.data() + first, length - first, 1), 0u);
    }
    // Nothing moved: the same step runs once there is room, as if never refused.
    EXPECT_EQ(r.nextStepFrames(), need);
    EXPECT_EQ(r.inputFramesTaken, taken);
    EXPECT_EQ(r.samplesToSkip, skip);
    EXPECT_EQ(asDoubles(r.outputBuffer), output);

    dsp::appendBytes(r.inputBuffer, bytes.data() + first, length - first);
    {
        FullOutput full(r);
        EXPECT_FALSE(convertSteps(r, 0));
        EXPECT_FALSE(convertSteps(r, 1));
    }
    EXPECT_EQ(r.inputBuffer.length, length - first) << "a refused step consumed input";
    EXPECT_TRUE(convertSteps(r, 1));
    EXPECT_EQ(r.inputBuffer.length, 0u);
    EXPECT_EQ(r.outputFramesKept,
              rounded(static_cast<std::int64_t>(length / 16), config.inputRate, config.outputRate));
}

TEST(ResamplerFlush, AStepWithoutRoomForItsOutputTakesNothing) {
    checkNoRoom<Upsampler>(makeConfig(44100, 48000, 0, 2));
    checkNoRoom<Downsampler>(makeConfig(48000, 44100, 0, 2));
}

} // namespace
} // namespace quillon::resample
