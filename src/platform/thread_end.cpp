// The one bounded end of a thread, shared by both backends: it is built only
// from the seam's own waits and forced end.
#include "platform/platform.h"

namespace quillon::platform {

bool endThread(Thread* thread, std::uint32_t waitMs, std::uint32_t afterTerminateMs) {
    Handle* handle = threadHandle(thread);
    if (handle == nullptr) {
        return true;
    }
    if (waitPumpingMessages(handle, waitMs) == 0) {
        return true;
    }
    if (terminateThread(thread, 0)) {
        return waitPumpingMessages(handle, afterTerminateMs) == 0;
    }
    return false;
}

} // namespace quillon::platform
