// One forward plus one inverse real transform, in place, at the converters' sizes; and the
// converters' convolution of a channel pair through one complex transform, beside the same
// convolution with FFTW's split-format complex transforms.
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include "resample/dsp/fft_kernels.h"
#include "resample/dsp/pair_convolver.h"
#include "resample/dsp/real_fft.h"

namespace {

using quillon::dsp::detail::FftKernel;

// Timed by hand around the two transforms only, so the rescaling between iterations (and the
// cost of pausing the timer) stays out of the numbers.
using Clock = std::chrono::steady_clock;
double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void fill(double* a, int n) {
    for (int i = 0; i < n; ++i)
        a[i] = std::sin(0.001 * i) + 0.25 * std::cos(0.37 * i);
}

void quillonFft(benchmark::State& state, FftKernel kernel) {
    if (!quillon::dsp::detail::fftKernelAvailable(kernel)) {
        state.SkipWithError("kernel not supported here");
        return;
    }
    const int n = static_cast<int>(state.range(0));
    std::vector<double> a(static_cast<std::size_t>(n));
    std::vector<int> index(static_cast<std::size_t>(std::sqrt(double(n)) + 2));
    std::vector<double> table(static_cast<std::size_t>(n / 2));
    index[0] = 0;
    fill(a.data(), n);
    const double scale = 2.0 / n;
    for (auto _ : state) {
        auto start = Clock::now();
        quillon::dsp::detail::realFftWith(kernel, n, 1, a.data(), index.data(), table.data());
        quillon::dsp::detail::realFftWith(kernel, n, -1, a.data(), index.data(), table.data());
        benchmark::DoNotOptimize(a.data());
        state.SetIterationTime(seconds(Clock::now() - start));
        for (double& v : a)
            v *= scale; // keeps the values bounded; not timed
    }
}

void fftw(benchmark::State& state, unsigned flags) {
    const int n = static_cast<int>(state.range(0));
    // In place: n + 2 doubles hold the n/2 + 1 complex bins.
    double* a = fftw_alloc_real(static_cast<std::size_t>(n) + 2);
    auto* c = reinterpret_cast<fftw_complex*>(a);
    fftw_plan forward = fftw_plan_dft_r2c_1d(n, a, c, flags);
    fftw_plan inverse = fftw_plan_dft_c2r_1d(n, c, a, flags);
    fill(a, n);
    const double scale = 1.0 / n;
    for (auto _ : state) {
        auto start = Clock::now();
        fftw_execute(forward);
        fftw_execute(inverse);
        benchmark::DoNotOptimize(a);
        state.SetIterationTime(seconds(Clock::now() - start));
        for (int i = 0; i < n; ++i)
            a[i] *= scale;
    }
    fftw_destroy_plan(forward);
    fftw_destroy_plan(inverse);
    fftw_free(a);
}

// Two channels' zero-padded blocks of n/2 samples through a kernel of n/2 taps, as a step does.
void quillonPair(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<double> taps(static_cast<std::size_t>(n), 0.0);
    fill(taps.data(), n / 2 - 1);
    quillon::dsp::PairConvolver plan;
    if (!quillon::dsp::preparePairConvolver(plan, n, taps.data())) {
        state.SkipWithError("pair convolver not supported here");
        return;
    }
    quillon::dsp::AlignedDoubles re(static_cast<std::size_t>(n)), im(static_cast<std::size_t>(n));
    for (auto _ : state) {
        fill(re.data(), n / 2);
        fill(im.data(), n / 2);
        auto start = Clock::now();
        quillon::dsp::convolvePair(plan, re.data(), im.data(), true);
        benchmark::DoNotOptimize(re.data());
        state.SetIterationTime(seconds(Clock::now() - start));
    }
}

void fftwPair(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    double* re = fftw_alloc_real(static_cast<std::size_t>(n));
    double* im = fftw_alloc_real(static_cast<std::size_t>(n));
    double* kr = fftw_alloc_real(static_cast<std::size_t>(n));
    double* ki = fftw_alloc_real(static_cast<std::size_t>(n));
    fftw_iodim dim{n, 1, 1};
    // FFTW's split format has no inverse flag: swapping the parts gives the inverse transform.
    fftw_plan forward = fftw_plan_guru_split_dft(1, &dim, 0, nullptr, re, im, re, im, FFTW_MEASURE);
    fftw_plan inverse = fftw_plan_guru_split_dft(1, &dim, 0, nullptr, im, re, im, re, FFTW_MEASURE);
    std::memset(re, 0, sizeof(double) * n);
    std::memset(im, 0, sizeof(double) * n);
    fill(re, n / 2 - 1);
    fftw_execute(forward);
    std::memcpy(kr, re, sizeof(double) * n);
    std::memcpy(ki, im, sizeof(double) * n);
    for (auto _ : state) {
        std::memset(re, 0, sizeof(double) * n);
        std::memset(im, 0, sizeof(double) * n);
        fill(re, n / 2);
        fill(im, n / 2);
        auto start = Clock::now();
        fftw_execute(forward);
        for (int i = 0; i < n; ++i) {
            const double r = re[i] * kr[i] - im[i] * ki[i];
            im[i] = re[i] * ki[i] + im[i] * kr[i];
            re[i] = r;
        }
        fftw_execute(inverse);
        benchmark::DoNotOptimize(re);
        state.SetIterationTime(seconds(Clock::now() - start));
    }
    fftw_destroy_plan(forward);
    fftw_destroy_plan(inverse);
    for (double* p : {re, im, kr, ki})
        fftw_free(p);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(2048)->Arg(32768)->Arg(524288)->Unit(benchmark::kMicrosecond)->UseManualTime();
}

BENCHMARK_CAPTURE(quillonFft, sse2, FftKernel::sse2)->Apply(sizes);
BENCHMARK_CAPTURE(quillonFft, avx2, FftKernel::avx2)->Apply(sizes);
BENCHMARK_CAPTURE(fftw, estimate, FFTW_ESTIMATE)->Apply(sizes);
BENCHMARK_CAPTURE(fftw, measure, FFTW_MEASURE)->Apply(sizes);
BENCHMARK(quillonPair)->Apply(sizes);
BENCHMARK(fftwPair)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
