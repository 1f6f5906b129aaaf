// Helpers shared by the driver tests: where the virtual driver lies, its
// control block, and registrations that clean up after themselves.
#pragma once

#include <string>
#include <vector>

#include "platform/driver_host.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::testing {

inline constexpr bool kWindowsRegistry = QUILLON_TEST_WINDOWS_REGISTRY != 0;

// The virtual driver library copied beside the test executable.
std::string virtualDriverPath();
// A file beside the test executable that does not exist.
std::string missingFilePath();
// A file that exists but is no driver library.
std::string junkFilePath();
std::string clsidText(const asio::AsioGuid& clsid);

// The control block of this test process (named by QUILLON_VIRTUAL_CONTROL).
class ControlBlock {
public:
    ControlBlock();
    ~ControlBlock();
    virtualdriver::Slot& slot(const char* keyName);
    void clear();

private:
    platform::SharedMemory* memory_;
    virtualdriver::Control* control_;
};

// A private registration root for one test; everything written through it
// is removed again, and the default root is restored.
class ScopedRoot {
public:
    explicit ScopedRoot(const std::string& name);
    ~ScopedRoot();
    // Writes a registration. clsid/description/server may be null; on Linux
    // `server` is the driver file and `clsid` is ignored.
    // `sharedClass`: on Windows the class belongs to an installation (the
    // virtual driver's own CLSIDs), so it is neither written nor removed.
    void add(const char* keyName, const char* clsid, const char* description, const char* server,
             const char* classKeyName = nullptr, bool sharedClass = false);

private:
    struct Written {
        std::string keyName, clsid, classKeyName;
        bool hasClsid, hasClass;
    };
    std::vector<Written> written_;
};

} // namespace quillon::testing
