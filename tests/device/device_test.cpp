// Output device logic over a fake driver and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "device/device_state.h"
#include "device/fake_driver.h"
#include "device/invariants.h"
#include "ipc/shared_block.h"
#include "platform/platform.h"

namespace quillon::test {
namespace {

using device::OutputDevice;

class DeviceTest : public ::testing::Test {
public:
    FakeDriver fake;
    FakeDriver other;
    FakeDriverSource list;
    FakeClock clk;
    ipc::DeviceSettings settings;
    OutputDevice* dev = nullptr;

    void SetUp() override {
        list.drivers[0] = &fake;
        list.drivers[1] = &other;
        settings.bufferMultiplier = 1;
        dev = device::createOutputDevice(list.source(), clk.clock);
        device::setClockOverride(*dev, FakeClock::read, &clk);
        device::applySettings(*dev, settings);
    }
    void TearDown() override {
        // Every test ends between commands: the lifecycle table must hold.
        EXPECT_EQ(device::brokenInvariant(*dev), nullptr);
        device::destroyOutputDevice(dev);
    }

    void apply() { device::applySettings(*dev, settings); }
    // Rings of 16 frames: half-buffers of 4, multiplier 0.
    void smallRings() {
        fake.preferred = 4;
        settings.bufferMultiplier = 0;
        apply();
    }
    std::int32_t open(std::int32_t rate = 44100, std::int32_t bits = 16, std::int32_t ch = 2) {
        return device::openOutput(*dev, rate, bits, ch);
    }
    // Stereo 16-bit frames: channel 0 counts up from `first`, channel 1 down.
    static std::vector<std::uint8_t> frames(int first, int count) {
        std::vector<std::int16_t> s;
        for (int i = 0; i < count; ++i) {
            s.push_back(static_cast<std::int16_t>(first + i));
            s.push_back(static_cast<std::int16_t>(-(first + i)));
        }
        std::vector<std::uint8_t> b(s.size() * 2);
        std::memcpy(b.data(), s.data(), b.size());
        return b;
    }
    std::int32_t write(const std::vector<std::uint8_t>& b) {
        return device::writeStream(*dev, b.data(), static_cast<std::int32_t>(b.size()));
    }
    std::int32_t writeFrames(int first, int count) { return write(frames(first, count)); }
    std::int16_t out(int channel, int index, int frame) {
        return fake.samples16(channel, index)[static_cast<std::size_t>(frame)];
    }
    bool closed() const { return !dev->life.streamOpen && list.loadedIndex == -1; }
};

// ---------------------------------------------------------------- opening

TEST_F(DeviceTest, FirstOpenLoadsTheChosenEntrySetsUpAndAnswersTheLatency) {
    settings.driverIndex = 1;
    settings.firstChannel = 2;
    settings.inputMonitor = true;
    apply();
    // 512 frames, multiplier 1: ring 4096; latency 600: pipeline 1200.
    EXPECT_EQ(open(), 120);
    EXPECT_EQ(list.loadedIndex, 1);
    EXPECT_EQ(fake.initCalls, 0);
    EXPECT_EQ(other.initCalls, 1);
    EXPECT_EQ(other.rate, 44100.0);
    EXPECT_EQ(dev->ring.frames, 4096);
    EXPECT_EQ(dev->counters.pipelineFrames, 1200);
    ASSERT_EQ(other.infos.size(), 2u);
    EXPECT_EQ(other.infos[0].channelNum, 2);
    EXPECT_EQ(other.infos[1].channelNum, 3);
    EXPECT_EQ(other.bufferSizeCreated, 512);
    EXPECT_EQ(other.monitor.output, 2);
    EXPECT_EQ(other.monitor.state, 1);
    EXPECT_EQ(other.monitor.gain, 0x20000000);
    // Half-buffers start silent, and the driver is not started by an open.
    for (const auto& h : other.halves) {
        EXPECT_EQ(std::count(h.begin(), h.end(), 0), static_cast<long>(h.size()));
    }
    EXPECT_EQ(other.startCalls, 0);
}

TEST_F(DeviceTest, ResamplingEnabledAtTheSameRateAddsEightThousand) {
    settings.resampleEnable = true;
    settings.resampleRate = 44100;
    apply();
    EXPECT_EQ(open(), 8120);
    EXPECT_FALSE(dev->link.resampler);
}

TEST_F(DeviceTest, RefusedOpensAnswerMinusOneAndLeaveTheDeviceClosed) {
    struct Case {
        const char* name;
        std::int32_t rate, bits, channels;
        std::function<void(FakeDriver&, ipc::DeviceSettings&)> arrange;
    };
    const std::vector<Case> cases = {
        {"12 bits", 44100, 12, 2, {}},
        {"float 16", 44100, -16, 2, {}},
        {"rate 0", 0, 16, 2, {}},
        {"negative rate", -44100, 16, 2, {}},
        {"no channels", 44100, 16, 0, {}},
        {"more channels than the driver", 44100, 16, 9, {}},
        {"first channel past the end", 44100, 16, 2,
         [](FakeDriver&, ipc::DeviceSettings& s) { s.firstChannel = 7; }},
        {"negative first channel", 44100, 16, 2,
         [](FakeDriver&, ipc::DeviceSettings& s) { s.firstChannel = -1; }},
        {"rate refused", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.refusedRates.insert(44100); }},
        {"init fails", 44100, 16, 2, [](FakeDriver& d, ipc::DeviceSettings&) { d.initOk = false; }},
        {"unknown sample type", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.sampleType = 5; }},
        {"no driver at index", 44100, 16, 2,
         [](FakeDriver&, ipc::DeviceSettings& s) { s.driverIndex = 2; }},
        {"ring too large", 44100, 16, 2,
         [](FakeDriver&, ipc::DeviceSettings& s) { s.bufferMultiplier = 0x7FFFFFFF; }},
        {"negative multiplier", 44100, 16, 2,
         [](FakeDriver&, ipc::DeviceSettings& s) { s.bufferMultiplier = -1; }},
        {"no buffer size", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.preferred = 0; }},
        {"driver hands out no buffers", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.handOutNullBuffers = true; }},
        {"absurd output count", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.outputs = 0x7FFFFFFF; }},
        {"absurd buffer size", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings& s) {
             d.preferred = 0x7FFFFFFF;
             s.bufferMultiplier = 0;
         }},
        {"absurd buffer size with the largest multiplier", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings& s) {
             d.preferred = std::numeric_limits<AsioLong>::max() / 2;
             s.bufferMultiplier = 0x7FFFFFFF;
         }},
        {"negative latency", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.outputLatency = -1; }},
        {"absurd latency", 44100, 16, 2,
         [](FakeDriver& d, ipc::DeviceSettings&) { d.outputLatency = 0x7FFFFFFF; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        FakeDriverSource drivers;
        drivers.drivers[0] = &driver;
        ipc::DeviceSettings s;
        s.bufferMultiplier = 1;
        if (c.arrange) {
            c.arrange(driver, s);
        }
        OutputDevice* d = device::createOutputDevice(drivers.source(), clk.clock);
        device::applySettings(*d, s);
        EXPECT_EQ(device::openOutput(*d, c.rate, c.bits, c.channels), -1);
        EXPECT_FALSE(d->life.streamOpen);
        EXPECT_EQ(drivers.loadedIndex, -1);
        const auto b = frames(1, 4);
        EXPECT_EQ(device::writeStream(*d, b.data(), 16), 1);
        EXPECT_EQ(device::writableBytes(*d), 0);
        EXPECT_EQ(device::outputPositionMs(*d), 0);
        EXPECT_EQ(device::writtenPositionMs(*d), 0);
        device::destroyOutputDevice(d);
    }
}

