// The device's invariant check: silent through every legal state of the
// lifecycle table, and naming each kind of broken state a fault could leave.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/device_state.h"
#include "device/fake_driver.h"
#include "device/invariants.h"
#include "ipc/shared_block.h"

namespace quillon::test {
namespace {

using device::brokenInvariant;

class Invariants : public ::testing::Test {
public:
    FakeDriver fake;
    FakeDriverSource list;
    FakeClock clk;
    ipc::DeviceSettings settings;
    device::OutputDevice* dev = nullptr;

    void SetUp() override {
        list.drivers[0] = &fake;
        fake.preferred = 4; // rings of 16 frames
        settings.keepDriverOpen = true;
        dev = device::createOutputDevice(list.source(), clk.clock);
        device::setClockOverride(*dev, FakeClock::read, &clk);
        device::applySettings(*dev, settings);
    }
    void TearDown() override { device::destroyOutputDevice(dev); }

    std::int32_t write(int frames) {
        const std::vector<std::uint8_t> bytes(static_cast<std::size_t>(frames) * 4, 1);
        return device::writeStream(*dev, bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }
    std::string broken() {
        const char* rule = brokenInvariant(*dev);
        return rule != nullptr ? rule : "";
    }
};

TEST_F(Invariants, EveryStateOfTheLifecycleTableHolds) {
    EXPECT_EQ(broken(), "") << "closed";
    ASSERT_GE(device::openOutput(*dev, 44100, 16, 2), 0);
    EXPECT_EQ(broken(), "") << "open, not started";
    EXPECT_EQ(device::setPause(*dev, 1), 0);
    EXPECT_EQ(write(6), 0);
    EXPECT_FALSE(dev->driverRunning);
    EXPECT_EQ(broken(), "") << "paused before the start";
    EXPECT_EQ(device::setPause(*dev, 0), 1);
    EXPECT_EQ(write(6), 0); // the start rule starts the driver
    ASSERT_TRUE(dev->driverRunning);
    fake.bufferSwitch(0);
    EXPECT_EQ(broken(), "") << "playing";
    EXPECT_EQ(device::setPause(*dev, 1), 0);
    EXPECT_EQ(write(10), 0); // partly held beside the full rings
    EXPECT_FALSE(dev->pending.empty());
    EXPECT_EQ(broken(), "") << "paused while playing";
    device::seekTo(*dev, 100);
    EXPECT_EQ(broken(), "") << "after a seek";
    EXPECT_EQ(write(16), 0);
    device::closeOutput(*dev, true);
    EXPECT_EQ(broken(), "") << "stream kept after close output";
    device::closeOutput(*dev, false);
    EXPECT_TRUE(dev->driverLoaded);
    EXPECT_EQ(broken(), "") << "driver kept";
    device::closeDevice(*dev);
    EXPECT_EQ(broken(), "") << "closed again";
}

TEST_F(Invariants, EachKindOfBrokenStateIsNamed) {
    ASSERT_GE(device::openOutput(*dev, 44100, 16, 2), 0);
    EXPECT_EQ(write(10), 0);
    ASSERT_TRUE(dev->driverRunning);
    ASSERT_EQ(broken(), "");
    device::OutputDevice& d = *dev;
    const std::int32_t ring = d.ringFrames;
    // Each fault is made, named by the check, and undone.
    struct Fault {
        const char* what;
        std::function<void()> make;
        std::function<void()> undo;
    };
    const auto& converter = d.channelRings[1].converter;
    const std::vector<Fault> faults = {
        {"read index past the ring", [&] { d.ringReadIndex = ring; }, [&] { d.ringReadIndex = 0; }},
        {"negative write index", [&] { d.ringWriteIndex = -1; }, [&] { d.ringWriteIndex = 10; }},
        {"one frame too many queued", [&] { d.queuedFrames = 11; }, [&] { d.queuedFrames = 10; }},
        {"more queued than the ring", [&] { d.queuedFrames = ring + 10; },
         [&] { d.queuedFrames = 10; }},
        {"more than a payload held", [&] { d.pending.assign(ipc::kPayloadSize + 4, 0); },
         [&] { d.pending.clear(); }},
        {"a partial frame replayed", [&] { d.replay.assign(6, 0); }, [&] { d.replay.clear(); }},
        {"a short feed copy", [&] { d.feedCopy.resize(4); },
         [&] { d.feedCopy.resize(static_cast<std::size_t>(ring) * 4); }},
        {"running while paused", [&] { d.paused = true; }, [&] { d.paused = false; }},
        {"running while stopped", [&] { d.driverStopped = true; },
         [&] { d.driverStopped = false; }},
        {"halves gone under a stream", [&] { d.halvesLive = false; }, [&] { d.halvesLive = true; }},
        {"a re-open left running", [&] { d.reopening = true; }, [&] { d.reopening = false; }},
        {"writes left aborting", [&] { d.abortWrites = true; }, [&] { d.abortWrites = false; }},
        {"a channel without converter", [&] { d.channelRings[1].converter = nullptr; },
         [&, saved = converter] { d.channelRings[1].converter = saved; }},
        {"a feed frame of another size", [&] { d.feedFrameBytes = 2; },
         [&] { d.feedFrameBytes = 4; }},
        {"stereo taken for duplicated mono", [&] { d.monoDuplicating = true; },
         [&] { d.monoDuplicating = false; }},
        {"a converter format without converter", [&] { d.resamplerInputRate = 44100; },
         [&] { d.resamplerInputRate = 0; }},
        {"a copy fresher than the frames", [&] { d.copyFreshFrom = d.framesConverted + 1; },
         [&] { d.copyFreshFrom = 0; }},
    };
    for (const Fault& fault : faults) {
        fault.make();
        EXPECT_NE(broken(), "") << fault.what;
        fault.undo();
        ASSERT_EQ(broken(), "") << fault.what << ", undone";
    }
}

TEST_F(Invariants, AClosedDeviceHoldsNothingOfItsStream) {
    device::OutputDevice& d = *dev;
    d.pending.assign(3, 0);
    EXPECT_NE(broken(), "");
    d.pending.clear();
    d.activeChannels = 2;
    EXPECT_NE(broken(), "");
    d.activeChannels = 0;
    d.driverLoaded = true; // no driver object behind it
    EXPECT_NE(broken(), "");
    d.driverLoaded = false;
    // What may outlive a stream does not count: the next open clears it.
    d.paused = true;
    d.resetPending = true;
    d.outputOpen = true;
    EXPECT_EQ(broken(), "");
}

} // namespace
} // namespace quillon::test
