// Stereo conversion speed (as a multiple of real time on one core), set-up time and heap in
// use per converter, for Quillon's converters and two peers at comparable recipes.
#include <chrono>
#include <cmath>
#include <malloc.h>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <samplerate.h>
#include <soxr.h>

#include "resample/dsp/sample_io.h"
#include "resample/resampler_base.h"

namespace {

using quillon::resample::createResampler;
using quillon::resample::Resampler_base;
using quillon::resample::ResamplerConfig;

constexpr int channels = 2;
constexpr int writeFrames = 4096; // one client write

// One second of interleaved stereo float input: two tones and a little noise.
std::vector<float> makeInput(int rate) {
    std::vector<float> v(static_cast<std::size_t>(rate) * channels);
    unsigned seed = 1;
    for (int i = 0; i < rate; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double noise = (seed >> 8) * (1.0 / 16777216.0) - 0.5;
        const double t = static_cast<double>(i) / rate;
        v[2 * i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 997 * t) + 0.01 * noise);
        v[2 * i + 1] = static_cast<float>(0.4 * std::sin(2 * M_PI * 5003 * t) - 0.01 * noise);
    }
    return v;
}

std::size_t heapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

ResamplerConfig configFor(int in, int out, int quality) {
    return {in, out, 1, 1, 32, 64, channels, quality};
}

// The worker's feed: append, run whole steps, keep the rest in front; the output is taken away.
void feed(Resampler_base& r, const float* data, int frames) {
    quillon::dsp::appendBytes(r.inputBuffer, reinterpret_cast<const std::uint8_t*>(data),
                              static_cast<std::uint32_t>(frames * channels * sizeof(float)));
    quillon::resample::convertSteps(r, 0);
    r.outputBuffer.length = 0;
}

void setRates(benchmark::State& state, int in) {
    state.counters["xRealTime"] =
        benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["inputRate"] = in;
}

// One second of input through a converter, in client-sized writes.
void quillonSecond(Resampler_base& r, const std::vector<float>& input, int in) {
    for (int at = 0; at < in; at += writeFrames) {
        feed(r, input.data() + at * channels, std::min(writeFrames, in - at));
    }
}

// soxr with a recipe, single-threaded, float in and out; error set when it refuses.
soxr_t makeSoxr(int in, int out, unsigned long recipe, soxr_error_t& error) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
    const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
    error = nullptr;
    return soxr_create(in, out, channels, &error, &io, &q, &rt);
}

// One second of input through soxr, in the same writes.
void soxrSecond(soxr_t s, const std::vector<float>& input, int in, std::vector<float>& output) {
    for (int at = 0; at < in; at += writeFrames) {
        std::size_t done = 0, produced = 0;
        soxr_process(s, input.data() + at * channels,
                     static_cast<std::size_t>(std::min(writeFrames, in - at)), &done, output.data(),
                     output.size() / channels, &produced);
    }
}

void quillonSpeed(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    const int quality = static_cast<int>(state.range(2));
    const auto input = makeInput(in);
    const std::size_t before = heapInUse();
    std::unique_ptr<Resampler_base> r(createResampler(configFor(in, out, quality)));
    if (!r) {
        state.SkipWithError("refused");
        return;
    }
    for (int at = 0; at + writeFrames <= in; at += writeFrames) { // warm: steps and tables
        feed(*r, input.data() + at * channels, writeFrames);
    }
    state.counters["heapMiB"] = static_cast<double>(heapInUse() - before) / (1 << 20);
    for (auto _ : state) {
        quillonSecond(*r, input, in);
    }
    setRates(state, in);
}

void quillonSetup(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    const int quality = static_cast<int>(state.range(2));
    for (auto _ : state) {
        std::unique_ptr<Resampler_base> r(createResampler(configFor(in, out, quality)));
        benchmark::DoNotOptimize(r.get());
    }
}

void soxrSpeed(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    const unsigned long recipe = state.range(2) == 0 ? SOXR_VHQ : SOXR_HQ;
    const auto input = makeInput(in);
    std::vector<float> output(static_cast<std::size_t>(out) * channels * 2 + 1024);
    const std::size_t before = heapInUse();
    soxr_error_t error = nullptr;
    soxr_t s = makeSoxr(in, out, recipe, error);
    if (error) {
        state.SkipWithError(error);
        return;
    }
    auto run = [&] { soxrSecond(s, input, in, output); };
    run();
    state.counters["heapMiB"] = static_cast<double>(heapInUse() - before) / (1 << 20);
    for (auto _ : state) {
        run();
    }
    soxr_delete(s);
    setRates(state, in);
}

