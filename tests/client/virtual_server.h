// What the tests that start real servers over the virtual driver share: the
// driver's registrations for each test's life, its control block, and the
// index under which a server lists a registration.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/client.h"
#include "common/virtual_control_block.h"
#include "install.h"
#include "ipc/shared_block.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::clienttest {

inline std::string besideTest(const char* file) {
    char dir[1024] = "";
    platform::executableDirectory(dir, sizeof dir);
    return std::string(dir) + file;
}

inline std::string virtualDriverPath() {
    return besideTest(QUILLON_VIRTUAL_DRIVER_FILE);
}

// The index the connected server lists the registration with this
// description under, or -1 (also when a question goes unanswered).
inline std::int32_t findDriver(client::Connection& c, const char* description,
                               std::uint32_t timeoutMs) {
    std::int32_t count = 0;
    if (!client::realTimeCommand(c, ipc::kRtDriverCount, 0, &count, timeoutMs)) {
        return -1;
    }
    for (std::int32_t index = 0; index < count; ++index) {
        std::string name;
        bool found = false;
        if (!client::driverName(c, index, &name, &found, timeoutMs)) {
            return -1;
        }
        if (found && name == description) {
            return index;
        }
    }
    return -1;
}

// Installs the virtual driver for the test and maps its control block first,
// since on posix the block goes with the process that created it. Faults are
// cleared on both ends of the test.
class VirtualDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        memory_ = testing::openVirtualControl();
        ASSERT_NE(memory_, nullptr);
        control_ = testing::controlIn(memory_);
        clearFaults();
        std::string error;
        ASSERT_TRUE(virtualdriver::installVirtualDriver(virtualDriverPath().c_str(), &error))
            << error;
        installed_ = true;
    }
    void TearDown() override {
        if (installed_) {
            virtualdriver::removeVirtualDriver(virtualDriverPath().c_str(), nullptr);
        }
        if (memory_ != nullptr) {
            clearFaults();
            platform::closeSharedMemory(memory_);
        }
    }

    void clearFaults() {
        for (virtualdriver::Slot& slot : control_->slots) {
            std::memset(static_cast<void*>(&slot.faults), 0, sizeof slot.faults);
        }
    }

    virtualdriver::Control* control_ = nullptr;

private:
    platform::SharedMemory* memory_ = nullptr;
    bool installed_ = false;
};

} // namespace quillon::clienttest
