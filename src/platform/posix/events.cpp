// Auto-reset events and waits on Linux.
//
// Unnamed events are eventfds. A named event is a unix datagram socket in the
// abstract namespace, bound by the one process that waits on it; any process
// sets it by sending one byte. Either way the object is signalled while its
// descriptor is readable, so waits on any mix of events and threads are one
// poll. A wait that wakes drains the descriptor completely: sets made while
// nobody waited collapse into the one signal it takes, as with an auto-reset
// event. If another waiter drained it first, the wait goes on with the time
// it has left.

#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quillon::platform {

namespace posix {

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t deadlineAfter(std::uint32_t timeoutMs) {
    if (timeoutMs == kInfinite) {
        return -1;
    }
    return monotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
}

int pollTimeout(std::int64_t deadlineNs) {
    if (deadlineNs < 0) {
        return -1;
    }
    const std::int64_t left = deadlineNs - monotonicNs();
    if (left <= 0) {
        return 0;
    }
    // Round up so that a wait never returns a time-out before its time.
    const std::int64_t ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

socklen_t abstractAddress(const char* prefix, const char* name, sockaddr_un* out) {
    std::memset(out, 0, sizeof *out);
    out->sun_family = AF_UNIX;
    // Scoped by user, as Windows scopes named objects by session.
    std::string path = std::string(prefix) + std::to_string(getuid()) + ":" + name;
    const std::size_t room = sizeof out->sun_path - 1; // after the leading NUL
    if (path.size() > room) {
        // Keep long names distinct: a prefix of the name plus a hash of all of it.
        std::uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : path) {
            hash = (hash ^ c) * 1099511628211ull;
        }
        char tail[17];
        std::snprintf(tail, sizeof tail, "%016llx", static_cast<unsigned long long>(hash));
        path.resize(room - 16);
        path += tail;
    }
    std::memcpy(out->sun_path + 1, path.data(), path.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
}

} // namespace posix

// The receive side of a named event, shared by every handle of this process
// that opened the same name to wait on it.
struct NamedReceiver {
    std::string name;
    int fd;
    int references;
};

namespace {

constexpr const char* kEventPrefix = "quillon.event.";

std::atomic<std::uint32_t> namedSync{0};

std::mutex receiversMutex;
std::map<std::string, NamedReceiver*> receivers;

int datagramSocket() {
    return socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

// Binds the receive side, or shares the one this process already has. Null
// when another process holds it (that process is the waiter).
NamedReceiver* acquireReceiver(const char* name, const sockaddr_un& address,
                               socklen_t addressLength) {
    std::lock_guard<std::mutex> guard(receiversMutex);
    auto found = receivers.find(name);
    if (found != receivers.end()) {
        ++found->second->references;
        return found->second;
    }
    const int fd = datagramSocket();
    if (fd < 0) {
        return nullptr;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) {
        close(fd);
        return nullptr;
    }
    auto* receiver = new NamedReceiver{name, fd, 1};
    receivers.emplace(receiver->name, receiver);
    return receiver;
}

void releaseReceiver(NamedReceiver* receiver) {
    std::lock_guard<std::mutex> guard(receiversMutex);
    if (--receiver->references > 0) {
        return;
    }
    receivers.erase(receiver->name);
    close(receiver->fd);
    delete receiver;
}

Handle* namedHandle(const char* name) {
    auto* handle = new Handle{Handle::Kind::Named};
    handle->addressLength = posix::abstractAddress(kEventPrefix, name, &handle->address);
    handle->sendFd = datagramSocket();
    if (handle->sendFd < 0) {
        delete handle;
        return nullptr;
    }
    return handle;
}

// Takes the signal of a handle that poll found readable. false when another
// waiter took it first.
bool consume(Handle* handle) {
    switch (handle->kind) {
    case Handle::Kind::Unnamed: {
        std::uint64_t count = 0;
        if (read(handle->waitFd, &count, sizeof count) != sizeof count) {
            return false;
        }
        handle->sync.load(std::memory_order_acquire);
        return true;
    }
    case Handle::Kind::Named: {
        bool any = false;
        char byte[8];
        while (recv(handle->waitFd, byte, sizeof byte, MSG_DONTWAIT) >= 0) {
            any = true;
        }
        if (any) {
            namedSync.load(std::memory_order_acquire);
        }
        return any;
    }
    case Handle::Kind::ThreadExit:
        handle->sync.load(std::memory_order_acquire);
        return true; // a thread stays signalled once it has ended
    case Handle::Kind::ProcessExit:
        return true; // so does a process's descriptor
    }
    return false;
}

} // namespace

namespace posix {

// The one wait behind waitOne, waitAny and waitAlertable. With `queueFd` set,
// calls queued to the calling thread run first when pending.
int waitHandles(Handle* const* handles, int count, std::uint32_t timeoutMs, int queueFd,
                bool (*runQueued)()) {
    constexpr int kMaxHandles = 64;
    if (handles == nullptr || count < 1 || count > kMaxHandles) {
        return kWaitFailed;
    }
    pollfd fds[kMaxHandles + 1];
    for (int i = 0; i < count; ++i) {
        if (handles[i] == nullptr || handles[i]->waitFd < 0) {
            return kWaitFailed;
        }
        fds[i] = pollfd{handles[i]->waitFd, POLLIN, 0};
    }
    int polled = count;
    if (queueFd >= 0) {
        fds[polled++] = pollfd{queueFd, POLLIN, 0};
    }
    const std::int64_t deadline = deadlineAfter(timeoutMs);
    for (;;) {
        const int ready = poll(fds, static_cast<nfds_t>(polled), pollTimeout(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kWaitFailed;
        }
        if (ready == 0) {
            return kWaitTimeout;
        }
        // Queued calls first, so that a caller waiting for one is never left
        // hanging because the thread saw its quit signal in the same wake.
        if (queueFd >= 0 && (fds[count].revents & POLLIN) != 0 && runQueued()) {
            return kWaitIoCompletion;
        }
        for (int i = 0; i < count; ++i) {
            if ((fds[i].revents & POLLNVAL) != 0) {
                return kWaitFailed;
            }
            if ((fds[i].revents & POLLIN) != 0 && consume(handles[i])) {
                return i;
            }
        }
    }
}

} // namespace posix

Handle* createEvent(const char* name, bool willWait) {
    if (name == nullptr) {
        const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd < 0) {
            return nullptr;
        }
        auto* handle = new Handle{Handle::Kind::Unnamed};
        handle->waitFd = fd;
        return handle;
    }
    Handle* handle = namedHandle(name);
    if (handle != nullptr && willWait) {
        // When another process already holds the receive side, this handle can
        // still set the event; its waits fail.
        handle->receiver = acquireReceiver(name, handle->address, handle->addressLength);
        if (handle->receiver != nullptr) {
            handle->waitFd = handle->receiver->fd;
        }
    }
    return handle;
}

Handle* openEventForSet(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    Handle* handle = namedHandle(name);
    if (handle == nullptr) {
        return nullptr;
    }
    // The event exists while some process holds its receive side; a probe
    // connect finds out without setting it.
    const int probe = datagramSocket();
    const bool exists =
        probe >= 0 && connect(probe, reinterpret_cast<const sockaddr*>(&handle->address),
                              handle->addressLength) == 0;
    if (probe >= 0) {
        close(probe);
    }
    if (!exists) {
        closeHandle(handle);
        return nullptr;
    }
    return handle;
}

bool setEvent(Handle* event) {
    if (event == nullptr) {
        return false;
    }
    // The waiter may close the handle as soon as it sees the signal, so
    // nothing of it is touched after the release.
    switch (event->kind) {
    case Handle::Kind::Unnamed: {
        const int fd = event->waitFd;
        event->sync.fetch_add(1, std::memory_order_release);
        const std::uint64_t one = 1;
        // A counter at its limit is signalled already.
        return write(fd, &one, sizeof one) == sizeof one || errno == EAGAIN;
    }
    case Handle::Kind::Named: {
        const int fd = event->sendFd;
        const sockaddr_un address = event->address;
        const socklen_t length = event->addressLength;
        namedSync.fetch_add(1, std::memory_order_release);
        const char byte = 1;
        if (sendto(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&address), length) == 1) {
            return true;
        }
        // A full queue holds unread sets: the event is signalled already.
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    case Handle::Kind::ThreadExit:
    case Handle::Kind::ProcessExit:
        return false;
    }
    return false;
}

bool eventCanWait(Handle* event) {
    return event != nullptr && event->waitFd >= 0;
}

void closeHandle(Handle* handle) {
    if (handle == nullptr || handle->kind == Handle::Kind::ThreadExit) {
        return; // a thread's handle belongs to its Thread
    }
    if (handle->kind == Handle::Kind::Unnamed || handle->kind == Handle::Kind::ProcessExit) {
        close(handle->waitFd);
    } else {
        close(handle->sendFd);
        if (handle->receiver != nullptr) {
            releaseReceiver(handle->receiver);
        }
    }
    delete handle;
}

int waitOne(Handle* handle, std::uint32_t timeoutMs) {
    return posix::waitHandles(&handle, 1, timeoutMs, -1, nullptr);
}

int waitAny(Handle* const* handles, int count, std::uint32_t timeoutMs) {
    return posix::waitHandles(handles, count, timeoutMs, -1, nullptr);
}

int waitPumpingMessages(Handle* handle, std::uint32_t timeoutMs) {
    // No thread message queue here: window mailboxes are read explicitly.
    return waitOne(handle, timeoutMs);
}

void ensureMessageQueue() {}

} // namespace quillon::platform
