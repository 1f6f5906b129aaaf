// The device under its real threads: a driver thread running the callbacks,
// a real-time thread reading positions and asking for resets, and the main
// thread writing, pausing and seeking.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "device/device_state.h"
#include "device/fake_driver.h"

namespace quillon::test {
namespace {

using device::OutputDevice;

struct Rig {
    FakeDriver fake;
    FakeDriverSource list;
    platform::Clock clock;
    OutputDevice* dev = nullptr;

    Rig() {
        list.drivers[0] = &fake;
        platform::chooseClock(clock);
        fake.preferred = 64;
        dev = device::createOutputDevice(list.source(), clock);
        ipc::DeviceSettings s;
        s.bufferMultiplier = 1;
        device::applySettings(*dev, s);
    }
    ~Rig() { device::destroyOutputDevice(dev); }
};

std::vector<std::uint8_t> counterFrames(int first, int count) {
    std::vector<std::uint8_t> b(static_cast<std::size_t>(count) * 4);
    for (int i = 0; i < count; ++i) {
        const auto up = static_cast<std::int16_t>(first + i);
        const auto down = static_cast<std::int16_t>(-(first + i));
        std::memcpy(&b[static_cast<std::size_t>(i) * 4], &up, 2);
        std::memcpy(&b[static_cast<std::size_t>(i) * 4 + 2], &down, 2);
    }
    return b;
}

void sleepMicros(int us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

TEST(DeviceThreads, EveryFrameArrivesOnceInOrderWhileAnotherThreadReadsPositions) {
    Rig rig;
    ASSERT_GT(device::openOutput(*rig.dev, 48000, 16, 2), 0);

    std::atomic<bool> quit{false};
    std::vector<std::int16_t> up;
    std::vector<std::int16_t> down;
    std::thread driver([&] {
        int index = 0;
        while (!quit) {
            if (rig.fake.started) {
                rig.fake.bufferSwitch(index);
                const auto a = rig.fake.samples16(0, index);
                const auto b = rig.fake.samples16(1, index);
                up.insert(up.end(), a.begin(), a.end());
                down.insert(down.end(), b.begin(), b.end());
                index ^= 1;
            }
            sleepMicros(50);
        }
    });
    std::atomic<bool> negative{false};
    std::thread realTime([&] {
        while (!quit) {
            if (device::outputPositionMs(*rig.dev) < 0 || device::writtenPositionMs(*rig.dev) < 0) {
                negative = true;
            }
            sleepMicros(100);
        }
    });

    constexpr int kFrames = 20000;
    int next = 1;
    int step = 0;
    while (next <= kFrames) {
        const int count = std::min(7 + (step * 37) % 150, kFrames + 1 - next);
        const auto b = counterFrames(next, count);
        // Split inside a frame now and then, as a client with odd sizes would.
        const std::size_t cut = (step % 3 == 0) ? b.size() / 2 + 1 : b.size();
        ASSERT_EQ(device::writeStream(*rig.dev, b.data(), static_cast<std::int32_t>(cut)), 0);
        if (cut < b.size()) {
            ASSERT_EQ(device::writeStream(*rig.dev, b.data() + cut,
                                          static_cast<std::int32_t>(b.size() - cut)),
                      0);
        }
        next += count;
        ++step;
    }
    while (device::isPlaying(*rig.dev) != 0) {
        sleepMicros(200);
    }
    quit = true;
    driver.join();
    realTime.join();

    EXPECT_FALSE(negative);
    int expect = 1;
    for (std::size_t i = 0; i < up.size(); ++i) {
        if (up[i] == 0 && down[i] == 0) {
            continue; // underrun padding
        }
        ASSERT_EQ(up[i], expect) << "at " << i;
        ASSERT_EQ(down[i], -expect) << "at " << i;
        ++expect;
    }
    EXPECT_EQ(expect, kFrames + 1);
    EXPECT_EQ(rig.dev->counters.framesPlayed, kFrames);
}

TEST(DeviceThreads, ResetRequestsFromOtherThreadsNeverRaceTheMainThread) {
    Rig rig;
    ASSERT_GT(device::openOutput(*rig.dev, 44100, 16, 2), 0);
    std::atomic<bool> quit{false};
    // The driver's thread goes through the process-wide callbacks, as a real
    // driver would, across the re-opens the resets cause.
    std::thread driver([&] {
        const asio::ASIOCallbacks& cb = device::driverCallbacks();
        int index = 0;
        int n = 0;
        while (!quit) {
            cb.bufferSwitch(index, 1);
            index ^= 1;
            if (++n % 97 == 0) {
                cb.asioMessage(asio::kAsioResetRequest, 0, nullptr, nullptr);
            }
            sleepMicros(50);
        }
    });
    std::thread realTime([&] {
        int n = 0;
        while (!quit) {
            device::outputPositionMs(*rig.dev);
            device::writtenPositionMs(*rig.dev);
            if (++n % 53 == 0) {
                device::handleResetRequest(*rig.dev);
            }
            sleepMicros(100);
        }
    });

    // At least 1500 rounds and three re-opens; sleeps are coarse on some systems.
    int reopened = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < 1500 || (reopened < 3 && std::chrono::steady_clock::now() < deadline);
         ++i) {
        const int initsBefore = rig.fake.initCalls;
        const std::int32_t space = device::writableBytes(*rig.dev);
        reopened += rig.fake.initCalls - initsBefore;
        ASSERT_TRUE(rig.dev->life.streamOpen);
        const int frames = std::min(space / 4, 100);
        if (frames > 0) {
            const auto b = counterFrames(i, frames);
            ASSERT_EQ(device::writeStream(*rig.dev, b.data(), frames * 4), 0);
        }
        if (i % 200 == 100) {
            device::setPause(*rig.dev, 1);
        } else if (i % 200 == 150) {
            device::setPause(*rig.dev, 0);
        } else if (i % 333 == 0) {
            device::seekTo(*rig.dev, i);
        }
        device::settleResetRequest(*rig.dev);
        sleepMicros(100);
    }
    quit = true;
    driver.join();
    realTime.join();
    EXPECT_GE(reopened, 3);
}

TEST(DeviceThreads, WritesWaitOnTheBufferSwitchAndGiveUpOnADriverThatStopped) {
    Rig rig;
    ASSERT_GT(device::openOutput(*rig.dev, 48000, 16, 2), 0);
    const std::int32_t ring = rig.dev->ring.frames;
    // A driver thread that takes one half-buffer every 20 ms: a write of two
    // rings' worth waits for it and comes out whole.
    std::atomic<bool> quit{false};
    std::thread driver([&] {
        int index = 0;
        while (!quit) {
            if (rig.fake.started) {
                rig.fake.bufferSwitch(index);
                index ^= 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto first = counterFrames(1, 2 * ring);
    ASSERT_EQ(device::writeStream(*rig.dev, first.data(), static_cast<std::int32_t>(first.size())),
              0);
    EXPECT_TRUE(rig.dev->held.pending.empty());
    quit = true;
    driver.join();

    // The driver stops calling back: the next write that does not fit waits
    // 3 s by the clock, keeps what it could not place and answers.
    const auto more = counterFrames(1, ring);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(device::writeStream(*rig.dev, more.data(), static_cast<std::int32_t>(more.size())),
              0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(rig.dev->ring.queuedFrames, ring);
    EXPECT_GT(rig.dev->held.pending.size(), 0u);
    EXPECT_EQ(rig.dev->counters.bytesWritten,
              static_cast<std::int64_t>(first.size() + more.size()));
}

TEST(DeviceThreads, StopIsNeverCalledWithTheLockHeld) {
    Rig rig;
    std::thread probe;
    std::atomic<bool> blocked{false};
    // Inside stop, another thread must be able to run a whole buffer switch.
    rig.fake.onStop = [&] {
        auto done = std::make_shared<std::atomic<bool>>(false);
        probe = std::thread([done] {
            device::driverCallbacks().bufferSwitch(0, 1);
            *done = true;
        });
        for (int i = 0; i < 2000 && !*done; ++i) {
            sleepMicros(1000);
        }
        if (!*done) {
            blocked = true;
        }
    };
    auto run = [&](const char* what, auto action) {
        SCOPED_TRACE(what);
        const int stops = rig.fake.stopCalls;
        action();
        if (probe.joinable()) {
            probe.join();
        }
        EXPECT_GT(rig.fake.stopCalls, stops);
        EXPECT_FALSE(blocked);
    };
    auto start = [&] {
        ASSERT_GT(device::openOutput(*rig.dev, 44100, 16, 2), 0);
        const auto b = counterFrames(1, 100);
        device::writeStream(*rig.dev, b.data(), 400);
        device::isPlaying(*rig.dev);
        ASSERT_TRUE(rig.fake.started);
    };
    start();
    run("pause", [&] { device::setPause(*rig.dev, 1); });
    device::setPause(*rig.dev, 0);
    run("seek", [&] { device::seekTo(*rig.dev, 100); });
    start();
    run("rate change", [&] { device::openOutput(*rig.dev, 48000, 16, 2); });
    start();
    run("close", [&] { device::closeDevice(*rig.dev); });
}

} // namespace
} // namespace quillon::test
