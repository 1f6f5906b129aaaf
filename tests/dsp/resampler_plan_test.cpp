#include <gtest/gtest.h>

#include "resample/resampler_base.h"

namespace {

using namespace quillon::resample;

ResamplerConfig rates(int in, int out, int quality = 1) {
    return {in, out, 0, 1, 16, 64, 2, quality};
}

const char* kindName(ResamplerKind k) {
    return k == ResamplerKind::up ? "up" : k == ResamplerKind::down ? "down" : "none";
}

TEST(PlanResampler, RatePairs) {
    struct {
        int in, out;
        ResamplerKind kind;
        int g, e, stageFactor, lcm;
    } const table[] = {
        {44100, 48000, ResamplerKind::up, 300, 147, 3, 7056000},
        {48000, 44100, ResamplerKind::down, 300, 147, 3, 7056000},
        {32000, 48000, ResamplerKind::up, 16000, 2, 2, 96000},
        {48000, 96000, ResamplerKind::up, 48000, 1, 1, 96000},
        {96000, 48000, ResamplerKind::down, 48000, 1, 1, 96000},
        {8000, 44100, ResamplerKind::up, 100, 80, 2, 3528000},
        {44100, 8000, ResamplerKind::down, 100, 80, 2, 3528000},
        {44100, 192000, ResamplerKind::up, 300, 147, 3, 28224000},
        {40000, 48000, ResamplerKind::none, 0, 0, 0, 0},
        {48000, 40000, ResamplerKind::none, 0, 0, 0, 0},
        {44100, 44100, ResamplerKind::none, 0, 0, 0, 0},
    };
    for (const auto& row : table) {
        ResamplerPlan plan = planResampler(rates(row.in, row.out));
        EXPECT_EQ(plan.kind, row.kind) << row.in << "->" << row.out << " " << kindName(plan.kind);
        if (row.kind == ResamplerKind::none)
            continue;
        EXPECT_EQ(plan.g, row.g) << row.in << "->" << row.out;
        EXPECT_EQ(plan.e, row.e) << row.in << "->" << row.out;
        EXPECT_EQ(plan.stageFactor, row.stageFactor) << row.in << "->" << row.out;
        EXPECT_EQ(plan.lcmRate, row.lcm) << row.in << "->" << row.out;
        const int higher = row.in > row.out ? row.in : row.out;
        EXPECT_EQ(plan.midRate, row.stageFactor * higher) << row.in << "->" << row.out;
    }
}

// The long filter: the shortest baseBlockLength * 2^j - 1 taps whose transition at midRate
// is below maxTransitionHz; the FFT is twice the block.
TEST(PlanResampler, LongFilterLength) {
    // 44100 -> 48000 runs the long filter at 144000 Hz.
    const int expectedTaps[kQualityLevelCount] = {1023, 16383, 16383, 65535, 262143};
    for (int quality = 0; quality < kQualityLevelCount; ++quality) {
        const QualityLevel& level = kQualityLevels[quality];
        ResamplerPlan plan = planResampler(rates(44100, 48000, quality));
        ASSERT_EQ(plan.kind, ResamplerKind::up);
        const int n2 = plan.longFilterTaps;
        EXPECT_EQ(n2, expectedTaps[quality]) << quality;
        EXPECT_EQ(plan.fftSize, 2 * (n2 + 1));
        EXPECT_EQ((n2 + 1) % level.baseBlockLength, 0);
        const double d = (level.attenuationDb - 7.95) / 14.36;
        EXPECT_LT(plan.midRate * d / (n2 - 1), level.maxTransitionHz) << quality;
        if (n2 + 1 > level.baseBlockLength) {
            EXPECT_GE(plan.midRate * d / ((n2 + 1) / 2 - 2), level.maxTransitionHz) << quality;
        }
    }
}

TEST(PlanResampler, RefusesWhatCannotBeConverted) {
    const ResamplerConfig good = rates(44100, 48000);
    ASSERT_EQ(planResampler(good).kind, ResamplerKind::up);
    auto with = [&](auto change) {
        ResamplerConfig c = good;
        change(c);
        return planResampler(c).kind;
    };
    const ResamplerKind none = ResamplerKind::none;
    EXPECT_EQ(with([](ResamplerConfig& c) { c.quality = -1; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.quality = 5; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.inputRate = 0; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.outputRate = -48000; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) {
                  c.inputRate = -44100;
                  c.outputRate = -48000;
              }),
              none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.channels = 0; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.inputBits = 12; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) {
                  c.inputIsFloat = 1;
                  c.inputBits = 16;
              }),
              none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.inputIsFloat = 2; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.outputIsFloat = 0; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.outputBits = 32; }), none);
    // Every input encoding of the table is accepted.
    for (auto [isFloat, bits] : {std::pair{0, 8}, {0, 16}, {0, 24}, {0, 32}, {1, 32}, {1, 64}})
        EXPECT_EQ(with([&](ResamplerConfig& c) {
                      c.inputIsFloat = isFloat;
                      c.inputBits = bits;
                  }),
                  ResamplerKind::up)
            << isFloat << "/" << bits;
    // A high rate pair at quality 4 doubles the block until the transition fits.
    ResamplerPlan high = planResampler(rates(441000, 480000, 4));
    EXPECT_EQ(high.kind, ResamplerKind::up);
    EXPECT_EQ(high.longFilterTaps, 262144 * 2 - 1);
    // Products past 32 bits: the lcm of two large coprime rates, then a long filter too big.
    EXPECT_EQ(planResampler(rates(2147483646, 2147483647)).kind, none);
    EXPECT_EQ(planResampler(rates(1999999998, 1999999999)).kind, none);
    EXPECT_EQ(planResampler(rates(1000000000, 2000000000, 4)).kind, none);
    EXPECT_EQ(planResampler(rates(2000000000, 1000000000, 4)).kind, none);
    // Many channels times a long block would pass the 2^31-byte buffers.
    EXPECT_EQ(with([](ResamplerConfig& c) { c.channels = 1 << 20; }), none);
    EXPECT_EQ(with([](ResamplerConfig& c) { c.channels = 64; }), ResamplerKind::up);
}

