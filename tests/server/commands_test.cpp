// Command handling of both channels against a device with no stream open,
// driven straight through the block without a process.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/driver_list.h"
#include "device/fake_driver.h"
#include "device/output_device.h"
#include "ipc/shared_block.h"
#include "platform/clock.h"
#include "server/commands.h"

namespace ipc = quillon::ipc;
namespace device = quillon::device;
using quillon::server::handleMainCommand;
using quillon::server::handleRealTimeCommand;

namespace {

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        quillon::platform::chooseClock(clock);
        dev = device::createOutputDevice(nullptr, clock);
    }
    void TearDown() override { device::destroyOutputDevice(dev); }

    std::int32_t post(std::int32_t code, std::int32_t a1 = 0, std::int32_t a2 = 0,
                      std::int32_t a3 = 0, bool* quit = nullptr) {
        return postTo(*dev, code, a1, a2, a3, quit);
    }
    std::int32_t postTo(device::OutputDevice& target, std::int32_t code, std::int32_t a1 = 0,
                        std::int32_t a2 = 0, std::int32_t a3 = 0, bool* quit = nullptr) {
        ipc::storeI32(block.data(), ipc::kMainCommand, code);
        ipc::storeI32(block.data(), ipc::kMainArg1, a1);
        ipc::storeI32(block.data(), ipc::kMainArg2, a2);
        ipc::storeI32(block.data(), ipc::kMainArg3, a3);
        const bool q = handleMainCommand(target, block.data());
        if (quit != nullptr) {
            *quit = q;
        }
        return ipc::loadI32(block.data(), ipc::kMainCommand);
    }

    quillon::platform::Clock clock;
    device::OutputDevice* dev = nullptr;
    std::vector<std::uint8_t> block = std::vector<std::uint8_t>(ipc::kSharedBlockSize, 0);
};

TEST_F(Commands, UnknownMainCodesTouchOnlyTheCommandWord) {
    ipc::storeI32(block.data(), ipc::kRtCommand, 77);
    for (std::int32_t code : {0, 1, 3, 4, 12, 13, 100, -1, INT_MIN, INT_MAX}) {
        bool quit = true;
        post(code, 9, 9, 9, &quit);
        EXPECT_FALSE(quit) << code;
        EXPECT_EQ(ipc::loadI32(block.data(), ipc::kMainArg1), 9);
    }
    EXPECT_EQ(ipc::loadI32(block.data(), ipc::kRtCommand), 77);
}

TEST_F(Commands, QuitEndsTheLoopAndMayBeRepeated) {
    bool quit = false;
    post(ipc::kMainQuit, 0, 0, 0, &quit);
    EXPECT_TRUE(quit);
    // Closing an already closed device must be harmless (shutdown does it again).
    post(ipc::kMainQuit, 0, 0, 0, &quit);
    EXPECT_TRUE(quit);
}

// A hand-built list: the real-time thread reads nothing else of it.
struct FakeList {
    explicit FakeList(const std::vector<std::string>& names) {
        entries.resize(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            device::DriverEntry& e = entries[i];
            e.index = static_cast<std::int32_t>(i);
            std::snprintf(e.name, sizeof e.name, "%s", names[i].c_str());
            e.next = i + 1 < names.size() ? &entries[i + 1] : nullptr;
        }
        list.entries = entries.empty() ? nullptr : entries.data();
        list.count = static_cast<std::int32_t>(names.size());
        list.loadedIndex = -1;
    }
    std::vector<device::DriverEntry> entries;
    device::DriverList list{};
};