TEST_F(DeviceTest, FailedInitAsksForTheErrorAndUnloads) {
    fake.initOk = false;
    EXPECT_EQ(open(), -1);
    EXPECT_EQ(fake.errorMessageCalls, 1);
    EXPECT_EQ(list.unloads, 1);
}

TEST_F(DeviceTest, IdenticalReopenKeepsPlayingAndCountsNothingQueued) {
    smallRings();
    open();
    writeFrames(1, 12);
    fake.bufferSwitch(0);
    ASSERT_TRUE(fake.started);
    EXPECT_GT(open(), 0);
    EXPECT_EQ(fake.stopCalls, 0);
    EXPECT_EQ(fake.createCalls, 1);
    EXPECT_EQ(dev->ring.queuedFrames, 8);
    EXPECT_EQ(dev->ring.uncountedFrames, 8);
    EXPECT_EQ(dev->counters.framesPlayed, 0);
    EXPECT_EQ(dev->counters.bytesWritten, 0);
    // The queue plays on without counting.
    fake.bufferSwitch(1);
    EXPECT_EQ(out(0, 1, 0), 5);
    EXPECT_EQ(dev->counters.framesPlayed, 0);
}

TEST_F(DeviceTest, FormatOnlyChangeKeepsTheDriverAndTheQueue) {
    smallRings();
    open();
    writeFrames(1, 12);
    fake.bufferSwitch(0);
    EXPECT_GT(open(44100, -32, 2), 0);
    EXPECT_EQ(fake.stopCalls, 0);
    EXPECT_EQ(fake.createCalls, 1);
    EXPECT_EQ(dev->ring.queuedFrames, 8);
    // New writes go through the float converter: 0.5 -> 16384.
    const float f[2] = {0.5f, -0.5f};
    device::writeStream(*dev, reinterpret_cast<const std::uint8_t*>(f), 8);
    fake.bufferSwitch(1);
    fake.bufferSwitch(0);
    fake.bufferSwitch(1);
    EXPECT_EQ(out(0, 1, 0), 16384);
    EXPECT_EQ(out(1, 1, 0), -16384);
}

TEST_F(DeviceTest, RateChangeStopsEmptiesAndSetsTheRateAgain) {
    smallRings();
    open();
    writeFrames(1, 12);
    fake.bufferSwitch(0);
    EXPECT_GT(open(48000, 16, 2), 0);
    EXPECT_EQ(fake.stopCalls, 1);
    EXPECT_EQ(fake.rate, 48000.0);
    EXPECT_EQ(fake.setRateCalls, 2);
    EXPECT_EQ(fake.createCalls, 1);
    EXPECT_EQ(dev->ring.queuedFrames, 0);
    EXPECT_EQ(dev->ring.uncountedFrames, 0);
    EXPECT_TRUE(dev->life.driverStopped);
}

