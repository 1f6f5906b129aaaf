// The device's resampling paths over a fake driver, with a real worker thread
// and the real converters.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "device/device_state.h"
#include "device/fake_driver.h"
#include "device/invariants.h"
#include "ipc/shared_block.h"
#include "resample/dsp/sample_io.h"
#include "resample/worker.h"

namespace quillon::test {
namespace {

using device::OutputDevice;

// Stereo 16-bit: two sines well below full scale.
std::vector<std::uint8_t> tone(int frames, int offset = 0) {
    std::vector<std::int16_t> s;
    for (int i = offset; i < offset + frames; ++i) {
        s.push_back(static_cast<std::int16_t>(12000 * std::sin(i * 0.031)));
        s.push_back(static_cast<std::int16_t>(9000 * std::sin(i * 0.017 + 1.0)));
    }
    std::vector<std::uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

// What a converter of its own makes of the same bytes, flushed at the end.
std::vector<double> offline(const std::vector<std::uint8_t>& input, std::int32_t quality) {
    std::unique_ptr<resample::Resampler_base> c(
        resample::createResampler({44100, 48000, 0, 1, 16, 64, 2, quality}));
    EXPECT_TRUE(c);
    if (!c) {
        return {};
    }
    dsp::appendBytes(c->inputBuffer, input.data(), static_cast<std::uint32_t>(input.size()));
    EXPECT_TRUE(resample::convertSteps(*c, 1));
    std::vector<double> out(c->outputBuffer.length / 8);
    std::memcpy(out.data(), c->outputBuffer.data, out.size() * 8);
    return out;
}

class DeviceResampleTest : public ::testing::Test {
protected:
    resample::ResamplerWorker worker;
    FakeDriver fake;
    FakeDriverSource list;
    FakeClock clk;
    ipc::DeviceSettings settings;
    OutputDevice* dev = nullptr;
    std::vector<double> played; // interleaved stereo, what the driver was handed
    int half = 0;

    void SetUp() override {
        ASSERT_TRUE(resample::startWorker(worker));
        list.drivers[0] = &fake;
        fake.sampleType = ASIOSTFloat64LSB;
        fake.refusedRates = {44100.0};
        settings.bufferMultiplier = 15; // 32768 frames: a whole test stream fits
        settings.resampleEnable = true;
        settings.resampleRate = 48000;
        settings.resampleQuality = 0;
        dev = device::createOutputDevice(list.source(), clk.clock);
        dev->link.worker = &worker;
        device::setClockOverride(*dev, FakeClock::read, &clk);
        device::applySettings(*dev, settings);
    }
    void TearDown() override {
        EXPECT_EQ(device::brokenInvariant(*dev), nullptr);
        device::destroyOutputDevice(dev);
        EXPECT_EQ(worker.activeResampler, nullptr); // the close destroyed it
        resample::stopWorker(worker);
    }

    void apply() { device::applySettings(*dev, settings); }
    std::int32_t write(const std::vector<std::uint8_t>& b) {
        return device::writeStream(*dev, b.data(), static_cast<std::int32_t>(b.size()));
    }
    // One buffer switch; keeps the frames that were real audio.
    void play() {
        const std::int64_t before = dev->counters.framesPlayed;
        fake.bufferSwitch(half);
        const auto frames = static_cast<std::size_t>(dev->counters.framesPlayed - before);
        for (std::size_t f = 0; f < frames; ++f) {
            for (int c = 0; c < 2; ++c) {
                double v = 0;
                std::memcpy(&v, fake.half(c, half).data() + f * 8, 8);
                played.push_back(v);
            }
        }
        half ^= 1;
    }
    void playAll() {
        while (dev->ring.queuedFrames > 0) {
            play();
        }
    }
    // Writes `input` 1500 frames at a time, the driver playing all it can after each.
    void writePlaying(const std::vector<std::uint8_t>& input) {
        for (std::size_t at = 0; at < input.size(); at += 4 * 1500) {
            const std::size_t n = std::min<std::size_t>(4 * 1500, input.size() - at);
            const auto from = input.begin() + static_cast<std::ptrdiff_t>(at);
            ASSERT_EQ(write(std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(n))),
                      0);
            playAll();
        }
    }
};

TEST_F(DeviceResampleTest, StreamReachesTheDriverAsTheConvertersOwnOutputWithItsTail) {
    // Ring 32768 + pipeline 1200 frames at 48 kHz, plus the resampling flag.
    EXPECT_EQ(device::openOutput(*dev, 44100, 16, 2), 708 + 8000);
    EXPECT_EQ(fake.rate, 48000.0);
    ASSERT_TRUE(dev->link.resampler);
    EXPECT_NE(worker.activeResampler, nullptr);

    const auto input = tone(20000);
    std::size_t at = 0;
    for (const std::size_t chunk : {4096u * 4, 4096u * 4, 1234u * 4 + 2, 7000u}) {
        // Ring room in output frames, told in client bytes.
        const std::int32_t free = dev->ring.frames - dev->ring.queuedFrames;
        EXPECT_EQ(device::writableBytes(*dev), platform::mulDiv(free, 44100, 48000) * 4);
        const std::vector<std::uint8_t> part(input.begin() + static_cast<std::ptrdiff_t>(at),
                                             input.begin() +
                                                 static_cast<std::ptrdiff_t>(at + chunk));
        ASSERT_EQ(write(part), 0);
        at += chunk;
    }
    const std::vector<std::uint8_t> rest(input.begin() + static_cast<std::ptrdiff_t>(at),
                                         input.end());
    ASSERT_EQ(write(rest), 0);
    // Written counts client frames at the client's rate: 20000 at 44.1 kHz.
    EXPECT_EQ(device::writtenPositionMs(*dev), 453);

    const auto expected = offline(input, 0);
    ASSERT_GT(expected.size(), 40000u);
    // The converter still holds its last partial step until the drain.
    EXPECT_LT(static_cast<std::size_t>(dev->ring.queuedFrames) * 2, expected.size());
    EXPECT_EQ(device::isPlaying(*dev), 1);
    EXPECT_TRUE(fake.started);
    playAll();
    ASSERT_EQ(played.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(played[i], expected[i]) << "value " << i;
    }
    // Played counts driver frames.
    EXPECT_EQ(dev->counters.framesPlayed, static_cast<std::int64_t>(expected.size() / 2));
    EXPECT_EQ(device::outputPositionMs(*dev) > 0, true);
    EXPECT_EQ(dev->link.inputRate, 0);     // flushed: the next open builds a fresh one
    EXPECT_EQ(device::isPlaying(*dev), 1); // pipeline still playing since the last switch
}

TEST_F(DeviceResampleTest, ADrainWhilePausedReturnsAndTheRestPlaysAfterResume) {
    settings.bufferMultiplier = 0; // 2048 frames: the converted stream overflows the ring
    apply();
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(3000);
    ASSERT_EQ(write(input), 0);
    ASSERT_TRUE(fake.started);
    EXPECT_EQ(dev->ring.queuedFrames, dev->ring.frames);
    ASSERT_EQ(device::setPause(*dev, 1), 0);
    // Nothing drains while paused: the drain must come back, not wait for room.
    EXPECT_EQ(device::isPlaying(*dev), 1);
    ASSERT_EQ(device::setPause(*dev, 0), 1);
    // What the converter still held reaches the rings on the following calls.
    for (int round = 0; round < 20; ++round) {
        playAll();
        device::isPlaying(*dev);
        if (dev->ring.queuedFrames == 0) {
            break;
        }
    }
    EXPECT_EQ(played, offline(input, 0));
}

TEST_F(DeviceResampleTest, ADrainNeverWaitsForRoomAndThePositionsMeetAtTheEnd) {
    settings.bufferMultiplier = 0; // 2048 frames: the tail is longer than the ring
    settings.resampleQuality = 1;  // a 2730-frame delay, so the tail is too
    apply();
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(20000);
    writePlaying(input);
    ASSERT_FALSE(HasFatalFailure());
    // Nobody plays meanwhile: the answer comes with the rings full and the rest still held.
    EXPECT_EQ(device::isPlaying(*dev), 1);
    EXPECT_EQ(dev->ring.queuedFrames, dev->ring.frames);
    EXPECT_GT(resample::workerCount(*dev->link.resampler), 0u);
    int calls = 1;
    while (device::isPlaying(*dev) != 0) {
        ASSERT_LT(++calls, 1000);
        playAll();
        clk.advanceMs(50); // past the driver's pipeline
    }
    // Every frame the input lasts at 48 kHz, the delay's worth included, and nothing more.
    EXPECT_EQ(played, offline(input, 1));
    // 20000 frames at 44.1 kHz last 21768.7 frames at 48 kHz.
    EXPECT_EQ(dev->counters.framesPlayed, 21769);
    EXPECT_NEAR(device::outputPositionMs(*dev), device::writtenPositionMs(*dev), 1);
}

// A player that drains and then writes on without a new open: the stream goes on, and what
// follows the drain plays whole, its own end flushed at the next drain.
TEST_F(DeviceResampleTest, AWriteAfterACompleteDrainPlaysWholeAfterTheFirstPart) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto first = tone(6000);
    const auto second = tone(5000, 6000);
    for (const auto* part : {&first, &second}) {
        ASSERT_EQ(write(*part), 0);
        for (int calls = 0; device::isPlaying(*dev) != 0; ++calls) {
            ASSERT_LT(calls, 1000);
            playAll();
            clk.advanceMs(50);
        }
    }
    auto expected = offline(first, 0);
    const auto more = offline(second, 0);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(played.size(), expected.size());
    EXPECT_TRUE(played == expected) << "the stream after the drain is not the second part";
}

TEST_F(DeviceResampleTest, AnOpenAfterAnUnfinishedDrainPlaysWhatTheConverterStillHeld) {
    settings.bufferMultiplier = 0; // 2048 frames
    settings.resampleQuality = 1;  // a tail longer than the ring
    apply();
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(20000);
    writePlaying(input);
    ASSERT_FALSE(HasFatalFailure());
    // A player that moves on after one drain query, with the rings full and the rest flushed
    // into the converter's output.
    ASSERT_EQ(device::isPlaying(*dev), 1);
    ASSERT_GT(resample::workerCount(*dev->link.resampler), 0u);

    // What the driver plays from here on, silence left out: the old tail plays uncounted.
    std::vector<double> heard = played;
    std::atomic<bool> opened{false};
    auto listen = [&] {
        fake.bufferSwitch(half);
        const auto& left = fake.half(0, half);
        const auto& right = fake.half(1, half);
        for (std::size_t f = 0; f + 8 <= left.size(); f += 8) {
            double v[2];
            std::memcpy(&v[0], left.data() + f, 8);
            std::memcpy(&v[1], right.data() + f, 8);
            if (v[0] != 0.0 || v[1] != 0.0) {
                heard.insert(heard.end(), v, v + 2);
            }
        }
        half ^= 1;
    };
    std::thread driver([&] {
        while (!opened) {
            listen();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // Another client format: a new converter, after the old one's output is all in the rings.
    const std::int32_t latency = device::openOutput(*dev, 44100, 24, 2);
    opened = true;
    driver.join();
    EXPECT_GT(latency, 8000);
    while (dev->ring.queuedFrames > 0) {
        listen();
    }
    EXPECT_EQ(heard, offline(input, 1));
}

TEST_F(DeviceResampleTest, SeekRestartsPositionsAndAFreshConverter) {
    ASSERT_EQ(device::openOutput(*dev, 44100, 16, 2), 708 + 8000);
    ASSERT_EQ(write(tone(3001, 500)), 0); // leaves a partial step in the converter
    device::seekTo(*dev, 1500);
    EXPECT_EQ(dev->counters.framesPlayed, 72000);
    EXPECT_EQ(dev->counters.bytesWritten, 264600);
    EXPECT_EQ(dev->ring.queuedFrames, 0);
    ASSERT_TRUE(dev->link.resampler);
    EXPECT_EQ(dev->link.inputRate, 44100);

    // Nothing from before the seek comes out: exactly what a new converter makes.
    const auto input = tone(8000);
    ASSERT_EQ(write(input), 0);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    playAll();
    EXPECT_EQ(played, offline(input, 0));
    // 8000 frames at 44.1 kHz after the seek to 1500 ms.
    EXPECT_EQ(device::writtenPositionMs(*dev), 1681);
}

TEST_F(DeviceResampleTest, AFormatChangeAtTheSameRatePlaysTheOldTailUncounted) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    ASSERT_EQ(write(tone(3000)), 0);
    const std::int32_t before = dev->ring.queuedFrames;
    const std::size_t sets = fake.setRateCalls;
    // 24-bit now: a new converter, but the driver keeps its rate and its queue.
    ASSERT_GT(device::openOutput(*dev, 44100, 24, 2), 8000);
    EXPECT_EQ(fake.setRateCalls, static_cast<int>(sets));
    EXPECT_GT(dev->ring.queuedFrames, before);
    EXPECT_EQ(dev->ring.uncountedFrames, dev->ring.queuedFrames);
    EXPECT_EQ(dev->link.inputBits, 24);
    EXPECT_EQ(dev->counters.framesPlayed, 0);
}

TEST_F(DeviceResampleTest, ARatePairTheFactoryRefusesPlaysUnconvertedWhenTheDriverAcceptsIt) {
    fake.sampleType = ASIOSTInt16LSB;
    // 40 kHz over 48 kHz reduces to 5:6, a ratio the converters do not build.
    const std::int32_t ms = device::openOutput(*dev, 40000, 16, 2);
    EXPECT_EQ(ms, platform::mulDiv(32768 + 1200, 1000, 40000) + 8000);
    EXPECT_FALSE(dev->link.resampler);
    EXPECT_EQ(fake.rate, 40000.0);
    EXPECT_EQ(worker.activeResampler, nullptr);
    // The client's samples reach the driver untouched.
    const auto input = tone(600);
    ASSERT_EQ(write(input), 0);
    EXPECT_EQ(device::writableBytes(*dev), (dev->ring.frames - 600) * 4);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    fake.bufferSwitch(0);
    std::vector<std::int16_t> in(4);
    std::memcpy(in.data(), input.data(), 8);
    EXPECT_EQ(fake.samples16(0, 0)[1], in[2]);
    EXPECT_EQ(fake.samples16(1, 0)[1], in[3]);

    // A driver that refuses that rate as well: nothing can play it.
    device::closeDevice(*dev);
    fake.refusedRates.insert(40000.0);
    EXPECT_EQ(device::openOutput(*dev, 40000, 16, 2), -1);
    EXPECT_FALSE(dev->life.streamOpen);
    EXPECT_EQ(list.loadedIndex, -1);
}

TEST_F(DeviceResampleTest, ResetReopensKeepingEveryConvertedFrame) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto first = tone(10000);
    ASSERT_EQ(write(first), 0);
    ASSERT_EQ(device::isPlaying(*dev), 1); // flushes the converter, starts the driver
    play();
    fake.message(kAsioResetRequest);
    const std::int64_t written = dev->counters.bytesWritten;
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(dev->counters.bytesWritten, written);
    // Only what the old driver was handed counts as played.
    EXPECT_EQ(dev->counters.framesPlayed, 512);
    ASSERT_TRUE(dev->link.resampler);
    EXPECT_EQ(dev->link.inputRate, 44100);
    EXPECT_EQ(list.loads, 2);

    // The rest of the first part plays after the re-open, then the stream
    // goes on through a fresh converter, since the first was flushed.
    const auto more = tone(8000, 10000);
    ASSERT_EQ(write(more), 0);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    playAll();
    std::vector<double> expected = offline(first, 0);
    const std::vector<double> second = offline(more, 0);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(played, expected);
}

TEST_F(DeviceResampleTest, ResetMidStreamKeepsTheConverterAndItsBacklog) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(12000);
    const std::size_t half = input.size() / 2;
    ASSERT_EQ(device::writeStream(*dev, input.data(), static_cast<std::int32_t>(half)), 0);
    fake.bufferSwitch(0); // not started yet: nothing taken
    fake.message(kAsioResetRequest);
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(list.loads, 2);
    // The same converter carries on: no filter restart in the middle.
    ASSERT_EQ(device::writeStream(*dev, input.data() + half,
                                  static_cast<std::int32_t>(input.size() - half)),
              0);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    playAll();
    EXPECT_EQ(played, offline(input, 0));
}

// A reset re-open prepares the driver with the settings of the moment: a
// converter built for another target, or with resampling now off, must not
// feed the new rings.
TEST_F(DeviceResampleTest, AReopenAfterTheSettingsChangedNeverKeepsAConverterForAnotherTarget) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    ASSERT_EQ(write(tone(3000)), 0);
    settings.resampleRate = 96000;
    apply();
    fake.message(kAsioResetRequest);
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(list.loads, 2);
    ASSERT_TRUE(dev->link.resampler);
    EXPECT_EQ(dev->link.resampler->config.outputRate, 96000);
    EXPECT_EQ(dev->format.outputRate, 96000u);
    EXPECT_EQ(device::brokenInvariant(*dev), nullptr);

