// The client side of the server protocol: start a server process, post
// commands on either channel and wait for their answers, shut it down.
//
// Every call that waits takes a time-out and watches the server process, so a
// server that hangs or dies turns into an error message instead of a hang.
// Calls return false on failure and leave the reason in Connection::error.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/shared_block.h"

namespace quillon::platform {
struct Handle;
struct Process;
struct SharedMemory;
} // namespace quillon::platform

namespace quillon::client {

inline constexpr std::uint32_t kDefaultReadyTimeoutMs = 20000;
inline constexpr std::uint32_t kDefaultCommandTimeoutMs = 5000;

struct Connection {
    platform::Handle* ready = nullptr; // "Client_ReadyServer", ours
    platform::Process* process = nullptr;
    platform::SharedMemory* memory = nullptr;
    std::uint8_t* block = nullptr;
    platform::Handle* mainMsg = nullptr;
    platform::Handle* mainRetMsg = nullptr;
    platform::Handle* realTimeMsg = nullptr;
    platform::Handle* realTimeRetMsg = nullptr;
    std::string error;
};

// The server executable next to the calling program.
std::string defaultServerPath();

// Creates the ready event, starts the server at `serverPath` (empty: the
// default) and waits for it to be ready, then opens the block and the events.
bool startServer(Connection& connection, const std::string& serverPath = {},
                 std::uint32_t readyTimeoutMs = kDefaultReadyTimeoutMs);

// Posts a main-channel command and waits for its result word.
bool mainCommand(Connection& connection, std::int32_t code, std::int32_t arg1, std::int32_t arg2,
                 std::int32_t arg3, std::int32_t* result,
                 std::uint32_t timeoutMs = kDefaultCommandTimeoutMs);
// The write command: copies `count` bytes into the payload first. A count
// outside the payload area is still posted as given (callers may test the
// server's refusal), but only the bytes that fit are copied.
bool writeAudio(Connection& connection, const void* data, std::int32_t count, std::int32_t* result,
                std::uint32_t timeoutMs = kDefaultCommandTimeoutMs);

// Posts a real-time command with an int32 argument and waits; `result` is the
// command word afterwards.
bool realTimeCommand(Connection& connection, std::int32_t code, std::int32_t arg,
                     std::int32_t* result, std::uint32_t timeoutMs = kDefaultCommandTimeoutMs);
// Driver name by index; `found` is false when the server wrote nothing.
bool driverName(Connection& connection, std::int32_t index, std::string* name, bool* found,
                std::uint32_t timeoutMs = kDefaultCommandTimeoutMs);
bool sendSettings(Connection& connection, const ipc::DeviceSettings& settings,
                  std::uint32_t timeoutMs = kDefaultCommandTimeoutMs);

// Sends quit, waits for its answer and for the process to end.
bool quitServer(Connection& connection, int* exitCode,
                std::uint32_t timeoutMs = kDefaultCommandTimeoutMs);

// True while the started server process is running.
bool serverRunning(Connection& connection);

// Releases everything; a server still running is killed.
void disconnect(Connection& connection);

} // namespace quillon::client