TEST_F(DeviceTest, ChannelChangeRecreatesBuffersAndMonoToStereoDuplicates) {
    smallRings();
    settings.monoToStereo = true;
    apply();
    open(44100, 16, 2);
    // A mono stream still needs two driver channels: no new buffers.
    open(44100, 16, 1);
    EXPECT_EQ(fake.createCalls, 1);
    const std::int16_t mono[8] = {10, 11, 12, 13, 14, 15, 16, 17};
    device::writeStream(*dev, reinterpret_cast<const std::uint8_t*>(mono), 16);
    device::isPlaying(*dev);
    fake.bufferSwitch(0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(out(0, 0, i), 10 + i);
        EXPECT_EQ(out(1, 0, i), 10 + i);
    }
    // Four channels: stop, dispose, create.
    open(44100, 16, 4);
    EXPECT_EQ(fake.stopCalls, 1);
    EXPECT_EQ(fake.disposeCalls, 1);
    EXPECT_EQ(fake.createCalls, 2);
    EXPECT_EQ(fake.infos.size(), 4u);
}

// ---------------------------------------------------------------- rings

TEST_F(DeviceTest, RingsWrapAndEveryFrameComesOutOnceInOrder) {
    smallRings();
    open();
    int next = 1;
    int expect = 1;
    int index = 0;
    for (int round = 0; round < 20; ++round) {
        // Odd write sizes, split inside frames, so the carry is exercised.
        auto b = frames(next, 3);
        const std::size_t cut = 1 + static_cast<std::size_t>(round % 11);
        device::writeStream(*dev, b.data(), static_cast<std::int32_t>(cut));
        device::writeStream(*dev, b.data() + cut, static_cast<std::int32_t>(b.size() - cut));
        next += 3;
        if (!fake.started) {
            device::isPlaying(*dev);
        }
        while (dev->ring.queuedFrames >= 4) {
            fake.bufferSwitch(index);
            for (int f = 0; f < 4; ++f, ++expect) {
                ASSERT_EQ(out(0, index, f), expect);
                ASSERT_EQ(out(1, index, f), -expect);
            }
            index ^= 1;
        }
    }
    EXPECT_EQ(dev->counters.framesPlayed, expect - 1);
    EXPECT_GT(expect, 50);
}

TEST_F(DeviceTest, FillEndingAtTheRingEndLeavesTheReadIndexAtZero) {
    smallRings();
    open();
    writeFrames(1, 16);
    ASSERT_TRUE(fake.started);
    for (int i = 0; i < 4; ++i) {
        fake.bufferSwitch(i & 1);
    }
    EXPECT_EQ(dev->ring.readIndex, 0);
    EXPECT_EQ(dev->ring.writeIndex, 0);
    EXPECT_EQ(out(0, 1, 3), 16);
}

TEST_F(DeviceTest, UnderrunPadsWithSilenceAndAnEmptySwitchChangesNoCounter) {
    smallRings();
    open();
    writeFrames(1, 16);
    for (int i = 0; i < 3; ++i) {
        fake.bufferSwitch(i & 1);
    }
    device::seekTo(*dev, 0);
    device::isPlaying(*dev); // starts with an empty ring
    writeFrames(100, 2);
    fake.bufferSwitch(1);
    EXPECT_EQ(out(0, 1, 0), 100);
    EXPECT_EQ(out(0, 1, 1), 101);
    EXPECT_EQ(out(0, 1, 2), 0);
    EXPECT_EQ(out(1, 1, 3), 0);
    const auto played = dev->counters.framesPlayed.load();
    const auto stamp = dev->counters.lastSwitchTime.load();
    clk.advanceMs(10);
    fake.bufferSwitch(0);
    EXPECT_EQ(fake.half(0, 0), std::vector<std::uint8_t>(8, 0));
    EXPECT_EQ(dev->counters.framesPlayed, played);
    EXPECT_EQ(dev->counters.lastSwitchTime, stamp);
}

TEST_F(DeviceTest, FramesOfThePreviousStreamAreNotCounted) {
    open(); // half-buffers of 512
    writeFrames(1, 1000);
    device::isPlaying(*dev);
    ASSERT_EQ(open(), 120);
    ASSERT_EQ(dev->ring.uncountedFrames, 1000);
    fake.bufferSwitch(0);
    EXPECT_EQ(dev->counters.framesPlayed, 0);
    EXPECT_EQ(dev->ring.uncountedFrames, 488);
    writeFrames(1, 300);
    fake.bufferSwitch(1);
    // 512 taken with 488 uncounted: 24 of them count.
    EXPECT_EQ(dev->counters.framesPlayed, 24);
    fake.bufferSwitch(0);
    EXPECT_EQ(dev->counters.framesPlayed, 24 + 276);
    // The 512 / 300 case.
    dev->ring.uncountedFrames = 300;
    dev->counters.framesPlayed = 0;
    writeFrames(1, 512);
    fake.bufferSwitch(1);
    EXPECT_EQ(dev->counters.framesPlayed, 212);
}