    settings.resampleEnable = false;
    apply();
    fake.refusedRates.clear();
    fake.message(kAsioResetRequest);
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(list.loads, 3);
    EXPECT_FALSE(dev->link.resampler);
    EXPECT_EQ(dev->format.outputRate, 44100u);
    EXPECT_EQ(dev->format.feedBits, 16);
    EXPECT_EQ(device::brokenInvariant(*dev), nullptr);
    // What is written now reaches the driver as written.
    const auto more = tone(600);
    ASSERT_EQ(write(more), 0);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    played.clear();
    playAll();
    ASSERT_GE(played.size(), 1200u);
    for (std::size_t i = 0; i < 1200; ++i) {
        std::int16_t sample = 0;
        std::memcpy(&sample, more.data() + i * 2, 2);
        EXPECT_NEAR(played[played.size() - 1200 + i], sample / 32768.0, 1e-4) << i;
    }
}

// The worker converts a whole feed before it answers: a large write handed over
// at once would keep the driver silent until all of it was converted.
TEST_F(DeviceResampleTest, ALargeWriteStartsTheDriverEarlyAndPlaysAsOneStream) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(300000); // 1.2 MB
    std::int64_t takenAtStart = -1;
    std::int64_t writtenAtStart = -1;
    fake.onStart = [&] {
        takenAtStart = worker.activeResampler->inputFramesTaken;
        writtenAtStart = dev->counters.bytesWritten;
    };
    ASSERT_EQ(write(input), 0);
    EXPECT_GT(takenAtStart, 0);
    EXPECT_LT(takenAtStart, 100000) << "the driver waited for the whole write's conversion";
    // What the driver may play is already counted as written.
    EXPECT_GE(writtenAtStart, takenAtStart * 4);
    EXPECT_EQ(dev->counters.bytesWritten, 1200000);

    const auto expected = offline(input, 0);
    for (int i = 0; i < 200 && played.size() < expected.size(); ++i) {
        device::isPlaying(*dev);
        playAll();
    }
    ASSERT_EQ(played.size(), expected.size());
    EXPECT_TRUE(played == expected) << "the pieces changed the converter's output";
}

