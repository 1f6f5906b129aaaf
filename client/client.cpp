#include "client/client.h"

#include <algorithm>
#include <cstring>

#include "ipc/object_names.h"
#include "platform/platform.h"

namespace quillon::client {

namespace {

// Waits are cut into slices so a dead server is noticed long before the
// time-out.
constexpr std::uint32_t kSliceMs = 50;
// How often a start tries again while the server of an ended client is still
// shutting down: about three seconds in all.
constexpr int kRestartAttempts = 30;
constexpr std::uint32_t kRestartPauseMs = 100;

bool fail(Connection& connection, std::string message) {
    connection.error = std::move(message);
    return false;
}

bool connected(Connection& connection) {
    if (connection.block == nullptr) {
        return fail(connection, "not connected to a server");
    }
    return true;
}

enum class Wait { Signalled, TimedOut, ServerGone, Failed };

Wait waitForServer(Connection& connection, platform::Handle* event, std::uint32_t timeoutMs) {
    std::uint32_t waited = 0;
    for (;;) {
        const std::uint32_t slice = std::min(kSliceMs, timeoutMs - waited);
        const int r = platform::waitOne(event, slice);
        if (r == 0) {
            return Wait::Signalled;
        }
        if (r != platform::kWaitTimeout) {
            return Wait::Failed;
        }
        if (connection.process != nullptr && !serverRunning(connection)) {
            // It may have answered just before it ended.
            return platform::waitOne(event, 0) == 0 ? Wait::Signalled : Wait::ServerGone;
        }
        waited += slice;
        if (waited >= timeoutMs) {
            return Wait::TimedOut;
        }
    }
}

bool post(Connection& connection, platform::Handle* request, platform::Handle* done,
          const char* what, std::uint32_t timeoutMs) {
    // A late answer to an earlier timed-out command must not pass for this one.
    platform::waitOne(done, 0);
    if (!platform::setEvent(request)) {
        return fail(connection, std::string("could not post the ") + what + " command");
    }
    switch (waitForServer(connection, done, timeoutMs)) {
    case Wait::Signalled:
        return true;
    case Wait::TimedOut:
        return fail(connection, std::string("no answer on the ") + what + " channel within " +
                                    std::to_string(timeoutMs) + " ms");
    case Wait::ServerGone:
        return fail(connection,
                    std::string("the server ended before answering on the ") + what + " channel");
    case Wait::Failed:
        break;
    }
    return fail(connection, std::string("waiting on the ") + what + " channel failed");
}

template <typename T> void closeIf(T*& handle, void (*close)(T*)) {
    if (handle != nullptr) {
        close(handle);
        handle = nullptr;
    }
}

} // namespace

std::string defaultServerPath() {
    char dir[1024];
    if (!platform::executableDirectory(dir, sizeof dir)) {
        return {};
    }
    std::string path = std::string(dir) + "quillon-server";
    if (platform::pathSeparator() == '\\') {
        path += ".exe";
    }
    return path;
}

bool startServer(Connection& connection, const std::string& serverPath,
                 std::uint32_t readyTimeoutMs) {
    if (connection.process != nullptr || connection.block != nullptr) {
        return fail(connection, "already connected to a server");
    }
    const std::string path = serverPath.empty() ? defaultServerPath() : serverPath;
    if (path.empty()) {
        return fail(connection, "cannot find the directory of this program");
    }
    connection.ready = platform::createEvent(ipc::objectName(ipc::kClientReadyName).c_str(), true);
    if (connection.ready == nullptr) {
        return fail(connection, std::string("cannot create \"") + ipc::kClientReadyName +
                                    "\" (is another client running?)");
    }
    // A server whose client ended shuts down within a second; until then a
    // new one refuses to start beside it, so try again for a little while.
    Wait started = Wait::Failed;
    for (int attempt = 0;; ++attempt) {
        // An event left set by an earlier server must not pass for this one's.
        platform::waitOne(connection.ready, 0);
        // The server follows its parent, this process: it ends when we do.
        connection.process = platform::spawnProcess(path.c_str());
        if (connection.process == nullptr) {
            disconnect(connection);
            return fail(connection, "cannot start the server: " + path);
        }
        started = waitForServer(connection, connection.ready, readyTimeoutMs);
        int code = -1;
        if (started != Wait::ServerGone || attempt >= kRestartAttempts ||
            !platform::waitProcess(connection.process, 0, &code) ||
            code != ipc::kExitAnotherServer) {
            break;
        }
        platform::closeProcess(connection.process);
        connection.process = nullptr;
        platform::sleepMs(kRestartPauseMs);
    }
    switch (started) {
    case Wait::Signalled:
        break;
    case Wait::ServerGone: {
        int code = -1;
        platform::waitProcess(connection.process, 0, &code);
        disconnect(connection);
        if (code == ipc::kExitAnotherServer) {
            return fail(connection, "another server already serves these object names");
        }
        return fail(connection,
                    "the server ended during start-up with exit code " + std::to_string(code));
    }
    case Wait::TimedOut:
        disconnect(connection);
        return fail(connection,
                    "the server was not ready within " + std::to_string(readyTimeoutMs) + " ms");
    case Wait::Failed:
        disconnect(connection);
        return fail(connection, "waiting for the server to be ready failed (does another client "
                                "use the same object names?)");
    }

    connection.memory = platform::openSharedMemory(ipc::objectName(ipc::kSharedBlockName).c_str(),
                                                   ipc::kSharedBlockSize);
    if (connection.memory != nullptr) {
        connection.block =
            static_cast<std::uint8_t*>(platform::sharedMemoryData(connection.memory));
    }
    connection.mainMsg = platform::openEventForSet(ipc::objectName(ipc::kServerMsgName).c_str());
    connection.mainRetMsg =
        platform::createEvent(ipc::objectName(ipc::kServerRetMsgName).c_str(), true);
    connection.realTimeMsg =
        platform::openEventForSet(ipc::objectName(ipc::kRealTimeMsgName).c_str());
    connection.realTimeRetMsg =
        platform::createEvent(ipc::objectName(ipc::kRealTimeRetMsgName).c_str(), true);
    if (connection.block == nullptr || connection.mainMsg == nullptr ||
        connection.mainRetMsg == nullptr || connection.realTimeMsg == nullptr ||
        connection.realTimeRetMsg == nullptr) {
        disconnect(connection);
        return fail(connection, "the server is ready but its shared block or events cannot be "
                                "opened");
    }
    return true;
}

bool mainCommand(Connection& connection, std::int32_t code, std::int32_t arg1, std::int32_t arg2,
                 std::int32_t arg3, std::int32_t* result, std::uint32_t timeoutMs) {
    if (!connected(connection)) {
        return false;
    }
    ipc::storeI32(connection.block, ipc::kMainCommand, code);
    ipc::storeI32(connection.block, ipc::kMainArg1, arg1);
    ipc::storeI32(connection.block, ipc::kMainArg2, arg2);
    ipc::storeI32(connection.block, ipc::kMainArg3, arg3);
    if (!post(connection, connection.mainMsg, connection.mainRetMsg, "main", timeoutMs)) {
        return false;
    }
    if (result != nullptr) {
        *result = ipc::loadI32(connection.block, ipc::kMainCommand);
    }
    return true;
}

bool writeAudio(Connection& connection, const void* data, std::int32_t count, std::int32_t* result,
                std::uint32_t timeoutMs) {
    if (!connected(connection)) {
        return false;
    }
    const std::size_t fits =
        count <= 0 ? 0 : std::min(static_cast<std::size_t>(count), ipc::kPayloadSize);
    if (fits > 0 && data != nullptr) {
        std::memcpy(connection.block + ipc::kPayload, data, fits);
    }
    ipc::storeI32(connection.block, ipc::kMainCommand, ipc::kMainWrite);
    ipc::storeI32(connection.block, ipc::kMainArg1, count);
    if (!post(connection, connection.mainMsg, connection.mainRetMsg, "main", timeoutMs)) {
        return false;
    }
    if (result != nullptr) {
        *result = ipc::loadI32(connection.block, ipc::kMainCommand);
    }
    return true;
}

bool realTimeCommand(Connection& connection, std::int32_t code, std::int32_t arg,
                     std::int32_t* result, std::uint32_t timeoutMs) {
    if (!connected(connection)) {
        return false;
    }
    ipc::storeI32(connection.block, ipc::kRtCommand, code);
    ipc::storeI32(connection.block, ipc::kRtArgs, arg);
    if (!post(connection, connection.realTimeMsg, connection.realTimeRetMsg, "real-time",
              timeoutMs)) {
        return false;
    }
    if (result != nullptr) {
        *result = ipc::loadI32(connection.block, ipc::kRtCommand);
    }
    return true;
}

bool driverName(Connection& connection, std::int32_t index, std::string* name, bool* found,
                std::uint32_t timeoutMs) {
    if (!connected(connection)) {
        return false;
    }
    // The answer overlays the command word, and nothing is written when there
    // is no such driver: clear the rest of the name area first so that what
    // is left afterwards is exactly the command code, never an old name.
    std::memset(connection.block + ipc::kRtName, 0, ipc::kRtNameSize);
    if (!realTimeCommand(connection, ipc::kRtDriverName, index, nullptr, timeoutMs)) {
        return false;
    }
    char text[ipc::kRtNameSize + 1] = {};
    std::memcpy(text, connection.block + ipc::kRtName, ipc::kRtNameSize);
    // No name starts with the bytes of the code itself.
    const bool untouched = ipc::loadI32(connection.block, ipc::kRtCommand) == ipc::kRtDriverName;
    if (found != nullptr) {
        *found = !untouched;
    }
    if (name != nullptr) {
        *name = untouched ? std::string() : std::string(text);
    }
    return true;
}

bool sendSettings(Connection& connection, const ipc::DeviceSettings& settings,
                  std::uint32_t timeoutMs) {
    if (!connected(connection)) {
        return false;
    }
    ipc::storeI32(connection.block, ipc::kRtCommand, ipc::kRtSettings);
    ipc::writeSettings(connection.block, settings);
    return post(connection, connection.realTimeMsg, connection.realTimeRetMsg, "real-time",
                timeoutMs);
}

bool quitServer(Connection& connection, int* exitCode, std::uint32_t timeoutMs) {
    if (!mainCommand(connection, ipc::kMainQuit, 0, 0, 0, nullptr, timeoutMs)) {
        return false;
    }
    if (connection.process == nullptr) {
        return true;
    }
    // Shutdown may wait up to 8 s for a stuck thread before the process ends.
    int code = -1;
    if (!platform::waitProcess(connection.process, timeoutMs + 10000, &code)) {
        return fail(connection, "the server answered quit but did not end");
    }
    if (exitCode != nullptr) {
        *exitCode = code;
    }
    platform::closeProcess(connection.process);
    connection.process = nullptr;
    return true;
}

bool serverRunning(Connection& connection) {
    int code = 0;
    return connection.process != nullptr && !platform::waitProcess(connection.process, 0, &code);
}

void disconnect(Connection& connection) {
    closeIf(connection.mainMsg, platform::closeHandle);
    closeIf(connection.mainRetMsg, platform::closeHandle);
    closeIf(connection.realTimeMsg, platform::closeHandle);
    closeIf(connection.realTimeRetMsg, platform::closeHandle);
    if (connection.memory != nullptr) {
        platform::closeSharedMemory(connection.memory);
        connection.memory = nullptr;
        connection.block = nullptr;
    }
    if (connection.process != nullptr) {
        if (serverRunning(connection)) {
            platform::killProcess(connection.process);
            int code = 0;
            platform::waitProcess(connection.process, 5000, &code);
        }
        platform::closeProcess(connection.process);
        connection.process = nullptr;
    }
    closeIf(connection.ready, platform::closeHandle);
}

} // namespace quillon::client