TEST_F(DeviceTest, RingFeedMatchesOneSampleAtATime) {
    // Every channel a different driver type; runs must equal single calls.
    fake.typeByChannel = {ASIOSTInt24LSB, ASIOSTInt32MSB, ASIOSTFloat64LSB};
    fake.preferred = 8;
    settings.bufferMultiplier = 0;
    apply();
    ASSERT_GT(open(44100, -32, 3), 0);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.2f, 1.2f);
    std::vector<float> s(3 * 29);
    for (float& v : s) {
        v = u(rng);
    }
    // Start near the ring end so the runs wrap.
    dev->ring.writeIndex = dev->ring.readIndex = 20;
    device::writeStream(*dev, reinterpret_cast<const std::uint8_t*>(s.data()),
                        static_cast<std::int32_t>(s.size() * 4));
    for (std::uint32_t c = 0; c < 3; ++c) {
        const auto& ring = dev->ring.channelRings[c];
        const int bytes = ring.bytesPerSample;
        for (int f = 0; f < 29; ++f) {
            std::uint8_t one[8] = {};
            ring.converter->one(reinterpret_cast<const std::uint8_t*>(&s[f * 3 + c]), one);
            const int slot = (20 + f) % dev->ring.frames;
            ASSERT_EQ(std::memcmp(one, ring.ring.get() + slot * bytes, bytes), 0)
                << "channel " << c << " frame " << f;
        }
    }
}

// ---------------------------------------------------------------- start rule

TEST_F(DeviceTest, DriverStartsOnceFreeSpaceFallsBelowTwiceTheWrite) {
    smallRings(); // 16 frames of 4 bytes: 64 bytes
    open();
    writeFrames(1, 4); // 48 bytes free >= 32
    EXPECT_EQ(fake.startCalls, 0);
    writeFrames(5, 4); // 32 free >= 32
    EXPECT_EQ(fake.startCalls, 0);
    writeFrames(9, 5); // 12 free < 40
    EXPECT_EQ(fake.startCalls, 1);
    EXPECT_FALSE(dev->life.driverStopped);
    // A drain call starts a stopped driver at once.
    device::seekTo(*dev, 0);
    writeFrames(1, 1);
    EXPECT_EQ(fake.startCalls, 1);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    EXPECT_EQ(fake.startCalls, 2);
}

// ---------------------------------------------------------------- positions

TEST_F(DeviceTest, PlayedPositionSubtractsTheUnplayedPipeline) {
    open(48000);
    dev->counters.pipelineFrames = 1024;
    writeFrames(1, 512);
    device::isPlaying(*dev);
    fake.bufferSwitch(0);
    dev->counters.framesPlayed = 96000;
    clk.advanceMs(5);
    EXPECT_EQ(device::outputPositionMs(*dev), 1983);
    // Long after the switch nothing is pending.
    clk.advanceMs(1000);
    EXPECT_EQ(device::outputPositionMs(*dev), 2000);
    // Right after a start the correction exceeds what was played.
    dev->counters.framesPlayed = 100;
    dev->counters.lastSwitchTime = clk.now.load();
    EXPECT_EQ(device::outputPositionMs(*dev), 0);
}

TEST_F(DeviceTest, WrittenPositionAndItsStartAtZero) {
    open();
    EXPECT_EQ(device::writtenPositionMs(*dev), 0);
    dev->counters.bytesWritten = 1764000;
    EXPECT_EQ(device::writtenPositionMs(*dev), 10000);
}

TEST_F(DeviceTest, PositionFreezesWhilePausedAndASecondPauseChangesNothing) {
    open(48000);
    writeFrames(1, 3000);
    fake.bufferSwitch(0);
    fake.bufferSwitch(1);
    clk.advanceMs(3);
    EXPECT_EQ(device::setPause(*dev, 1), 0);
    const auto frozen = device::outputPositionMs(*dev);
    clk.advanceMs(500);
    EXPECT_EQ(device::outputPositionMs(*dev), frozen);
    EXPECT_EQ(device::setPause(*dev, 1), 1);
    clk.advanceMs(500);
    EXPECT_EQ(device::outputPositionMs(*dev), frozen);
    EXPECT_EQ(fake.stopCalls, 1);
    EXPECT_EQ(device::writableBytes(*dev), 0);
    // A late callback after stop takes nothing.
    const auto queued = dev->ring.queuedFrames.load();
    fake.bufferSwitch(0);
    EXPECT_EQ(dev->ring.queuedFrames, queued);
    EXPECT_EQ(device::setPause(*dev, 0), 1);
    EXPECT_EQ(fake.startCalls, 2);
    // Resuming when nothing is paused starts again and answers 0.
    EXPECT_EQ(device::setPause(*dev, 0), 0);
    EXPECT_EQ(fake.startCalls, 3);
}