// A driver that takes nothing, stalled or paused, must not have the worker turn
// whole payloads into output nobody reads: at a high rate ratio that is
// gigabytes, and minutes of the main channel. The write waits unconverted,
// capped at one payload, and plays whole once the driver takes audio again.
TEST_F(DeviceResampleTest, AWriteTheDriverDoesNotTakeWaitsUnconvertedAndPlaysWholeLater) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(270000);
    const std::vector<std::uint8_t> stalled(input.begin(), input.begin() + 4 * 250000);
    const std::vector<std::uint8_t> paused(input.begin() + 4 * 250000, input.end());
    resample::Resampler_base& converter = *worker.activeResampler;

    // Started but never calling back: the write gives up waiting and answers.
    ASSERT_EQ(write(stalled), 0);
    EXPECT_FALSE(dev->life.driverStopped);
    EXPECT_EQ(dev->counters.framesPlayed, 0);
    EXPECT_LT(converter.outputBuffer.length, 2u << 20) << "converted far ahead of the rings";
    EXPECT_GT(resample::workerBacklog(*dev->link.resampler).queuedInput, 0u);

    // Paused: a write past one payload waiting is refused whole, a small one taken.
    ASSERT_EQ(device::setPause(*dev, 1), 0);
    const std::int64_t written = dev->counters.bytesWritten;
    const std::vector<std::uint8_t> payload(ipc::kPayloadSize);
    EXPECT_EQ(write(payload), 1);
    EXPECT_EQ(dev->counters.bytesWritten, written) << "a refused write was counted";
    ASSERT_EQ(write(paused), 0);
    EXPECT_LT(converter.outputBuffer.length, 2u << 20);

    // Resumed, every frame plays once and in order.
    ASSERT_EQ(device::setPause(*dev, 0), 1);
    while (device::isPlaying(*dev) != 0) {
        playAll();
        clk.advanceMs(50);
    }
    EXPECT_EQ(dev->counters.bytesWritten, 4 * 270000);
    EXPECT_TRUE(played == offline(input, 0)) << played.size() << " values played";
}

