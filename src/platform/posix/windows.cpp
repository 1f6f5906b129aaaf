// Message windows on Linux: there are no windows, so a "window" is a mailbox,
// an abstract-namespace datagram socket named by the window id. Any process
// can post to it; the creating thread reads it with receiveWindowMessage.

#include "platform/posix/posix_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace quillon::platform {

namespace {

constexpr const char* kWindowPrefix = "quillon.window.";
constexpr std::size_t kWireSize = 4 + 8 + 8; // message, wParam, lParam

std::mutex windowsMutex;
std::map<WindowId, int> windows; // id -> bound socket
std::atomic<std::uint32_t> windowCounter{0};

socklen_t windowAddress(WindowId window, sockaddr_un* address) {
    char name[24];
    std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(window));
    return posix::abstractAddress(kWindowPrefix, name, address);
}

int windowSocket(WindowId window) {
    std::lock_guard<std::mutex> guard(windowsMutex);
    auto found = windows.find(window);
    return found == windows.end() ? -1 : found->second;
}

} // namespace

WindowId createMessageWindow() {
    // Unique across processes: pids stay below 2^22, the counter uses 20 bits.
    std::uint32_t counter = 0;
    do {
        counter = (windowCounter.fetch_add(1) + 1) & 0xFFFFF;
    } while (counter == 0);
    const WindowId window = (static_cast<WindowId>(getpid()) << 20) | counter;

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_un address{};
    const socklen_t length = windowAddress(window, &address);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(fd);
        return 0;
    }
    std::lock_guard<std::mutex> guard(windowsMutex);
    windows[window] = fd;
    return window;
}

void destroyMessageWindow(WindowId window) {
    std::lock_guard<std::mutex> guard(windowsMutex);
    auto found = windows.find(window);
    if (found != windows.end()) {
        close(found->second);
        windows.erase(found);
    }
}

bool postWindowMessage(WindowId window, std::uint32_t message, std::uint64_t wParam,
                       std::int64_t lParam) {
    if (window == 0) {
        return false;
    }
    unsigned char wire[kWireSize];
    std::memcpy(wire, &message, 4);
    std::memcpy(wire + 4, &wParam, 8);
    std::memcpy(wire + 12, &lParam, 8);
    sockaddr_un address{};
    const socklen_t length = windowAddress(window, &address);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    // A full mailbox refuses the message, as a full message queue does.
    const bool sent = sendto(fd, wire, sizeof wire, MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address),
                             length) == static_cast<ssize_t>(sizeof wire);
    close(fd);
    return sent;
}

bool receiveWindowMessage(WindowId window, std::uint32_t timeoutMs, WindowMessage* out) {
    const int fd = windowSocket(window);
    if (fd < 0 || out == nullptr) {
        return false;
    }
    const std::int64_t deadline = posix::deadlineAfter(timeoutMs);
    for (;;) {
        unsigned char wire[kWireSize];
        const ssize_t got = recv(fd, wire, sizeof wire, MSG_DONTWAIT);
        if (got == static_cast<ssize_t>(sizeof wire)) {
            std::memcpy(&out->message, wire, 4);
            std::memcpy(&out->wParam, wire + 4, 8);
            std::memcpy(&out->lParam, wire + 12, 8);
            return true;
        }
        if (got >= 0) {
            continue; // not one of ours: drop it
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, posix::pollTimeout(deadline));
        if (polled == 0) {
            return false;
        }
        if (polled < 0 && errno != EINTR) {
            return false;
        }
    }
}

} // namespace quillon::platform