TEST_F(Commands, DriverCountAndNames) {
    const std::string name63(63, 'n');
    const std::string name64 = std::string(60, 'm') + "mmmm";
    FakeList drivers({"Virtual One", name63, name64});

    ipc::storeI32(block.data(), ipc::kRtCommand, ipc::kRtDriverCount);
    handleRealTimeCommand(&drivers.list, *dev, block.data());
    EXPECT_EQ(ipc::loadI32(block.data(), ipc::kRtCommand), 3);

    ipc::storeI32(block.data(), ipc::kRtCommand, ipc::kRtDriverCount);
    handleRealTimeCommand(nullptr, *dev, block.data());
    EXPECT_EQ(ipc::loadI32(block.data(), ipc::kRtCommand), 0);

    const std::vector<std::pair<std::int32_t, std::string>> names{
        {0, "Virtual One"}, {1, name63}, {2, std::string(60, 'm') + "..."}};
    for (const auto& [index, expected] : names) {
        ipc::storeI32(block.data(), ipc::kRtCommand, ipc::kRtDriverName);
        ipc::storeI32(block.data(), ipc::kRtArgs, index);
        handleRealTimeCommand(&drivers.list, *dev, block.data());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data() + ipc::kRtName)),
                  expected);
    }
}

TEST_F(Commands, RealTimeCodesWithoutAnAnswerLeaveTheBlockUntouched) {
    FakeList drivers({"A", "B"});
    for (std::size_t i = 0; i < 260; ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    struct Case {
        std::int32_t code, arg;
    };
    const std::vector<Case> cases{{ipc::kRtDriverName, 2},
                                  {ipc::kRtDriverName, -1},
                                  {ipc::kRtDriverName, INT_MIN},
                                  {2, 0},
                                  {5, 0},
                                  {11, 0},
                                  {14, 0},
                                  {-1, 0},
                                  {INT_MAX, 0},
                                  {ipc::kRtResetRequest, 0}};
    for (const Case& c : cases) {
        ipc::storeI32(block.data(), ipc::kRtCommand, c.code);
        ipc::storeI32(block.data(), ipc::kRtArgs, c.arg);
        const std::vector<std::uint8_t> before(block.begin(), block.begin() + 260);
        handleRealTimeCommand(&drivers.list, *dev, block.data());
        EXPECT_TRUE(std::equal(before.begin(), before.end(), block.begin()))
            << "code " << c.code << " arg " << c.arg;
    }
}

// A driver that throws, or a set-up that runs out of memory, must turn into
// the command's failure word with the device closed, and the next command
// must be served as if nothing had happened.
TEST_F(Commands, AThrowingCommandAnswersItsFailureClosesTheDeviceAndServingGoesOn) {
    quillon::test::FakeDriver fake;
    quillon::test::FakeDriverSource list;
    list.drivers[0] = &fake;
    device::OutputDevice* d = device::createOutputDevice(list.source(), clock);
    ipc::DeviceSettings settings;
    device::applySettings(*d, settings);
    auto run = [&](std::int32_t code, std::int32_t a1 = 0, bool* quit = nullptr) {
        return postTo(*d, code, a1, code == ipc::kMainOpen ? 16 : 0, code == ipc::kMainOpen ? 2 : 0,
                      quit);
    };

    fake.onCreateBuffers = [] { throw std::bad_alloc(); };
    EXPECT_EQ(run(ipc::kMainOpen, 44100), -1);
    EXPECT_FALSE(d->life.streamOpen);
    EXPECT_EQ(list.loadedIndex, -1);
    EXPECT_EQ(run(ipc::kMainQueryWritable), 0);

    fake.onCreateBuffers = nullptr;
    EXPECT_GT(run(ipc::kMainOpen, 44100), 0);
    const std::int32_t room = run(ipc::kMainQueryWritable);
    ASSERT_GT(room, 0);
    // Fill the ring so the start rule starts the driver; the quit's stop then throws once.
    ipc::storeI32(block.data(), ipc::kMainArg1, room);
    EXPECT_EQ(run(ipc::kMainWrite, room), 0);
    ASSERT_TRUE(fake.started);
    bool thrown = false;
    fake.onStop = [&] {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("driver fault");
        }
    };
    bool quit = false;
    run(ipc::kMainQuit, 0, &quit);
    EXPECT_TRUE(thrown);
    EXPECT_TRUE(quit);
    EXPECT_FALSE(d->life.prepared);
    EXPECT_EQ(list.loadedIndex, -1);
    device::destroyOutputDevice(d);
}

} // namespace