TEST_F(DeviceTest, StoppedAndSeekedPositionsHaveNoPipelineCorrection) {
    open(44100);
    writeFrames(1, 2000);
    device::isPlaying(*dev);
    fake.bufferSwitch(0);
    device::seekTo(*dev, 1500);
    EXPECT_TRUE(dev->life.driverStopped);
    EXPECT_EQ(dev->counters.framesPlayed, 66150);
    EXPECT_EQ(dev->counters.bytesWritten, 264600);
    EXPECT_EQ(device::outputPositionMs(*dev), 1500);
    EXPECT_EQ(device::writtenPositionMs(*dev), 1500);
    EXPECT_EQ(dev->ring.queuedFrames, 0);
    // Output rate apart from the client's: each side uses its own.
    dev->format.outputRate = 48000;
    device::seekTo(*dev, 1500);
    EXPECT_EQ(dev->counters.framesPlayed, 72000);
    EXPECT_EQ(dev->counters.bytesWritten, 264600);
    device::seekTo(*dev, -20);
    EXPECT_EQ(device::outputPositionMs(*dev), 0);
}

TEST_F(DeviceTest, IsPlayingUntilQueueAndLatencyHavePassed) {
    smallRings();
    fake.outputLatency = 48; // pipeline 96 frames, about 2 ms at 44100
    open();
    writeFrames(1, 6);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    fake.bufferSwitch(0);
    fake.bufferSwitch(1);
    EXPECT_EQ(dev->ring.queuedFrames, 0);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    clk.advanceMs(3);
    EXPECT_EQ(device::isPlaying(*dev), 0);
}

