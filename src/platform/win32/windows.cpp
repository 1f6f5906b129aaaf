// Message-only windows that keep what is posted to them until it is read.

#include "platform/platform.h"

#include <deque>
#include <windows.h>

namespace quillon::platform {

namespace {

constexpr const char* kClassName = "QuillonMessageWindow";

// What a mailbox keeps: commands and application messages. Anything else
// goes to the default handling.
bool isMailMessage(UINT message) {
    return message == WM_COMMAND || (message >= WM_USER && message < 0xC000);
}

using Mailbox = std::deque<WindowMessage>;

Mailbox* mailboxOf(HWND window) {
    return reinterpret_cast<Mailbox*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// Reached when some other loop on this thread (the pumping wait, say)
// dispatches a posted message: it is kept for receiveWindowMessage.
LRESULT CALLBACK mailboxProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Mailbox* mailbox = isMailMessage(message) ? mailboxOf(window) : nullptr;
    if (mailbox == nullptr) {
        return DefWindowProcA(window, message, wParam, lParam);
    }
    mailbox->push_back(
        {message, static_cast<std::uint64_t>(wParam), static_cast<std::int64_t>(lParam)});
    return 0;
}

bool registerClass() {
    static const bool registered = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = mailboxProcedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClassName;
        return RegisterClassA(&windowClass) != 0;
    }();
    return registered;
}

HWND native(WindowId window) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window));
}

} // namespace

WindowId createMessageWindow() {
    if (!registerClass()) {
        return 0;
    }
    HWND window = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        return 0;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new Mailbox));
    return static_cast<WindowId>(reinterpret_cast<std::uintptr_t>(window));
}

void destroyMessageWindow(WindowId window) {
    HWND handle = native(window);
    if (window == 0 || !IsWindow(handle)) {
        return;
    }
    Mailbox* mailbox = mailboxOf(handle);
    SetWindowLongPtrA(handle, GWLP_USERDATA, 0);
    DestroyWindow(handle);
    delete mailbox;
}

bool postWindowMessage(WindowId window, std::uint32_t message, std::uint64_t wParam,
                       std::int64_t lParam) {
    return window != 0 && PostMessageA(native(window), message, static_cast<WPARAM>(wParam),
                                       static_cast<LPARAM>(lParam)) != 0;
}

bool receiveWindowMessage(WindowId window, std::uint32_t timeoutMs, WindowMessage* out) {
    HWND handle = native(window);
    Mailbox* mailbox = window == 0 || out == nullptr ? nullptr : mailboxOf(handle);
    if (mailbox == nullptr) {
        return false;
    }
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (!mailbox->empty()) {
            *out = mailbox->front();
            mailbox->pop_front();
            return true;
        }
        MSG message;
        if (PeekMessageA(&message, handle, 0, 0, PM_REMOVE)) {
            if (isMailMessage(message.message)) {
                *out = {message.message, static_cast<std::uint64_t>(message.wParam),
                        static_cast<std::int64_t>(message.lParam)};
                return true;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
            continue;
        }
        DWORD left = INFINITE;
        if (timeoutMs != kInfinite) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= timeoutMs) {
                return false;
            }
            left = static_cast<DWORD>(timeoutMs - elapsed);
        }
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, left, QS_ALLINPUT) == WAIT_FAILED) {
            return false;
        }
    }
}

} // namespace quillon::platform
