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
    EXPECT_FALSE(dev->life.driverRunning);
    EXPECT_EQ(broken(), "") << "paused before the start";
    EXPECT_EQ(device::setPause(*dev, 0), 1);
    EXPECT_EQ(write(6), 0); // the start rule starts the driver
    ASSERT_TRUE(dev->life.driverRunning);
    fake.bufferSwitch(0);
    EXPECT_EQ(broken(), "") << "playing";
    EXPECT_EQ(device::setPause(*dev, 1), 0);
    EXPECT_EQ(write(10), 0); // partly held beside the full rings
    EXPECT_FALSE(dev->held.pending.empty());
    EXPECT_EQ(broken(), "") << "paused while playing";
    device::seekTo(*dev, 100);
    EXPECT_EQ(broken(), "") << "after a seek";
    EXPECT_EQ(write(16), 0);
    device::closeOutput(*dev, true);
    EXPECT_EQ(broken(), "") << "stream kept after close output";
    device::closeOutput(*dev, false);
    EXPECT_TRUE(dev->life.driverLoaded);
    EXPECT_EQ(broken(), "") << "driver kept";
    device::closeDevice(*dev);
    EXPECT_EQ(broken(), "") << "closed again";
}

TEST_F(Invariants, EachKindOfBrokenStateIsNamed) {
    ASSERT_GE(device::openOutput(*dev, 44100, 16, 2), 0);
    EXPECT_EQ(write(10), 0);
    ASSERT_TRUE(dev->life.driverRunning);
    ASSERT_EQ(broken(), "");
    device::OutputDevice& d = *dev;
    const std::int32_t ring = d.ring.frames;
    // Each fault is made, named by the check, and undone.
    struct Fault {
        const char* what;
        std::function<void()> make;
        std::function<void()> undo;
    };
    const auto& converter = d.ring.channelRings[1].converter;
    const std::vector<Fault> faults = {
        {"read index past the ring", [&] { d.ring.readIndex = ring; },
         [&] { d.ring.readIndex = 0; }},
        {"negative write index", [&] { d.ring.writeIndex = -1; }, [&] { d.ring.writeIndex = 10; }},
        {"one frame too many queued", [&] { d.ring.queuedFrames = 11; },
         [&] { d.ring.queuedFrames = 10; }},
        {"more queued than the ring", [&] { d.ring.queuedFrames = ring + 10; },
         [&] { d.ring.queuedFrames = 10; }},
        {"more than a payload held", [&] { d.held.pending.assign(ipc::kPayloadSize + 4, 0); },
         [&] { d.held.pending.clear(); }},
        {"a partial frame replayed", [&] { d.held.replay.assign(6, 0); },
         [&] { d.held.replay.clear(); }},
        {"a short feed copy", [&] { d.held.feedCopy.resize(4); },
         [&] { d.held.feedCopy.resize(static_cast<std::size_t>(ring) * 4); }},
        {"running while paused", [&] { d.life.paused = true; }, [&] { d.life.paused = false; }},
        {"running while stopped", [&] { d.life.driverStopped = true; },
         [&] { d.life.driverStopped = false; }},
        {"halves gone under a stream", [&] { d.life.halvesLive = false; },
         [&] { d.life.halvesLive = true; }},
        {"a re-open left running", [&] { d.life.reopening = true; },
         [&] { d.life.reopening = false; }},
        {"writes left aborting", [&] { d.life.abortWrites = true; },
         [&] { d.life.abortWrites = false; }},
        {"a channel without converter", [&] { d.ring.channelRings[1].converter = nullptr; },
         [&, saved = converter] { d.ring.channelRings[1].converter = saved; }},
        {"a feed frame of another size", [&] { d.format.feedFrameBytes = 2; },
         [&] { d.format.feedFrameBytes = 4; }},
        {"stereo taken for duplicated mono", [&] { d.format.monoDuplicating = true; },
         [&] { d.format.monoDuplicating = false; }},
        {"a converter format without converter", [&] { d.link.inputRate = 44100; },
         [&] { d.link.inputRate = 0; }},
        {"a copy fresher than the frames",
         [&] { d.held.copyFreshFrom = d.held.framesConverted + 1; },
         [&] { d.held.copyFreshFrom = 0; }},
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
    d.held.pending.assign(3, 0);
    EXPECT_NE(broken(), "");
    d.held.pending.clear();
    d.ring.activeChannels = 2;
    EXPECT_NE(broken(), "");
    d.ring.activeChannels = 0;
    d.life.driverLoaded = true; // no driver object behind it
    EXPECT_NE(broken(), "");
    d.life.driverLoaded = false;
    // What may outlive a stream does not count: the next open clears it.
    d.life.paused = true;
    d.life.resetPending = true;
    d.life.outputOpen = true;
    EXPECT_EQ(broken(), "");
}

} // namespace
} // namespace quillon::test
