// The server process: start-up, the main command loop, the real-time thread and
// shutdown. Everything lives in one record so tests can run a whole server
// inside a test process.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/clock.h"

namespace quillon::platform {
struct Handle;
struct SharedMemory;
struct Thread;
} // namespace quillon::platform
namespace quillon::device {
struct DriverList;
struct OutputDevice;
} // namespace quillon::device

namespace quillon::server {

struct Server {
    Clock clock;
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
// ready event. false when a shared object could not be created; everything
// made so far is then taken down again and the ready event is not set.
bool startServer(Server& server);

// Main thread. Serves main-channel commands until the quit command.
void runMainLoop(Server& server);

// Main thread. Ends the real-time thread (bounded waits) and releases
// everything in order. Safe on a partly started server.
void stopServer(Server& server);

// The whole process: start, serve, stop. Returns the process exit code.
int serverMain();

// Bounded end of a thread whose quit event has been set: 5000 ms, then a
// forced end and 3000 ms more. true when the thread is known to have ended.
bool endThread(platform::Thread* thread);

} // namespace quillon::server
