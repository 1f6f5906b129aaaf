// The virtual driver's control block as this process names it
// (QUILLON_VIRTUAL_CONTROL, else the driver's own name). A test maps it before
// any driver does and keeps it while drivers run: on posix the block goes with
// the mapping of the process that created it.
#pragma once

#include <cstring>

#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon::testing {

// The mapping, or null when it cannot be made; release it with closeSharedMemory.
inline platform::SharedMemory* openVirtualControl() {
    char name[128];
    if (!platform::getEnvironment(virtualdriver::kControlNameVariable, name, sizeof name)) {
        std::strcpy(name, virtualdriver::kControlName);
    }
    return platform::openSharedMemory(name, sizeof(virtualdriver::Control));
}

inline virtualdriver::Control* controlIn(platform::SharedMemory* memory) {
    return memory != nullptr
               ? static_cast<virtualdriver::Control*>(platform::sharedMemoryData(memory))
               : nullptr;
}

} // namespace quillon::testing
