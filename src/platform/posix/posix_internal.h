// Shared by the posix backend's files; nothing outside src/platform/posix/
// includes this.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <sys/socket.h>
#include <sys/un.h>

namespace quillon::platform {

struct NamedReceiver;

// Every waitable thing is a file descriptor that poll reports readable while
// the object is signalled. `waitFd` is -1 for a named event this process may
// only set.
struct Handle {
    enum class Kind { Unnamed, Named, ThreadExit, ProcessExit };
    Kind kind;
    int waitFd = -1;
    // Named events: an unbound datagram socket that sends one byte per set.
    int sendFd = -1;
    sockaddr_un address{};
    socklen_t addressLength = 0;
    NamedReceiver* receiver = nullptr;
    // Release on set, acquire on a taken signal: what the setter wrote before
    // setting is visible to the waiter, and ThreadSanitizer, which cannot see
    // through descriptors, knows it. Named events use one process-wide word
    // instead, as their setter and waiter hold different Handles.
    std::atomic<std::uint32_t> sync{0};
};

namespace posix {

// Abstract-namespace unix socket address (leading NUL: no file, gone when
// the last socket bound to it closes) for `prefix` + `name`.
socklen_t abstractAddress(const char* prefix, const char* name, sockaddr_un* out);

// Milliseconds left until `deadlineNs` (CLOCK_MONOTONIC), as a poll time-out;
// -1 for no deadline.
std::int64_t monotonicNs();
int pollTimeout(std::int64_t deadlineNs);
std::int64_t deadlineAfter(std::uint32_t timeoutMs); // -1 for kInfinite

// Waits for any of `handles` (first signalled in array order wins). With
// queueFd >= 0, runQueued runs the calling thread's queued calls when that
// descriptor wakes and returns whether any ran.
int waitHandles(Handle* const* handles, int count, std::uint32_t timeoutMs, int queueFd,
                bool (*runQueued)());

} // namespace posix
} // namespace quillon::platform
