// What every end-to-end suite shares: files beside the test program, the
// virtual driver's registrations, and its control block. The suite creates the
// block before any server's driver looks for it and holds it for the suite's
// whole life, since on posix the name goes away with its creator.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "common/virtual_control_block.h"
#include "install.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::e2e {

inline std::string beside(const std::string& file) {
    char dir[1024] = "";
    platform::executableDirectory(dir, sizeof dir);
    return dir + file;
}

// Runs the program at `path` with `args` and waits up to two minutes for it; its exit code,
// or -1 when it could not start or had to be killed.
inline int runProgram(const std::string& path, const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    platform::Process* process = platform::spawnProcess(path.c_str(), argv.data());
    if (process == nullptr) {
        ADD_FAILURE() << "cannot start " << path;
        return -1;
    }
    int exitCode = -1;
    if (!platform::waitProcess(process, 120000, &exitCode)) {
        platform::killProcess(process);
        ADD_FAILURE() << path << " did not end";
    }
    platform::closeProcess(process);
    return exitCode;
}

class VirtualDriverSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        memory_ = testing::openVirtualControl();
        ASSERT_NE(memory_, nullptr);
        control_ = testing::controlIn(memory_);
        std::string error;
        ASSERT_TRUE(virtualdriver::installVirtualDriver(driverPath().c_str(), &error)) << error;
    }

    static void TearDownTestSuite() {
        std::string error;
        virtualdriver::removeVirtualDriver(driverPath().c_str(), &error);
        if (memory_ != nullptr) {
            platform::closeSharedMemory(memory_);
            memory_ = nullptr;
        }
    }

    static std::string driverPath() { return beside(QUILLON_VIRTUAL_DRIVER_FILE); }

    // One command on either channel; a command left unanswered fails the test.
    std::int32_t main(std::int32_t code, std::int32_t a1 = 0, std::int32_t a2 = 0,
                      std::int32_t a3 = 0) {
        std::int32_t result = -99;
        EXPECT_TRUE(client::mainCommand(connection_, code, a1, a2, a3, &result, commandTimeoutMs_))
            << connection_.error;
        return result;
    }
    std::int32_t realTime(std::int32_t code) {
        std::int32_t result = -99;
        EXPECT_TRUE(client::realTimeCommand(connection_, code, 0, &result)) << connection_.error;
        return result;
    }

    // Writes `bytes` in odd-sized pieces, never more than the writable space,
    // so incomplete frames are carried from one write to the next. Calls
    // `each` after every write. False when the server stopped taking audio.
    template <typename Each> bool writeAll(const std::vector<std::uint8_t>& bytes, Each each) {
        std::size_t at = 0;
        std::size_t piece = 0;
        const std::uint32_t start = platform::timerMs();
        while (at < bytes.size()) {
            const std::int32_t writable = main(ipc::kMainQueryWritable);
            if (writable <= 0) {
                if (platform::timerMs() - start > 60000) {
                    return false;
                }
                waitForTheDriver(1);
                continue;
            }
            std::int32_t count = std::min(pieces_[piece++ % pieces_.size()], writable);
            count = static_cast<std::int32_t>(
                std::min<std::size_t>(static_cast<std::size_t>(count), bytes.size() - at));
            std::int32_t result = -1;
            EXPECT_TRUE(client::writeAudio(connection_, bytes.data() + at, count, &result))
                << connection_.error;
            if (result != 0) {
                return false;
            }
            at += static_cast<std::size_t>(count);
            each();
        }
        return true;
    }

    bool writeAll(const std::vector<std::uint8_t>& bytes) {
        return writeAll(bytes, [] {});
    }

    // Waits until the server says nothing is left to play.
    void drain() {
        const std::uint32_t start = platform::timerMs();
        while (main(ipc::kMainQueryPlaying) != 0) {
            ASSERT_LT(platform::timerMs() - start, 60000u) << "the output never drained";
            waitForTheDriver(2);
        }
    }

    // From the next start on, the driver of `slot` switches buffers only when
    // advanceClock says so, and writeAll and drain advance it one switch
    // wherever they would wait for it: every half then finds the rings as full
    // as the commands before left them, however busy the machine is.
    void useSteppedClock(virtualdriver::Slot& slot) {
        slot.clock.stepped = 1;
        stepped_ = &slot;
    }

    // Advances the stepped clock by `switches` and waits until the host has
    // filled them all.
    void advanceClock(std::int32_t switches) {
        ASSERT_NE(stepped_, nullptr);
        virtualdriver::Slot& slot = *stepped_;
        const std::int32_t target = slot.status.bufferSwitches.load() + switches;
        slot.clock.owed.fetch_add(switches);
        const std::uint32_t start = platform::timerMs();
        while (slot.status.bufferSwitches.load() < target) {
            ASSERT_LT(platform::timerMs() - start, 10000u) << "the stepped clock did not advance";
            platform::sleepMs(1);
        }
    }

    // Lets the driver take audio: one switch of a stepped clock, or a short sleep.
    void waitForTheDriver(std::uint32_t ms) {
        if (stepped_ != nullptr) {
            advanceClock(1);
        } else {
            platform::sleepMs(ms);
        }
    }

    void closeOutput(bool keepOutput) {
        std::int32_t keep = keepOutput ? 1 : 0;
        std::memcpy(connection_.block + ipc::kKeepOutputOnClose, &keep, sizeof keep);
        main(ipc::kMainCloseOutput);
    }

    client::Connection connection_;
    std::uint32_t commandTimeoutMs_ = 10000;
    virtualdriver::Slot* stepped_ = nullptr; // the slot whose clock useSteppedClock stepped
    // Write sizes in bytes, taken in turn: odd sizes carry partial frames across writes.
    std::vector<std::int32_t> pieces_ = {1, 3, 5, 7, 11, 509, 1021, 4093, 8191, 2};

    static inline platform::SharedMemory* memory_ = nullptr;
    static inline virtualdriver::Control* control_ = nullptr;
};

} // namespace quillon::e2e