TEST_F(DeviceResampleTest, AWriteTheConverterHasNoRoomForIsRefusedWhole) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    const auto input = tone(6000);
    const std::vector<std::uint8_t> head(input.begin(), input.begin() + 4 * 3000);
    const std::vector<std::uint8_t> rest(input.begin() + 4 * 3000, input.end());
    ASSERT_EQ(write(head), 0);
    const std::int64_t written = dev->counters.bytesWritten;

    // The converter's output buffer at its size limit, and no limit of its own to stop at
    // first: no step can keep its output. Touched only between commands, which the worker
    // runs one at a time.
    resample::Resampler_base& converter = *worker.activeResampler;
    const dsp::GrowableBuffer saved = converter.outputBuffer;
    const std::uint32_t limit = converter.outputLimit;
    std::uint8_t block[16] = {};
    converter.outputBuffer =
        dsp::GrowableBuffer{block, dsp::kMaxBufferCapacity, dsp::kMaxBufferCapacity - 8};
    converter.outputLimit = 0;
    EXPECT_EQ(write(rest), 1);
    EXPECT_EQ(dev->counters.bytesWritten, written) << "a refused write was counted";
    converter.outputBuffer = saved;
    converter.outputLimit = limit;

    // Nothing of it was taken: sent again, the stream is whole.
    ASSERT_EQ(write(rest), 0);
    while (device::isPlaying(*dev) != 0) {
        playAll();
        clk.advanceMs(50);
    }
    EXPECT_EQ(played, offline(input, 0));
}

TEST_F(DeviceResampleTest, CloseDropsTheConverterAndAWriteAfterItIsRefused) {
    ASSERT_GT(device::openOutput(*dev, 44100, 16, 2), 8000);
    ASSERT_NE(worker.activeResampler, nullptr);
    device::closeOutput(*dev, false);
    EXPECT_EQ(worker.activeResampler, nullptr);
    EXPECT_FALSE(dev->link.resampler);
    EXPECT_EQ(write(tone(100)), 1);
    EXPECT_EQ(dev->link.inputRate, 0);
}

} // namespace
} // namespace quillon::test
