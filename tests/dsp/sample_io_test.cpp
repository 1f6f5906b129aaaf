#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "resample/dsp/sample_io.h"
#include "resample/resampler_base.h"

namespace {

using namespace quillon::dsp;
using quillon::resample::Resampler_base;
using quillon::resample::ResamplerConfig;

struct TestConverter : Resampler_base {
    explicit TestConverter(const ResamplerConfig& c) : Resampler_base(c) {}
    std::uint32_t process(const std::uint8_t*, std::uint32_t, int) override { return 0; }
};

ResamplerConfig config(int isFloat, int bits, int channels) {
    return {44100, 48000, isFloat, 1, bits, 64, channels, 0};
}

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return v;
}

TEST(GrowableBuffer, GrowsByDoublingAndKeepsContents) {
    GrowableBuffer b;
    const auto bytes = pattern(20000);
    ASSERT_TRUE(appendBytes(b, bytes.data(), 5000));
    EXPECT_EQ(b.capacity, 8192u);
    EXPECT_EQ(b.length, 5000u);
    ASSERT_TRUE(appendBytes(b, bytes.data() + 5000, 3192));
    EXPECT_EQ(b.capacity, 8192u); // exactly full
    ASSERT_TRUE(appendBytes(b, bytes.data() + 8192, 1));
    EXPECT_EQ(b.capacity, 16384u);
    ASSERT_TRUE(appendBytes(b, bytes.data() + 8193, 20000 - 8193));
    EXPECT_EQ(b.capacity, 32768u);
    ASSERT_EQ(b.length, 20000u);
    EXPECT_EQ(0, std::memcmp(b.data, bytes.data(), 20000));
    releaseBuffer(b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);

    ASSERT_TRUE(appendBytes(b, bytes.data(), 0)); // the first append allocates even for 0 bytes
    EXPECT_EQ(b.capacity, 1024u);
    EXPECT_EQ(b.length, 0u);
    releaseBuffer(b);
}

// Growth past the 32-bit capacity must fail and leave everything as it was.
TEST(GrowableBuffer, RefusesToPassTheCapacityLimit) {
    std::uint8_t block[16] = {1, 2, 3};
    std::uint8_t more[16] = {};
    GrowableBuffer b{block, kMaxBufferCapacity, kMaxBufferCapacity - 8};
    EXPECT_FALSE(appendBytes(b, more, 9));
    EXPECT_FALSE(appendBytes(b, more, 0xFFFFFFFFu));
    EXPECT_EQ(b.data, block);
    EXPECT_EQ(b.capacity, kMaxBufferCapacity);
    EXPECT_EQ(b.length, kMaxBufferCapacity - 8);
    EXPECT_EQ(block[2], 3);

    GrowableBuffer empty;
    EXPECT_FALSE(appendBytes(empty, more, kMaxBufferCapacity + 1));
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.capacity, 0u);
}

TEST(DecodeInput, EveryEncodingAtItsEdges) {
    auto f32 = [](float f) {
        std::uint32_t u;
        std::memcpy(&u, &f, 4);
        return std::vector<std::uint8_t>{std::uint8_t(u), std::uint8_t(u >> 8),
                                         std::uint8_t(u >> 16), std::uint8_t(u >> 24)};
    };
    auto f64 = [](double d) {
        std::vector<std::uint8_t> v(8);
        std::memcpy(v.data(), &d, 8); // the hosts are little-endian, as the wire is
        return v;
    };
    struct Case {
        int isFloat, bits;
        std::vector<std::uint8_t> bytes;
        double want;
    };
    const std::vector<Case> cases = {
        {0, 8, {0x80}, 0.0},
        {0, 8, {0xFF}, 1.0},
        {0, 8, {0x00}, -128.0 / 127.0},
        {0, 16, {0x00, 0x80}, -32768.0 / 32767.0},
        {0, 16, {0xFF, 0x7F}, 1.0},
        {0, 16, {0xFF, 0xFF}, -1.0 / 32767.0},
        {0, 24, {0x00, 0x00, 0x80}, -8388608.0 / 8388607.0},
        {0, 24, {0xFF, 0xFF, 0x7F}, 1.0},
        {0, 24, {0xFF, 0xFF, 0xFF}, -1.0 / 8388607.0},
        {0, 24, {0x56, 0x34, 0x12}, 0x123456 / 8388607.0},
        {0, 32, {0x00, 0x00, 0x00, 0x80}, -2147483648.0 / 2147483647.0},
        {0, 32, {0xFF, 0xFF, 0xFF, 0x7F}, 1.0},
        {1, 32, f32(-1.25f), -1.25},
        {1, 32, f32(3.0e38f), 3.0e38f},
        {1, 64, f64(-0.1), -0.1},
        {1, 64, f64(1e300), 1e300},
    };
    for (const Case& c : cases) {
        TestConverter conv(config(c.isFloat, c.bits, 1));
        // Five copies so the unrolled body and the tail both run.
        std::vector<std::uint8_t> input;
        for (int i = 0; i < 5; ++i)
            input.insert(input.end(), c.bytes.begin(), c.bytes.end());
        std::vector<double> work(5, 99.0);
        decodeInput(inputLayout(conv), 5, 0, input.data(), work.data(), 5);
        for (double v : work)
            EXPECT_EQ(v, c.want) << c.isFloat << "/" << c.bits << " byte0=" << int(c.bytes[0]);
    }
}