TEST(ResamplerBase, FieldsFromTheConfiguration) {
    struct Probe : Resampler_base {
        explicit Probe(const ResamplerConfig& c) : Resampler_base(c) {}
        std::uint32_t process(const std::uint8_t*, std::uint32_t, int) override { return 0; }
    };
    Probe low({44100, 48000, 0, 1, 24, 64, 6, 0});
    EXPECT_EQ(low.attenuationDb, 96.0);
    EXPECT_EQ(low.maxTransitionHz, 8000.0);
    EXPECT_EQ(low.baseBlockLength, 1024);
    EXPECT_EQ(low.inputBytesPerSample, 3);
    EXPECT_EQ(low.outputBytesPerSample, 8);
    EXPECT_EQ(low.channels, 6);
    EXPECT_EQ(low.inputBuffer.data, nullptr);
    Probe high({48000, 44100, 1, 1, 32, 64, 2, 4});
    EXPECT_EQ(high.attenuationDb, 200.0);
    EXPECT_EQ(high.maxTransitionHz, 50.0);
    EXPECT_EQ(high.baseBlockLength, 262144);
    EXPECT_EQ(high.inputBytesPerSample, 4);

    // Destroying through the base releases whatever the buffers hold (checked under ASan).
    Resampler_base* owned = new Probe({48000, 44100, 1, 1, 32, 64, 2, 0});
    std::uint8_t bytes[3000] = {};
    ASSERT_TRUE(quillon::dsp::appendBytes(owned->inputBuffer, bytes, sizeof bytes));
    ASSERT_TRUE(quillon::dsp::appendBytes(owned->outputBuffer, bytes, 10));
    delete owned;
}

} // namespace
