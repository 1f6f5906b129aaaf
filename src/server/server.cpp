#include "server/server.h"

#include <cstring>
#include <string_view>

#include "device/driver_list.h"
#include "device/invariants.h"
#include "device/output_device.h"
#include "ipc/object_names.h"
#include "ipc/shared_block.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "resample/worker.h"
#include "server/commands.h"

#include <cstdlib>
#include <cstring>

namespace quillon::server {

namespace {

constexpr const char* kLogVariable = "QUILLON_LOG";
constexpr const char* kLogFileName = "quillon-server.log";

// How often the idle main thread wakes to run a device close that a reset
// request handed over from another thread.
constexpr std::uint32_t kMainWakeMs = 50;

unsigned realTimeMain(void* arg) {
    Server& server = *static_cast<Server*>(arg);
    platform::nameThisThread("realtime");
    platform::Handle* request =
        platform::createEvent(ipc::objectName(ipc::kRealTimeMsgName).c_str(), true);
    platform::Handle* done =
        platform::createEvent(ipc::objectName(ipc::kRealTimeRetMsgName).c_str(), false);
    // A request event that another process already receives is no channel.
    if (request == nullptr || done == nullptr || !platform::eventCanWait(request)) {
        platform::logLine("real-time channel: its events could not be created or are "
                          "received by another process");
        server.realTimeFailed.store(true);
    }
    platform::setEvent(server.realTimeReady);
    if (!server.realTimeFailed.load()) {
        // The quit event comes first, so a request posted after it may go
        // unanswered rather than run against a server being taken down.
        platform::Handle* const waits[3] = {server.realTimeQuit, request, server.clientWatch};
        const int count = server.clientWatch != nullptr ? 3 : 2;
        for (;;) {
            const int woke = platform::waitAny(waits, count, platform::kInfinite);
            if (woke == 1) {
                handleRealTimeCommand(server.drivers, *server.device, server.block);
                platform::setEvent(done);
                continue;
            }
            if (woke == 2) {
                // The client ended. A reset request makes a write or drain
                // that waits for the driver give up at once, so the main
                // thread gets back to its loop and shuts down.
                server.clientGone.store(true);
                device::handleResetRequest(*server.device);
            }
            break;
        }
    }
    if (request != nullptr) {
        platform::closeHandle(request);
    }
    if (done != nullptr) {
        platform::closeHandle(done);
    }
    return 0;
}

void logDriverList(const device::DriverList& list) {
    platform::logLine("drivers: %d installed", list.count);
    for (const device::DriverEntry* entry = list.entries; entry != nullptr; entry = entry->next) {
        platform::logLine("driver %d: \"%s\" (key \"%s\")", entry->index, entry->name,
                          entry->keyName);
    }
}

// The log is on when QUILLON_LOG names a file, or when the user created
// quillon-server.log beside the executable: the player need not know.
void openLogIfAsked() {
    char path[1024];
    if (platform::getEnvironment(kLogVariable, path, sizeof path) && path[0] != '\0') {
        platform::openLog(path, false);
        return;
    }
    const std::string_view file = kLogFileName;
    if (platform::executableDirectory(path, sizeof path) &&
        std::strlen(path) + file.size() < sizeof path) {
        std::strcat(path, kLogFileName);
        platform::openLog(path, true);
    }
}

void closeIf(platform::Handle*& handle) {
    if (handle != nullptr) {
        platform::closeHandle(handle);
        handle = nullptr;
    }
}

// Main thread. Closes the device as the quit command does; nothing escapes.
void closeQuietly(Server& server) {
    try {
        device::closeDevice(*server.device);
    } catch (...) {
    }
}

// Main thread. Watches the client: the process named at start, else the one
// that started the server.
void watchClient(Server& server) {
    const bool parent = server.clientId == 0;
    const std::uint64_t id = parent ? platform::parentProcessId() : server.clientId;
    server.clientWatch = platform::watchProcess(id, true);
    // A parent that ended before the watch began has handed this process to
    // another; the watch may then name a newer process with the old id.
    if (server.clientWatch != nullptr && parent && platform::parentProcessId() != id) {
        platform::closeHandle(server.clientWatch);
        server.clientWatch = nullptr;
        server.clientGone.store(true);
    }
}

} // namespace

int startServer(Server& server) {
    // Before anything else: a second server must leave the first one's
    // objects alone, and a live first one holds this.
    server.instance = platform::acquireInstanceLock(ipc::objectName(ipc::kServerLockName).c_str());
    if (server.instance == nullptr) {
        platform::logLine("start-up refused: another server serves these object names");
        return kExitAnotherServer;
    }
    watchClient(server);
    if (server.clientWatch == nullptr && !server.clientGone.load()) {
        platform::logLine("the client process cannot be watched; serving until quit");
    }
    platform::ensureMessageQueue();
    // The worker comes first and goes last: closing the device at shutdown may
    // still send it a destroy command.
    if (!resample::startWorker(resample::processWorker())) {
        return kExitStartFailed;
    }

    server.drivers = device::readDriverList();
    logDriverList(*server.drivers);

    platform::chooseClock(server.clock);
    server.device = device::createOutputDevice(server.drivers, server.clock);

    server.memory = platform::openSharedMemory(ipc::objectName(ipc::kSharedBlockName).c_str(),
                                               ipc::kSharedBlockSize);
    if (server.memory != nullptr) {
        server.block = static_cast<std::uint8_t*>(platform::sharedMemoryData(server.memory));
    }
    server.mainMsg = platform::createEvent(ipc::objectName(ipc::kServerMsgName).c_str(), true);
    server.mainRetMsg =
        platform::createEvent(ipc::objectName(ipc::kServerRetMsgName).c_str(), false);
    // Without the block or the main channel every later command would touch
    // nothing valid; stopping here is the only safe answer.
    if (server.block == nullptr || server.mainMsg == nullptr || server.mainRetMsg == nullptr) {
        platform::logLine("start-up failed: the shared block or the main channel's events "
                          "could not be created");
        return kExitStartFailed;
    }
    // Another process already receives the requests: serving on would
    // announce a server that can never hear a command.
    if (!platform::eventCanWait(server.mainMsg)) {
        platform::logLine("start-up refused: another process receives the main channel");
        return kExitAnotherServer;
    }

    server.realTimeReady = platform::createEvent(nullptr, false);
    server.realTimeQuit = platform::createEvent(nullptr, false);
    if (server.realTimeReady == nullptr || server.realTimeQuit == nullptr) {
        return kExitStartFailed;
    }
    server.realTimeThread = platform::startThread(realTimeMain, &server);
    if (server.realTimeThread == nullptr) {
        return kExitStartFailed;
    }
    device::setRealTimeThread(*server.device, server.realTimeThread);
    platform::waitPumpingMessages(server.realTimeReady, platform::kInfinite);
    closeIf(server.realTimeReady);
    if (server.realTimeFailed.load()) {
        return kExitStartFailed;
    }

    if (platform::Handle* ready =
            platform::openEventForSet(ipc::objectName(ipc::kClientReadyName).c_str())) {
        platform::setEvent(ready);
        platform::closeHandle(ready);
        platform::logLine("ready; the client was told");
    } else {
        platform::logLine("ready; no client waits for the ready event");
    }
    return kExitDone;
}

void runMainLoop(Server& server) {
    for (;;) {
        if (server.clientGone.load()) {
            // Nobody is left to send quit: do what it does.
            platform::logLine("the client process ended; shutting down");
            closeQuietly(server);
            return;
        }
        const int woke = platform::waitPumpingMessages(server.mainMsg, kMainWakeMs);
        if (woke == 0) {
            const bool quit = handleMainCommand(*server.device, server.block);
            platform::setEvent(server.mainRetMsg);
            if (quit) {
                return;
            }
        } else if (woke != platform::kWaitTimeout) {
            // A failed wait would fail again at once; back off instead of spinning.
            platform::sleepMs(kMainWakeMs);
        }
        try {
            device::settleResetRequest(*server.device);
        } catch (...) {
            closeQuietly(server);
        }
        device::checkInvariants(*server.device);
    }
}

void stopServer(Server& server) {
    bool realTimeEnded = true;
    if (server.realTimeThread != nullptr) {
        platform::setEvent(server.realTimeQuit);
        realTimeEnded = platform::endThread(server.realTimeThread);
        platform::closeThread(server.realTimeThread);
        server.realTimeThread = nullptr;
    }
    // A thread that could be neither ended nor terminated (posix) still
    // holds the block, its quit event and the device: leave those to the end
    // of the process rather than free them under it.
    if (realTimeEnded) {
        closeIf(server.realTimeQuit);
        closeIf(server.clientWatch);
    }
    closeIf(server.realTimeReady);
    closeIf(server.mainMsg);
    closeIf(server.mainRetMsg);
    if (server.memory != nullptr && realTimeEnded) {
        platform::closeSharedMemory(server.memory);
    }
    server.memory = nullptr;
    server.block = nullptr;
    if (server.device != nullptr) {
        closeQuietly(server);
        if (realTimeEnded) {
            device::destroyOutputDevice(server.device);
        }
        server.device = nullptr;
    }
    if (server.drivers != nullptr) {
        device::freeDriverList(server.drivers);
        server.drivers = nullptr;
    }
    resample::stopWorker(resample::processWorker());
    // Last: a new server may take over only once the driver is released.
    if (server.instance != nullptr) {
        platform::releaseInstanceLock(server.instance);
        server.instance = nullptr;
    }
}

int serverMain(int argc, const char* const* argv) {
    openLogIfAsked();
    platform::nameThisThread("main");
    platform::logLine("Quillon server %s starting (%s)", QUILLON_VERSION, QUILLON_BUILD);
    Server server;
    for (int i = 1; argv != nullptr && i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--client") == 0) {
            server.clientId = std::strtoull(argv[i + 1], nullptr, 10);
        }
    }
    int exitCode = startServer(server);
    if (exitCode == kExitDone) {
        runMainLoop(server);
    }
    stopServer(server);
    if (const std::int64_t lost = platform::droppedLogEvents(); lost > 0) {
        platform::logLine("%lld driver-thread events were not logged (queue full)",
                          static_cast<long long>(lost));
    }
    platform::logLine("shutdown, exit code %d", exitCode);
    platform::closeLog();
    return exitCode;
}

} // namespace quillon::server