void srcSpeed(benchmark::State& state) {
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    const int type = state.range(2) == 0 ? SRC_SINC_BEST_QUALITY : SRC_SINC_MEDIUM_QUALITY;
    const auto input = makeInput(in);
    std::vector<float> output(static_cast<std::size_t>(writeFrames) * channels * 4 + 1024);
    const std::size_t before = heapInUse();
    int error = 0;
    SRC_STATE* s = src_new(type, channels, &error);
    if (!s) {
        state.SkipWithError(src_strerror(error));
        return;
    }
    auto run = [&] {
        for (int at = 0; at < in; at += writeFrames) {
            SRC_DATA d{};
            d.data_in = input.data() + at * channels;
            d.input_frames = std::min(writeFrames, in - at);
            d.data_out = output.data();
            d.output_frames = static_cast<long>(output.size() / channels);
            d.src_ratio = static_cast<double>(out) / in;
            src_process(s, &d);
        }
    };
    run();
    state.counters["heapMiB"] = static_cast<double>(heapInUse() - before) / (1 << 20);
    for (auto _ : state) {
        run();
    }
    src_delete(s);
    setRates(state, in);
}

// Quillon at one quality against soxr VHQ, timed in alternation, one second of audio each, so
// that the machine's changing pace falls on both alike. throughputRatio is Quillon's throughput
// over soxr's.
void quillonOverSoxr(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const int in = static_cast<int>(state.range(0)), out = static_cast<int>(state.range(1));
    const int quality = static_cast<int>(state.range(2));
    const auto input = makeInput(in);
    std::unique_ptr<Resampler_base> r(createResampler(configFor(in, out, quality)));
    std::vector<float> output(static_cast<std::size_t>(out) * channels * 2 + 1024);
    soxr_error_t error = nullptr;
    soxr_t s = makeSoxr(in, out, SOXR_VHQ, error);
    if (!r || error) {
        state.SkipWithError("refused");
        return;
    }
    auto runQuillon = [&] { quillonSecond(*r, input, in); };
    auto runSoxr = [&] { soxrSecond(s, input, in, output); };
    runQuillon();
    runSoxr();
    Clock::duration quillonTime{}, soxrTime{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        runQuillon();
        const auto t1 = Clock::now();
        runSoxr();
        quillonTime += t1 - t0;
        soxrTime += Clock::now() - t1;
    }
    soxr_delete(s);
    state.counters["throughputRatio"] = std::chrono::duration<double>(soxrTime).count() /
                                        std::chrono::duration<double>(quillonTime).count();
}

const int pairs[][2] = {{44100, 48000}, {48000, 44100}, {96000, 48000}};

void quillonArgs(benchmark::internal::Benchmark* b) {
    for (const auto& p : pairs) {
        for (int q = 0; q <= 4; ++q) {
            b->Args({p[0], p[1], q});
        }
    }
    b->ArgNames({"in", "out", "quality"})->Unit(benchmark::kMillisecond);
}

// Recipe 0 is the peer's best (soxr VHQ, SRC best sinc), 1 its next (soxr HQ, SRC medium).
void peerArgs(benchmark::internal::Benchmark* b) {
    for (const auto& p : pairs) {
        for (int recipe = 0; recipe <= 1; ++recipe) {
            b->Args({p[0], p[1], recipe});
        }
    }
    b->ArgNames({"in", "out", "recipe"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(quillonSpeed)->Apply(quillonArgs);
BENCHMARK(soxrSpeed)->Apply(peerArgs);
BENCHMARK(srcSpeed)->Apply(peerArgs)->Iterations(2);
BENCHMARK(quillonSetup)->Apply(quillonArgs);
BENCHMARK(quillonOverSoxr)
    ->Args({44100, 48000, 2})
    ->Args({48000, 44100, 2})
    ->Args({96000, 48000, 2})
    ->ArgNames({"in", "out", "quality"})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
