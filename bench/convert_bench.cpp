// Throughput of the write path's conversion into a channel ring: stereo
// interleaved input, each channel converted into its own packed ring, as the
// ring feeding does it. "run" is the loop the device uses; "one" calls the
// single-sample routine through its pointer for every sample, for comparison.
#include "device/convert/convert.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

using quillon::convert::Converter;
using quillon::convert::selectConverter;
namespace asio = quillon::asio;

constexpr std::size_t kChannels = 2;
constexpr std::size_t kFrames = 4096;

// Realistic audio: a noisy sine around -6 dBFS, with a few overs.
std::vector<std::uint8_t> makeStream(std::int32_t isFloat, std::int32_t bits) {
    const std::size_t bytes = static_cast<std::size_t>(bits / 8);
    std::vector<std::uint8_t> out(kFrames * kChannels * bytes);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (std::size_t i = 0; i < kFrames * kChannels; ++i) {
        const double x = 0.5 * std::sin(0.01 * static_cast<double>(i)) + noise(rng);
        std::uint8_t* p = out.data() + i * bytes;
        if (bits == 64) {
            std::memcpy(p, &x, 8);
        } else if (bits == 32 && isFloat == 1) {
            const float f = static_cast<float>(x);
            std::memcpy(p, &f, 4);
        } else {
            const double scale = std::ldexp(1.0, bits - 1) - 1.0;
            const double clamped = std::fmax(-1.0, std::fmin(1.0, x));
            auto v = static_cast<std::int64_t>(std::lround(clamped * scale));
            if (bits == 8) {
                v += 128;
            }
            for (std::size_t b = 0; b < bytes; ++b) {
                p[b] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * b));
            }
        }
    }
    return out;
}

template <bool UseRun>
void convertStream(benchmark::State& state, asio::ASIOSampleType type, std::int32_t isFloat,
                   std::int32_t bits) {
    const Converter* c = selectConverter(type, isFloat, bits);
    if (c == nullptr) {
        state.SkipWithError("no converter");
        return;
    }
    const auto stream = makeStream(isFloat, bits);
    const std::size_t stride = kChannels * static_cast<std::size_t>(c->sourceBytes);
    std::vector<std::vector<std::uint8_t>> rings(
        kChannels, std::vector<std::uint8_t>(kFrames * static_cast<std::size_t>(c->destBytes)));
    for (auto _ : state) {
        for (std::size_t ch = 0; ch < kChannels; ++ch) {
            const std::uint8_t* src = stream.data() + ch * static_cast<std::size_t>(c->sourceBytes);
            std::uint8_t* dst = rings[ch].data();
            if constexpr (UseRun) {
                c->run(src, stride, dst, kFrames);
            } else {
                for (std::size_t i = 0; i < kFrames; ++i) {
                    c->one(src + i * stride, dst + i * static_cast<std::size_t>(c->destBytes));
                }
            }
            benchmark::DoNotOptimize(dst);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrames * kChannels));
}

void viaRun(benchmark::State& state, asio::ASIOSampleType type, std::int32_t isFloat,
            std::int32_t bits) {
    convertStream<true>(state, type, isFloat, bits);
}

void viaOne(benchmark::State& state, asio::ASIOSampleType type, std::int32_t isFloat,
            std::int32_t bits) {
    convertStream<false>(state, type, isFloat, bits);
}

#define QUILLON_PAIR(name, type, isFloat, bits)                                                    \
    BENCHMARK_CAPTURE(viaRun, name, type, isFloat, bits);                                          \
    BENCHMARK_CAPTURE(viaOne, name, type, isFloat, bits)

QUILLON_PAIR(Pcm16_Int16LSB, asio::ASIOSTInt16LSB, 0, 16);
QUILLON_PAIR(Pcm16_Int32LSB, asio::ASIOSTInt32LSB, 0, 16);
QUILLON_PAIR(Pcm16_Float32LSB, asio::ASIOSTFloat32LSB, 0, 16);
QUILLON_PAIR(Pcm16_Float64LSB, asio::ASIOSTFloat64LSB, 0, 16);
QUILLON_PAIR(Pcm24_Int24LSB, asio::ASIOSTInt24LSB, 0, 24);
QUILLON_PAIR(Pcm24_Int32LSB, asio::ASIOSTInt32LSB, 0, 24);
QUILLON_PAIR(Pcm24_Int16LSB, asio::ASIOSTInt16LSB, 0, 24);
QUILLON_PAIR(Pcm32_Int24MSB, asio::ASIOSTInt24MSB, 0, 32);
QUILLON_PAIR(Float32_Int32LSB, asio::ASIOSTInt32LSB, 1, 32);
QUILLON_PAIR(Float32_Float32LSB, asio::ASIOSTFloat32LSB, 1, 32);
QUILLON_PAIR(Float64_Float32LSB, asio::ASIOSTFloat32LSB, 0, 64);
QUILLON_PAIR(Float64_Int32LSB, asio::ASIOSTInt32LSB, 0, 64);
QUILLON_PAIR(Float64_Int24LSB, asio::ASIOSTInt24LSB, 0, 64);
QUILLON_PAIR(Float64_Int32MSB, asio::ASIOSTInt32MSB, 0, 64);

} // namespace

BENCHMARK_MAIN();
