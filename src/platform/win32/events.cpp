// Events and waits on Windows: a Handle* is the kernel HANDLE itself.

#include "platform/platform.h"

#include <windows.h>

namespace quillon::platform {

namespace {

HANDLE native(Handle* handle) {
    return reinterpret_cast<HANDLE>(handle);
}
Handle* wrap(HANDLE handle) {
    return reinterpret_cast<Handle*>(handle);
}

int waitResult(DWORD result, DWORD count) {
    if (result < WAIT_OBJECT_0 + count) {
        return static_cast<int>(result - WAIT_OBJECT_0);
    }
    return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
}

} // namespace

Handle* createEvent(const char* name, bool /*willWait*/) {
    // Auto-reset, initially clear; opens the existing object of that name.
    return wrap(CreateEventA(nullptr, FALSE, FALSE, name));
}

Handle* openEventForSet(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    return wrap(OpenEventA(EVENT_MODIFY_STATE, FALSE, name));
}

bool setEvent(Handle* event) {
    return event != nullptr && SetEvent(native(event)) != 0;
}

bool eventCanWait(Handle* event) {
    return event != nullptr;
}

void closeHandle(Handle* handle) {
    if (handle != nullptr) {
        CloseHandle(native(handle));
    }
}

int waitOne(Handle* handle, std::uint32_t timeoutMs) {
    return waitAny(&handle, 1, timeoutMs);
}

int waitAny(Handle* const* handles, int count, std::uint32_t timeoutMs) {
    if (handles == nullptr || count < 1 || count > MAXIMUM_WAIT_OBJECTS) {
        return kWaitFailed;
    }
    HANDLE natives[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        if (handles[i] == nullptr) {
            return kWaitFailed;
        }
        natives[i] = native(handles[i]);
    }
    const DWORD n = static_cast<DWORD>(count);
    return waitResult(WaitForMultipleObjects(n, natives, FALSE, timeoutMs), n);
}

int waitPumpingMessages(Handle* handle, std::uint32_t timeoutMs) {
    if (handle == nullptr) {
        return kWaitFailed;
    }
    HANDLE object = native(handle);
    for (;;) {
        const DWORD result = MsgWaitForMultipleObjects(1, &object, FALSE, timeoutMs, QS_ALLINPUT);
        if (result != WAIT_OBJECT_0 + 1) {
            return waitResult(result, 1);
        }
        // Input arrived: dispatch the whole burst, then wait again with the
        // full time-out.
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

void ensureMessageQueue() {
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

int waitAlertable(Handle* handle, std::uint32_t timeoutMs) {
    if (handle == nullptr) {
        return kWaitFailed;
    }
    const DWORD result = WaitForSingleObjectEx(native(handle), timeoutMs, TRUE);
    return result == WAIT_IO_COMPLETION ? kWaitIoCompletion : waitResult(result, 1);
}

} // namespace quillon::platform