// Offset, interleave and silence padding: 3 of 8 frames present, written behind 2 held frames.
TEST(DecodeInput, OffsetAndSilentTail) {
    TestConverter conv(config(0, 16, 2));
    const std::int16_t samples[] = {100, -100, 200, -200, 300, -300};
    std::uint8_t bytes[sizeof samples];
    std::memcpy(bytes, samples, sizeof samples);
    std::vector<double> work(2 * (2 + 8) + 3, 99.0);
    decodeInput(inputLayout(conv), 3, 2, bytes, work.data(), 8);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(work[i], 99.0) << i;
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(work[4 + i], samples[i] / 32767.0) << i;
    for (int i = 10; i < 20; ++i)
        EXPECT_EQ(work[i], 0.0) << i;
    for (std::size_t i = 20; i < work.size(); ++i)
        EXPECT_EQ(work[i], 99.0) << i;

    // A format outside the table decodes nothing but still pads.
    TestConverter odd(config(0, 40, 1));
    std::vector<double> w(6, 99.0);
    decodeInput(inputLayout(odd), 2, 0, bytes, w.data(), 4);
    EXPECT_EQ(w[0], 99.0);
    EXPECT_EQ(w[1], 99.0);
    EXPECT_EQ(w[2], 0.0);
    EXPECT_EQ(w[3], 0.0);
    EXPECT_EQ(w[4], 99.0);
}

// The stuffed, per-channel decode must put exactly what decodeInput decodes where a Downsampler
// stuffs it, write zeros everywhere else below the limit, and leave the rest alone.
TEST(DecodeInput, StuffedIntoChannelsMatchesTheInterleavedDecode) {
    const int formats[][2] = {{0, 8}, {0, 16}, {0, 24}, {0, 32}, {1, 32}, {1, 64}, {0, 40}};
    for (const auto& f : formats) {
        for (int channels : {1, 2, 3}) {
            TestConverter conv(config(f[0], f[1], channels));
            const int width = f[1] / 8;
            const auto bytes = pattern(static_cast<std::size_t>(width) * channels * 40);
            for (int step : {1, 2, 3}) {
                for (int first = 0; first < step; ++first) {
                    const int frames = 13, total = 20;
                    const int limit = first + (total - 1) * step + 1; // cuts the last gap short
                    std::vector<double> interleaved(static_cast<std::size_t>(total) * channels);
                    decodeInput(inputLayout(conv), frames, 0, bytes.data(), interleaved.data(),
                                total);
                    std::vector<std::vector<double>> out(channels, std::vector<double>(80, 99.0));
                    std::vector<double*> ptrs;
                    for (auto& o : out)
                        ptrs.push_back(o.data());
                    decodeStuffed(inputLayout(conv), frames, bytes.data(), ptrs.data(), first, step,
                                  total, limit);
                    for (int c = 0; c < channels; ++c) {
                        for (int i = 0; i < 80; ++i) {
                            double want = 99.0;
                            if (i < limit) {
                                const bool stuffed = i >= first && (i - first) % step == 0;
                                want = stuffed ? interleaved[((i - first) / step) * channels + c]
                                               : 0.0;
                            }
                            ASSERT_EQ(std::memcmp(&out[c][i], &want, sizeof want), 0)
                                << f[1] << " bits, " << channels << " ch, step " << step
                                << ", first " << first << ", c " << c << ", i " << i;
                        }
                    }
                }
            }
        }
    }
}

TEST(EncodeOutput, DropsTheDelayThenAppends) {
    TestConverter conv(config(1, 64, 2));
    conv.samplesToSkip = 6;
    const double first[] = {1, 2, 3, 4};
    ASSERT_TRUE(encodeOutput(conv, 2, first));
    EXPECT_EQ(conv.outputBuffer.length, 0u);
    EXPECT_EQ(conv.samplesToSkip, 2);
    const double second[] = {5, 6, 7, 8};
    ASSERT_TRUE(encodeOutput(conv, 2, second));
    EXPECT_EQ(conv.samplesToSkip, 0);
    ASSERT_EQ(conv.outputBuffer.length, 16u);
    double out[2];
    std::memcpy(out, conv.outputBuffer.data, 16);
    EXPECT_EQ(out[0], 7.0);
    EXPECT_EQ(out[1], 8.0);
    ASSERT_TRUE(encodeOutput(conv, 1, first));
    ASSERT_EQ(conv.outputBuffer.length, 32u);
    std::memcpy(out, conv.outputBuffer.data + 16, 16);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], 2.0);
}

} // namespace
