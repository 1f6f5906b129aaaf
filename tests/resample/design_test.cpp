// Design values and step sequences of both converters against figures worked out by hand from
// the rate arithmetic, and the factory's choice of converter.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "helpers.h"
#include "resample/downsampler.h"
#include "resample/upsampler.h"

namespace quillon::resample {
namespace {

using testing::makeConfig;

struct FactoryCase {
    int in, out;
    ResamplerKind kind;
    int stageFactor;
};

TEST(ResamplerFactory, PicksTheConverterAndStageFactor) {
    const FactoryCase cases[] = {
        {44100, 48000, ResamplerKind::up, 3},   {48000, 44100, ResamplerKind::down, 3},
        {32000, 48000, ResamplerKind::up, 2},   {48000, 96000, ResamplerKind::up, 1},
        {96000, 48000, ResamplerKind::down, 1}, {8000, 44100, ResamplerKind::up, 2},
        {44100, 8000, ResamplerKind::down, 2},  {40000, 48000, ResamplerKind::none, 0},
        {48000, 40000, ResamplerKind::none, 0}, {44100, 44100, ResamplerKind::none, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.in << " -> " << c.out);
        std::unique_ptr<Resampler_base> r(createResampler(makeConfig(c.in, c.out, 0, 2)));
        switch (c.kind) {
        case ResamplerKind::none:
            EXPECT_EQ(r, nullptr);
            break;
        case ResamplerKind::up: {
            auto* u = dynamic_cast<Upsampler*>(r.get());
            ASSERT_NE(u, nullptr);
            EXPECT_EQ(u->stageFactor, c.stageFactor);
            break;
        }
        case ResamplerKind::down: {
            auto* d = dynamic_cast<Downsampler*>(r.get());
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(d->stageFactor, c.stageFactor);
            break;
        }
        }
    }
}

// Runs steps on silence with exactly the bytes each one needs and records needs and outputs.
template <class R>
void runSteps(R& r, int steps, std::vector<int>& needs, std::vector<int>& outputs) {
    const int frameSize = r.inputBytesPerSample * r.channels;
    std::vector<std::uint8_t> zeros(static_cast<std::size_t>(r.nextStepFrames() + 8) * frameSize);
    for (int s = 0; s < steps; ++s) {
        const int need = r.nextStepFrames();
        ASSERT_LE(static_cast<std::size_t>(need) * frameSize, zeros.size());
        const std::uint32_t bytes = static_cast<std::uint32_t>(need) * frameSize;
        // One byte short of a step is refused; the exact count is taken whole.
        EXPECT_EQ(r.process(zeros.data(), bytes - 1, 0), 0u);
        EXPECT_EQ(r.process(zeros.data(), bytes + 5, 0), bytes);
        needs.push_back(need);
        outputs.push_back(r.blockOutputs);
    }
}

struct UpCase {
    int in, out, quality;
    int k, L, P, M, N1, Q, N2, F, historyFrames, skip;
    std::vector<int> needs, outputs;
};

TEST(Upsampler, DesignValuesAndSteps) {
    const UpCase cases[] = {
        {44100,
         48000,
         2,
         3,
         7056000,
         160,
         49,
         1595,
         10,
         16383,
         32768,
         5,
         2730,
         {5023, 5017, 5018, 5017},
         {5462, 5461, 5461, 5462}},
        {44100,
         48000,
         0,
         3,
         7056000,
         160,
         49,
         867,
         6,
         1023,
         2048,
         3,
         170,
         {317, 313, 314, 313},
         {342, 341, 341, 342}},
        {48000,
         96000,
         0,
         1,
         96000,
         2,
         1,
         25,
         13,
         1023,
         2048,
         7,
         511,
         {519, 511, 512, 512},
         {1024, 1024, 1024, 1024}},
        {8000, 44100, 0, 2, 3528000, 441, 40, 541, 2, 1023, 2048, 1, 255, {}, {}},
        {32000, 48000, 0, 2, 96000, 3, 1, 19, 7, 1023, 2048, 4, 255, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.in << " -> " << c.out << " q" << c.quality);
        for (int channels : {1, 2}) {
            Upsampler u(makeConfig(c.in, c.out, c.quality, channels));
            EXPECT_EQ(u.stageFactor, c.k);
            EXPECT_EQ(u.lcmRate, c.L);
            EXPECT_EQ(u.midRate, c.k * c.out);
            EXPECT_EQ(u.phaseCount, c.P);
            EXPECT_EQ(u.lcmRate / u.midRate, c.M);
            EXPECT_EQ(u.polyLength, c.N1);
            EXPECT_EQ(u.tapsPerPhase, c.Q);
            EXPECT_EQ(u.fftFilterLength, c.N2);
            EXPECT_EQ(u.fftLength, c.F);
            EXPECT_EQ(u.blockLength, c.F / 2);
            EXPECT_EQ(u.historyFrames, c.historyFrames);
            EXPECT_EQ(u.samplesToSkip, c.skip * channels);
            EXPECT_EQ(u.phaseOffsets.size(), static_cast<std::size_t>(c.P * c.k));
            if (!c.needs.empty()) {
                std::vector<int> needs, outputs;
                runSteps(u, static_cast<int>(c.needs.size()), needs, outputs);
                EXPECT_EQ(needs, c.needs);
                EXPECT_EQ(outputs, c.outputs);
            }
        }
    }
}

TEST(Upsampler, PhaseTablesOfSmallRatios) {
    Upsampler u(makeConfig(32000, 48000, 0, 2));
    EXPECT_EQ(u.phaseOffsets, (std::vector<int>{0, 2, 1, 0, 2, 1}));
    EXPECT_EQ(u.inputAdvance, (std::vector<int>{2, 0, 0, 2, 0, 0}));

    // 48k to 96k: 25 taps in two rows; row 1 ends in a padding zero.
    Upsampler v(makeConfig(48000, 96000, 0, 1));
    ASSERT_EQ(v.phaseTable.size(), 26u);
    const double* row0 = v.phaseTable.data();
    const double* row1 = row0 + 13;
    EXPECT_EQ(row1[12], 0.0);
    std::vector<double> taps(25);
    for (std::size_t j = 0; j < 13; ++j) {
        taps[2 * j] = row0[j];
    }
    for (std::size_t j = 0; j < 12; ++j) {
        taps[2 * j + 1] = row1[j];
    }
    int asymmetric = 0;
    int zero = 0;
    for (int j = 0; j < 25; ++j) {
        asymmetric += std::abs(taps[j] - taps[24 - j]) > 1e-15;
        zero += taps[j] == 0.0;
    }
    EXPECT_EQ(asymmetric, 0);
    EXPECT_EQ(zero, 0);
    // Centre tap: 2 D / L times the gain L / inputRate, D = 36000.
    EXPECT_DOUBLE_EQ(taps[12], 1.5);
    // The two phases each sum to about 1: a DC input comes out at unit level whichever phase
    // produces it (a 25-tap filter only reaches about -78 dB at its band edge).
    EXPECT_NEAR(std::accumulate(row0, row0 + 13, 0.0), 1.0, 1e-3);
    EXPECT_NEAR(std::accumulate(row1, row1 + 13, 0.0), 1.0, 1e-3);
}

struct DownCase {
    int in, out, quality;
    int k, L, P, M, N1, Q, N2, F;
    double transition, cutoff;
    int skip;
    std::vector<int> stuffOffsets, needs, outputs;
};

TEST(Downsampler, DesignValuesAndSteps) {
    const DownCase cases[] = {
        {48000,
         44100,
         0,
         3,
         7056000,
         49,
         160,
         903,
         19,
         1023,
         2048,
         863.946,
         21618.027,
         159,
         {0, 2, 1, 0},
         {342, 341, 341, 342},
         {314, 314, 313, 314}},
        {96000,
         48000,
         0,
         1,
         96000,
         1,
         2,
         1,
         1,
         1023,
         2048,
         575.964,
         23712.018,
         256,
         {0, 0, 0, 0},
         {1024, 1024, 1024, 1024},
         {513, 512, 512, 512}},
        {48000, 32000, 0, 2, 96000, 1, 3, 25, 26, 1023, 2048, 575.964, 15712.018, 174, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.in << " -> " << c.out << " q" << c.quality);
        for (int channels : {1, 2}) {
            Downsampler d(makeConfig(c.in, c.out, c.quality, channels));
            EXPECT_EQ(d.stageFactor, c.k);
            EXPECT_EQ(d.midRate, c.k * c.in);
            EXPECT_EQ(d.lcmRate, c.L);
            EXPECT_EQ(d.phaseCount, c.P);
            EXPECT_EQ(d.polyLength, c.N1);
            EXPECT_EQ(d.tapsPerPhase, c.Q);
            EXPECT_EQ(d.fftFilterLength, c.N2);
            EXPECT_EQ(d.fftLength, c.F);
            EXPECT_EQ(d.blockLength, c.F / 2);
            EXPECT_NEAR(d.transitionHz, c.transition, 5e-4);
            EXPECT_NEAR(d.cutoffHz, c.cutoff, 5e-4);
            EXPECT_EQ(d.samplesToSkip, c.skip * channels);
            if (!c.needs.empty()) {
                std::vector<int> stuffs, needs, outputs;
                for (std::size_t s = 0; s < c.needs.size(); ++s) {
                    stuffs.push_back(d.stuffOffset);
                    runSteps(d, 1, needs, outputs);
                }
                EXPECT_EQ(stuffs, c.stuffOffsets);
                EXPECT_EQ(needs, c.needs);
                EXPECT_EQ(outputs, c.outputs);
                EXPECT_GE(d.tickPos, 1);
                EXPECT_LE(d.tickPos, c.M);
            }
        }
    }
}

TEST(Downsampler, PhaseTables) {
    Downsampler d(makeConfig(48000, 44100, 0));
    ASSERT_EQ(d.phaseOffsets.size(), 49u);
    EXPECT_EQ(std::vector<int>(d.phaseOffsets.begin(), d.phaseOffsets.begin() + 6),
              (std::vector<int>{0, 36, 23, 10, 46, 33}));
    EXPECT_EQ(std::vector<int>(d.inputAdvance.begin(), d.inputAdvance.begin() + 6),
              (std::vector<int>{4, 3, 3, 4, 3, 3}));
    EXPECT_EQ(std::accumulate(d.inputAdvance.begin(), d.inputAdvance.end(), 0), 160);

    Downsampler half(makeConfig(96000, 48000, 0));
    EXPECT_EQ(half.phaseOffsets, std::vector<int>{0});
    EXPECT_EQ(half.inputAdvance, std::vector<int>{2});
    EXPECT_EQ(half.phaseTable, std::vector<double>{1.0});

    Downsampler third(makeConfig(48000, 32000, 0));
    EXPECT_EQ(third.phaseOffsets, std::vector<int>{0});
    EXPECT_EQ(third.inputAdvance, std::vector<int>{3});
}

TEST(Downsampler, QualityFourDesign) {
    Downsampler d(makeConfig(48000, 44100, 4));
    EXPECT_EQ(d.fftFilterLength, 262143);
    EXPECT_EQ(d.fftLength, 524288);
    EXPECT_NEAR(d.transitionHz, 7.347, 5e-4);
    EXPECT_EQ(d.polyLength, 1967);
    EXPECT_EQ(d.tapsPerPhase, 41);
}

} // namespace
} // namespace quillon::resample
