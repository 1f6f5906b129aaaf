// The server process: start-up, the main command loop, the real-time thread and
// shutdown. Everything lives in one record so tests can run a whole server
// inside a test process.
#pragma once

#include <atomic>
#include <cstdint>

#include "ipc/shared_block.h"
#include "platform/clock.h"

namespace quillon::platform {
struct Handle;
struct InstanceLock;
struct SharedMemory;
struct Thread;
} // namespace quillon::platform
namespace quillon::device {
struct DriverList;
struct OutputDevice;
} // namespace quillon::device

namespace quillon::server {

using ipc::kExitAnotherServer;
using ipc::kExitDone;
using ipc::kExitStartFailed;

struct Server {
    // The client process to follow: 0 for this process's parent.
    std::uint64_t clientId = 0;
    platform::InstanceLock* instance = nullptr;
    // Signalled once the client has ended; watched by the real-time thread.
    platform::Handle* clientWatch = nullptr;
    // Set by the real-time thread when the client ended: the main thread then
    // shuts down as after quit.
    std::atomic<bool> clientGone{false};
    platform::Clock clock;
    device::DriverList* drivers = nullptr;
    device::OutputDevice* device = nullptr;
    platform::SharedMemory* memory = nullptr;
    std::uint8_t* block = nullptr;
    platform::Handle* mainMsg = nullptr;    // "Server_Msg": the main thread waits on it
    platform::Handle* mainRetMsg = nullptr; // "Server_RetMsg": set after each answer
    platform::Handle* realTimeReady = nullptr;
    platform::Handle* realTimeQuit = nullptr;
    platform::Thread* realTimeThread = nullptr;
    // Set by the real-time thread when it could not create its events, so the
    // main thread can give up instead of announcing a half-built server.
    std::atomic<bool> realTimeFailed{false};
};

// Main thread. Brings the server up in order and finally sets the client's
// ready event. Answers kExitDone when serving may begin, else the exit code:
// nothing of another live server's objects is touched, and what was made so
// far is taken down by stopServer; the ready event is not set.
int startServer(Server& server);

// Main thread. Serves main-channel commands until the quit command or the
// end of the client process.
void runMainLoop(Server& server);

// Main thread. Ends the real-time thread (bounded waits) and releases
// everything in order. Safe on a partly started server.
void stopServer(Server& server);

// The whole process: start, serve, stop. Returns the process exit code.
// Arguments: optionally "--client <process id>", the process to follow when
// it is not the one that started the server.
int serverMain(int argc = 0, const char* const* argv = nullptr);

} // namespace quillon::server
