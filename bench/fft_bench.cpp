// One forward plus one inverse real transform, in place, at the converters' sizes.
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include "resample/dsp/fft_kernels.h"
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

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(2048)->Arg(32768)->Arg(524288)->Unit(benchmark::kMicrosecond)->UseManualTime();
}

BENCHMARK_CAPTURE(quillonFft, sse2, FftKernel::sse2)->Apply(sizes);
BENCHMARK_CAPTURE(quillonFft, avx2, FftKernel::avx2)->Apply(sizes);
BENCHMARK_CAPTURE(fftw, estimate, FFTW_ESTIMATE)->Apply(sizes);
BENCHMARK_CAPTURE(fftw, measure, FFTW_MEASURE)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