// A drain query places what fits and answers: with frames held back and a
// driver that takes nothing, it must not wait out the stall limit.
TEST_F(DeviceTest, ADrainQueryNeverWaitsForTheDriverAndTheHeldFramesStillPlay) {
    smallRings();
    open();
    device::setPause(*dev, 1);
    ASSERT_EQ(writeFrames(1, 40), 0); // 16 in the rings, 24 held back
    device::setPause(*dev, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device::isPlaying(*dev), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    int expect = 1;
    int index = 0;
    for (int calls = 0; device::isPlaying(*dev) != 0; ++calls) {
        ASSERT_LT(calls, 100);
        fake.bufferSwitch(index);
        for (int f = 0; f < 4 && expect <= 40; ++f, ++expect) {
            ASSERT_EQ(out(0, index, f), expect);
        }
        index ^= 1;
        clk.advanceMs(5);
    }
    EXPECT_EQ(expect, 41);
}

// ---------------------------------------------------------------- writes

TEST_F(DeviceTest, RefusedWriteCountsTouchNothing) {
    smallRings();
    open();
    std::vector<std::uint8_t> b(16, 1);
    EXPECT_EQ(device::writeStream(*dev, b.data(), -4), 1);
    EXPECT_EQ(device::writeStream(*dev, b.data(), static_cast<std::int32_t>(ipc::kPayloadSize + 1)),
              1);
    EXPECT_EQ(dev->ring.queuedFrames, 0);
    EXPECT_EQ(dev->counters.bytesWritten, 0);
    EXPECT_EQ(device::writeStream(*dev, b.data(), 0), 0);
}

TEST_F(DeviceTest, WritableSpaceSubtractsCarriedBytes) {
    smallRings();
    open();
    writeFrames(1, 13);
    const auto b = frames(14, 1);
    device::writeStream(*dev, b.data(), 2);
    EXPECT_EQ(device::writableBytes(*dev), 10); // 3 frames free, 2 bytes carried
}

TEST_F(DeviceTest, WriteThatCannotFitWhilePausedReturnsAndLosesNothing) {
    smallRings();
    open();
    writeFrames(1, 12);
    fake.bufferSwitch(0); // frames 1-4 played
    device::setPause(*dev, 1);
    // 8 queued, 8 free: 40 frames cannot fit and nothing drains.
    EXPECT_EQ(writeFrames(13, 40), 0);
    EXPECT_EQ(dev->ring.queuedFrames, 16);
    EXPECT_EQ(device::writableBytes(*dev), 0);
    // Held back already: a further write is refused, not lost.
    EXPECT_EQ(writeFrames(53, 2), 1);
    EXPECT_EQ(dev->counters.bytesWritten, 52 * 4);
    device::setPause(*dev, 0);
    // The client only polls the writable space; the held frames still come out.
    int expect = 5;
    int index = 1;
    for (int round = 0; round < 20 && expect <= 52; ++round) {
        // Ring of 16 holding frames expect..52 once the backlog is in.
        EXPECT_EQ(device::writableBytes(*dev), std::max(0, expect - 37) * 4) << "round " << round;
        fake.bufferSwitch(index);
        for (int f = 0; f < 4 && expect <= 52; ++f, ++expect) {
            ASSERT_EQ(out(0, index, f), expect);
        }
        index ^= 1;
    }
    EXPECT_EQ(expect, 53);
}

TEST_F(DeviceTest, PausedBeforeTheStartNeverStartsTheDriver) {
    smallRings();
    open();
    device::setPause(*dev, 1);
    writeFrames(1, 16);
    EXPECT_EQ(fake.startCalls, 0);
    device::setPause(*dev, 0);
    EXPECT_EQ(device::isPlaying(*dev), 1);
    EXPECT_EQ(fake.startCalls, 1);
}

TEST_F(DeviceTest, ReopenAfterPauseLetsTheDriverStartAgain) {
    smallRings();
    open();
    writeFrames(1, 16);
    device::setPause(*dev, 1);
    open();
    EXPECT_FALSE(dev->life.paused);
    device::isPlaying(*dev);
    EXPECT_EQ(fake.startCalls, 2);
}

// ---------------------------------------------------------------- closing

TEST_F(DeviceTest, CloseOutputPathsByKeepOpenMode) {
    // Outside keep-open mode: everything goes.
    open();
    device::closeOutput(*dev, false);
    EXPECT_TRUE(closed());
    EXPECT_EQ(fake.disposeCalls, 1);

    // Keep-open, output not kept: buffers go, the driver stays.
    settings.keepDriverOpen = true;
    apply();
    open();
    const int loads = list.loads;
    device::closeOutput(*dev, false);
    EXPECT_FALSE(dev->life.streamOpen);
    EXPECT_EQ(list.loadedIndex, 0);
    EXPECT_EQ(fake.disposeCalls, 2);
    open();
    EXPECT_EQ(list.loads, loads);
    EXPECT_EQ(fake.initCalls, 2);

    // Keep-open with the output kept: it goes on playing.
    writeFrames(1, 4000);
    device::closeOutput(*dev, true);
    EXPECT_TRUE(dev->life.streamOpen);
    EXPECT_TRUE(fake.started);
    fake.bufferSwitch(0);
    EXPECT_EQ(out(0, 0, 0), 1);
    EXPECT_EQ(device::isPlaying(*dev), 0); // keep-open answers at once
    device::closeDevice(*dev);
    EXPECT_TRUE(closed());
}

// ---------------------------------------------------------------- resets

TEST_F(DeviceTest, AsioMessageAnswers) {
    open();
    struct Row {
        AsioLong selector, value, answer;
    };
    for (const Row& r : std::vector<Row>{{1, 1, 0},
                                         {1, 2, 1},
                                         {1, 8, 1},
                                         {1, 9, 0},
                                         {1, 10, 1},
                                         {1, 11, 0},
                                         {2, 0, 2},
                                         {10, 0, 1},
                                         {7, 0, 0},
                                         {15, 0, 0}}) {
        EXPECT_EQ(fake.message(r.selector, r.value), r.answer) << r.selector << "/" << r.value;
    }
    EXPECT_FALSE(dev->life.resetRequested);
    for (AsioLong selector : {3, 4}) {
        EXPECT_EQ(fake.message(selector), 1);
        EXPECT_TRUE(dev->life.resetRequested.exchange(false));
    }
    // New latencies need no re-open, only a fresh look.
    EXPECT_EQ(fake.message(6), 1);
    EXPECT_FALSE(dev->life.resetRequested);
    EXPECT_TRUE(dev->life.latencyChanged);
}

// Plays `switches` half-buffers of 4 frames and checks they carry the counter
// from `first` on, in order.
void expectCounter(DeviceTest& t, int& first, int switches) {
    for (int i = 0; i < switches; ++i) {
        const int index = i & 1;
        t.fake.bufferSwitch(index);
        for (int f = 0; f < 4; ++f, ++first) {
            ASSERT_EQ(t.out(0, index, f), first) << "switch " << i << " frame " << f;
            ASSERT_EQ(t.out(1, index, f), -first);
        }
    }
}

TEST_F(DeviceTest, ResetDuringAStreamReopensAtTheNextQueryAndKeepsEveryFrame) {
    smallRings();
    open();
    writeFrames(1, 12);
    const auto carry = frames(13, 1);
    device::writeStream(*dev, carry.data(), 1);
    fake.bufferSwitch(0);
    fake.message(kAsioResetRequest);
    // Nothing closes inside the callback.
    EXPECT_TRUE(dev->life.streamOpen);
    EXPECT_FALSE(device::settleResetRequest(*dev));
    EXPECT_TRUE(dev->life.resetPending);
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(fake.initCalls, 2);
    EXPECT_EQ(dev->counters.bytesWritten, 49);
    // Played counts what the old driver was handed, nothing more.
    EXPECT_EQ(dev->counters.framesPlayed, 4);
    EXPECT_FALSE(dev->life.resetPending);
    // The driver was playing: it plays again at once, from the first frame it
    // had not been handed, and the carried byte still completes its frame.
    EXPECT_TRUE(fake.started);
    EXPECT_EQ(dev->ring.queuedFrames, 8);
    device::writeStream(*dev, carry.data() + 1, 3);
    writeFrames(14, 3);
    device::isPlaying(*dev);
    int next = 5;
    expectCounter(*this, next, 3);
    EXPECT_EQ(dev->counters.framesPlayed, 16);
}

TEST_F(DeviceTest, WriteWaitingForRoomGivesWayToAReset) {
    smallRings();
    open();
    writeFrames(1, 12);
    // The driver asks for a reset and calls back no more: the write must not
    // wait for room, and what it could not place plays after the re-open.
    fake.message(kAsioResetRequest);
    EXPECT_EQ(writeFrames(13, 20), 0);
    EXPECT_EQ(dev->ring.queuedFrames, 16);
    EXPECT_EQ(device::writableBytes(*dev), 0);
    EXPECT_EQ(fake.initCalls, 2);
    EXPECT_EQ(dev->ring.queuedFrames, 16);
    EXPECT_TRUE(fake.started);
    // Nothing was handed to the old driver, so nothing counts as played, and
    // the written position holds every byte accepted, once.
    EXPECT_EQ(dev->counters.framesPlayed, 0);
    EXPECT_EQ(dev->counters.bytesWritten, 32 * 4);
    int next = 1;
    expectCounter(*this, next, 4);
    EXPECT_EQ(device::writableBytes(*dev), 0); // the held frames fill the ring
    EXPECT_TRUE(dev->held.pending.empty());
    expectCounter(*this, next, 4);
    EXPECT_EQ(next, 33);
    EXPECT_EQ(dev->counters.framesPlayed, 32);
}

TEST_F(DeviceTest, ResetKeepsTheAudioWhenBufferSizeRingAndSampleTypeChange) {
    smallRings();
    open();
    writeFrames(1, 16);
    fake.bufferSwitch(0);
    // The driver comes back with half-buffers of 8 (rings of 32) holding
    // 32-bit samples, and asks for the re-open with a buffer-size change.
    fake.preferred = 8;
    fake.sampleType = ASIOSTInt32LSB;
    fake.message(kAsioBufferSizeChange);
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(fake.initCalls, 2);
    EXPECT_EQ(fake.bufferSizeCreated, 8);
    writeFrames(17, 12);
    for (int first = 5, i = 0; i < 3; ++i) {
        fake.bufferSwitch(i & 1);
        std::vector<std::int32_t> left(8);
        std::memcpy(left.data(), fake.half(0, i & 1).data(), 32);
        for (int f = 0; f < 8; ++f, ++first) {
            ASSERT_EQ(left[static_cast<std::size_t>(f)], first * 65536) << i << "/" << f;
        }
    }
    EXPECT_EQ(dev->counters.framesPlayed, 4 + 24);
}

TEST_F(DeviceTest, ResetWhilePausedStaysPausedWithThePositionFrozen) {
    // Half-buffers of 64 frames and no pipeline: one switch is 1 ms played.
    fake.preferred = 64;
    fake.outputLatency = 0;
    settings.bufferMultiplier = 0;
    apply();
    open();
    writeFrames(1, 256);
    fake.bufferSwitch(0);
    clk.advanceMs(1);
    EXPECT_EQ(device::setPause(*dev, 1), 0);
    EXPECT_EQ(device::outputPositionMs(*dev), 1);
    device::handleResetRequest(*dev);
    EXPECT_EQ(device::writableBytes(*dev), 0);
    EXPECT_EQ(fake.initCalls, 2);
    EXPECT_FALSE(fake.started);
    clk.advanceMs(50);
    EXPECT_EQ(device::outputPositionMs(*dev), 1);
    EXPECT_EQ(device::writtenPositionMs(*dev), 5); // 256 frames at 44.1 kHz
    EXPECT_EQ(device::writableBytes(*dev), 0);
    // The resume answers that it was paused and starts the driver again,
    // which goes on from the first frame it had not been handed.
    EXPECT_EQ(device::setPause(*dev, 0), 1);
    EXPECT_TRUE(fake.started);
    fake.bufferSwitch(1);
    EXPECT_EQ(out(0, 1, 0), 65);
    EXPECT_EQ(out(1, 1, 63), -128);
    EXPECT_EQ(dev->counters.framesPlayed, 128);
}

TEST_F(DeviceTest, ResetAskedForDuringTheOpenIsSettledByIt) {
    smallRings();
    // A driver that asks for a reset from inside every createBuffers.
    fake.onCreate = [this] { fake.message(kAsioResetRequest); };
    open();
    EXPECT_FALSE(dev->life.resetPending);
    writeFrames(1, 16);
    EXPECT_GT(device::isPlaying(*dev), 0);
    EXPECT_EQ(device::writableBytes(*dev), 0);
    EXPECT_EQ(fake.initCalls, 1);
    int next = 1;
    expectCounter(*this, next, 2);
    EXPECT_GT(device::writableBytes(*dev), 0);
    EXPECT_EQ(fake.initCalls, 1);
}

TEST_F(DeviceTest, LatencyChangeRereadsTheLatenciesWithoutAReopen) {
    smallRings();
    EXPECT_EQ(open(), platform::mulDiv(16 + 1200, 1000, 44100));
    writeFrames(1, 16);
    fake.bufferSwitch(0);
    fake.outputLatency = 100;
    fake.message(kAsioLatenciesChanged);
    EXPECT_FALSE(dev->life.resetRequested);
    device::writableBytes(*dev);
    EXPECT_EQ(dev->counters.pipelineFrames, 200);
    EXPECT_EQ(fake.initCalls, 1);
    EXPECT_EQ(fake.stopCalls, 0);
    int next = 5;
    expectCounter(*this, next, 3);
    // The open's answer uses the new latency too.
    EXPECT_EQ(open(), platform::mulDiv(16 + 200, 1000, 44100));
}

TEST_F(DeviceTest, SeekDropsWhatAReopenTookBack) {
    smallRings();
    open();
    writeFrames(1, 16);
    // Half-buffers of 2 after the reset: rings of 8 cannot take back all 16
    // frames, and a seek drops the rest with the rings.
    fake.preferred = 2;
    fake.message(kAsioResetRequest);
    EXPECT_EQ(device::writableBytes(*dev), 0);
    EXPECT_EQ(dev->ring.frames, 8);
    EXPECT_FALSE(dev->held.replay.empty());
    device::seekTo(*dev, 0);
    EXPECT_TRUE(dev->held.replay.empty());
    EXPECT_EQ(dev->ring.queuedFrames, 0);
    writeFrames(100, 4);
    device::isPlaying(*dev);
    fake.bufferSwitch(0);
    EXPECT_EQ(out(0, 0, 0), 100);
}

TEST_F(DeviceTest, HeldBytesNeverPassOnePayload) {
    smallRings();
    open();
    writeFrames(1, 16);
    fake.message(kAsioResetRequest);
    // With a reset pending nothing is waited for; a client that writes
    // without asking for room has its bytes held, up to one payload.
    const std::int32_t most = static_cast<std::int32_t>(ipc::kPayloadSize / 4 * 4);
    std::vector<std::uint8_t> big(static_cast<std::size_t>(most), 1);
    EXPECT_EQ(device::writeStream(*dev, big.data(), most), 0);
    const std::size_t held = dev->held.pending.size();
    EXPECT_EQ(held, big.size());
    EXPECT_EQ(device::writeStream(*dev, big.data(), 4), 1);
    EXPECT_EQ(dev->held.pending.size(), held);
    EXPECT_EQ(dev->counters.bytesWritten, 64 + most);
    // A part frame on top of a full payload of whole frames is no more whole frames.
    EXPECT_EQ(device::writeStream(*dev, big.data(), 3), 0);
}

TEST_F(DeviceTest, ResetBetweenStreamsInKeepOpenModeUnloadsAtOnce) {
    settings.keepDriverOpen = true;
    apply();
    open();
    device::closeOutput(*dev, false);
    ASSERT_EQ(list.loadedIndex, 0);
    device::handleResetRequest(*dev);
    EXPECT_TRUE(device::settleResetRequest(*dev));
    EXPECT_EQ(list.loadedIndex, -1);
    EXPECT_FALSE(device::settleResetRequest(*dev));
    // And the same request while a stream is open only marks it.
    open();
    device::handleResetRequest(*dev);
    EXPECT_FALSE(device::settleResetRequest(*dev));
    EXPECT_TRUE(dev->life.resetPending);
    EXPECT_EQ(list.loadedIndex, 0);
}

TEST_F(DeviceTest, FailedReopenAfterResetNotifiesTheClientWindow) {
    const platform::WindowId window = platform::createMessageWindow();
    ASSERT_NE(window, 0u);
    settings.notifyWindow = window;
    apply();
    settings.notifyWindow = 0; // a later zero keeps the window
    apply();
    open();
    writeFrames(1, 100);
    device::handleResetRequest(*dev);
    fake.initOk = false;
    EXPECT_EQ(device::writableBytes(*dev), 0);
    EXPECT_TRUE(closed());
    EXPECT_FALSE(dev->life.resetPending);
    platform::WindowMessage m{};
    ASSERT_TRUE(platform::receiveWindowMessage(window, 2000, &m));
    EXPECT_EQ(m.message, platform::kWmCommand);
    EXPECT_EQ(m.wParam, ipc::kResetFailedCommandId);
    EXPECT_EQ(m.lParam, 0);
    EXPECT_EQ(writeFrames(1, 1), 1);
    platform::destroyMessageWindow(window);
}

TEST_F(DeviceTest, TimerPeriodRaisedOncePerStreamAndGivenBackAtEveryClose) {
    open();
    open(48000); // a second open of the same driver asks for nothing more
    EXPECT_TRUE(dev->life.timerRaised);
    device::closeOutput(*dev, false);
    EXPECT_FALSE(dev->life.timerRaised);
    fake.refusedRates = {44100.0};
    EXPECT_EQ(open(), -1);
    EXPECT_FALSE(dev->life.timerRaised);
}

TEST_F(DeviceTest, PrioritiesRaisedAtSetUpAndRestoredAtClose) {
    settings.processPriority = 1;
    settings.threadPriority = 3;
    apply();
    open();
    EXPECT_EQ(platform::processPriority(), platform::ProcessPriority::High);
    EXPECT_EQ(platform::currentThreadPriority(), platform::kPriorityTimeCritical);
    device::closeDevice(*dev);
    EXPECT_EQ(platform::processPriority(), platform::ProcessPriority::Normal);
    EXPECT_EQ(platform::currentThreadPriority(), platform::kPriorityNormal);
}

TEST_F(DeviceTest, OutputReadyFollowsTheProbe) {
    smallRings();
    open();
    writeFrames(1, 16);
    const int probes = fake.outputReadyCalls;
    fake.bufferSwitch(0);
    EXPECT_EQ(fake.outputReadyCalls, probes + 1);
    device::closeDevice(*dev);
    fake.outputReadyAnswer = ASE_NotPresent;
    open();
    writeFrames(1, 16);
    const int after = fake.outputReadyCalls;
    fake.bufferSwitch(0);
    EXPECT_EQ(fake.outputReadyCalls, after);
}

} // namespace
} // namespace quillon::test
