// What every end-to-end suite shares: files beside the test program, the
// virtual driver's registrations, and its control block. The suite creates the
// block before any server's driver looks for it and holds it for the suite's
// whole life, since on posix the name goes away with its creator.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/client.h"
#include "install.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::e2e {

inline std::string beside(const std::string& file) {
    char dir[1024] = "";
    platform::executableDirectory(dir, sizeof dir);
    return dir + file;
}

class VirtualDriverSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char name[128];
        if (!platform::getEnvironment(virtualdriver::kControlNameVariable, name, sizeof name)) {
            std::strcpy(name, virtualdriver::kControlName);
        }
        memory_ = platform::openSharedMemory(name, sizeof(virtualdriver::Control));
        ASSERT_NE(memory_, nullptr);
        control_ = static_cast<virtualdriver::Control*>(platform::sharedMemoryData(memory_));
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

    client::Connection connection_;
    std::uint32_t commandTimeoutMs_ = 10000;

    static inline platform::SharedMemory* memory_ = nullptr;
    static inline virtualdriver::Control* control_ = nullptr;
};

} // namespace quillon::e2e
