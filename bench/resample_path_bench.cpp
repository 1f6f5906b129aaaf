// The write command with and without sample-rate conversion: a 4096-frame
// 44.1 kHz stereo 16-bit chunk through the device, the worker thread and the
// converter into the rings of the in-process fake driver. Time per iteration
// is one write command; bytes per second are client bytes accepted.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "device/device_state.h"
#include "device/fake_driver.h"
#include "resample/worker.h"

namespace {

using namespace quillon;

void BM_WriteCommand(benchmark::State& state) {
    const auto quality = static_cast<std::int32_t>(state.range(0)); // -1: no conversion
    resample::ResamplerWorker worker;
    if (!resample::startWorker(worker)) {
        state.SkipWithError("no worker");
        return;
    }
    test::FakeDriver fake;
    test::FakeDriverSource list;
    list.drivers[0] = &fake;
    fake.sampleType = asio::ASIOSTInt32LSB;
    platform::Clock clock;
    platform::chooseClock(clock);
    device::OutputDevice* dev = device::createOutputDevice(list.source(), clock);
    dev->link.worker = &worker;
    ipc::DeviceSettings s;
    // 8192-frame rings: a chunk's converted output always fits after emptying.
    s.bufferMultiplier = 3;
    s.resampleEnable = quality >= 0;
    s.resampleRate = 48000;
    s.resampleQuality = quality < 0 ? 0 : quality;
    device::applySettings(*dev, s);
    if (device::openOutput(*dev, 44100, 16, 2) < 0 || (quality >= 0 && !dev->link.resampler)) {
        state.SkipWithError("open failed");
        device::destroyOutputDevice(dev);
        resample::stopWorker(worker);
        return;
    }

    constexpr int kFrames = 4096;
    std::vector<std::int16_t> samples(kFrames * 2);
    for (int i = 0; i < kFrames; ++i) {
        samples[static_cast<std::size_t>(2 * i)] =
            static_cast<std::int16_t>(12000 * std::sin(i * 0.031));
        samples[static_cast<std::size_t>(2 * i + 1)] =
            static_cast<std::int16_t>(9000 * std::sin(i * 0.017));
    }
    std::vector<std::uint8_t> chunk(samples.size() * 2);
    std::memcpy(chunk.data(), samples.data(), chunk.size());
    const auto bytes = static_cast<std::int32_t>(chunk.size());

    for (auto _ : state) {
        if (device::writeStream(*dev, chunk.data(), bytes) != 0) {
            state.SkipWithError("write refused");
            break;
        }
        // Empty the rings by their indices: the callback's copy is measured apart.
        state.PauseTiming();
        dev->ring.queuedFrames = 0;
        dev->ring.readIndex = dev->ring.writeIndex;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    device::destroyOutputDevice(dev);
    resample::stopWorker(worker);
}
BENCHMARK(BM_WriteCommand)->ArgName("quality")->Arg(-1)->Arg(0)->Arg(2)->UseRealTime();

} // namespace
BENCHMARK_MAIN();
