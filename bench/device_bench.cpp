// The cost of one buffer switch, and the frames per second the write path
// converts into the rings, over the in-process fake driver.
#include <benchmark/benchmark.h>

#include <vector>

#include "device/device_state.h"
#include "device/fake_driver.h"

namespace {

using namespace quillon;

struct Bench {
    test::FakeDriver fake;
    test::FakeDriverSource list;
    platform::Clock clock;
    device::OutputDevice* dev = nullptr;

    Bench(asio::ASIOSampleType type, int channels, int bits) {
        list.drivers[0] = &fake;
        fake.sampleType = type;
        fake.preferred = 512;
        fake.outputs = 8;
        platform::chooseClock(clock);
        dev = device::createOutputDevice(list.source(), clock);
        ipc::DeviceSettings s;
        s.bufferMultiplier = 1;
        device::applySettings(*dev, s);
        device::openOutput(*dev, 48000, bits, channels);
    }
    ~Bench() { device::destroyOutputDevice(dev); }
};

void BM_BufferSwitch(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    Bench b(asio::ASIOSTInt32LSB, channels, 32);
    device::startDriver(*b.dev);
    int index = 0;
    for (auto _ : state) {
        // Keep a full half-buffer queued without timing any conversion; the
        // read index walks the whole ring, so both the one-copy and the
        // wrapping two-copy fills are measured.
        b.dev->ring.queuedFrames = 1024;
        device::bufferSwitch(*b.dev, index);
        index ^= 1;
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_BufferSwitch)->Arg(2)->Arg(8);

void BM_WritePath(benchmark::State& state) {
    const auto type = static_cast<asio::ASIOSampleType>(state.range(0));
    const auto bits = static_cast<int>(state.range(1));
    Bench b(type, 2, bits);
    const int frameBytes = (bits < 0 ? -bits : bits) / 8 * 2;
    constexpr int kFrames = 1024;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(kFrames * frameBytes), 0);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 37 % 101); // finite for float sources
    }
    for (auto _ : state) {
        device::feedRing(*b.dev, false, kFrames * frameBytes, block.data());
        // Empty the ring by its indices: the callback's copy is measured apart.
        b.dev->ring.queuedFrames = 0;
        b.dev->ring.readIndex = b.dev->ring.writeIndex;
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_WritePath)
    ->ArgNames({"type", "bits"})
    ->Args({asio::ASIOSTInt16LSB, 16})
    ->Args({asio::ASIOSTInt32LSB, 16})
    ->Args({asio::ASIOSTInt32LSB, 24})
    ->Args({asio::ASIOSTInt24LSB, 24})
    ->Args({asio::ASIOSTFloat32LSB, 16})
    ->Args({asio::ASIOSTInt32LSB, -32})
    ->Args({asio::ASIOSTInt24LSB, -64})
    ->Args({asio::ASIOSTInt32MSB, -32});

} // namespace

BENCHMARK_MAIN();
