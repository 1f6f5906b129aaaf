// The server's lifetime around its client and beside other servers: it ends
// when the player that started it is killed, whatever it was doing, and a
// second server on the same object names leaves at once without touching the
// first. Real processes throughout: this test starts copies of itself as the
// player ("--player") and as a bare stand-in for a client ("--stand-in").
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "ipc/object_names.h"
#include "ipc/shared_block.h"
#include "platform/platform.h"
#include "virtual_control.h"
#include "virtual_server.h"

namespace client = quillon::client;
namespace ipc = quillon::ipc;
namespace platform = quillon::platform;
using quillon::clienttest::besideTest;

namespace {

constexpr std::uint32_t kReady = 60000;
constexpr std::uint32_t kAnswer = 10000;
// The bound the server keeps between its client's end and its own.
constexpr std::uint32_t kFollowMs = 1000;

std::string serverPath() {
    return client::defaultServerPath();
}
bool isWindows() {
    return platform::pathSeparator() == '\\';
}

// ---------------------------------------------------------------- the player

// Starts a server as a player does, opens the virtual driver and plays. In
// "stream" mode it queues a little audio and idles while it plays; in
// "write" mode it is inside a write that lasts seconds. Either way the server's
// id goes to `idFile` once the server is busy, and the player runs until killed.
int runPlayer(const char* idFile, const std::string& mode) {
    client::Connection c;
    if (!client::startServer(c, {}, kReady)) {
        std::fprintf(stderr, "player: %s\n", c.error.c_str());
        return 3;
    }
    const std::int32_t index = quillon::clienttest::findDriver(
        c, quillon::virtualdriver::kRegistrations[0].description, kAnswer);
    ipc::DeviceSettings settings;
    settings.driverIndex = index;
    std::int32_t latency = -1;
    if (index < 0 || !client::sendSettings(c, settings, kAnswer) ||
        !client::mainCommand(c, ipc::kMainOpen, 44100, 16, 2, &latency, kAnswer) || latency < 0) {
        std::fprintf(stderr, "player: no stream on the virtual driver\n");
        return 4;
    }
    // 0.1 s fits any ring and starts nothing; ten seconds in one write keeps
    // the server's main thread waiting for room all along.
    const std::int32_t frames = mode == "write" ? 441000 : 4410;
    const std::vector<std::uint8_t> audio(static_cast<std::size_t>(frames) * 4, 0x11);
    std::int32_t result = -1;
    if (mode != "write") {
        client::writeAudio(c, audio.data(), static_cast<std::int32_t>(audio.size()), &result,
                           kAnswer);
        client::mainCommand(c, ipc::kMainQueryPlaying, 0, 0, 0, &result, kAnswer);
    }
    if (FILE* out = std::fopen((std::string(idFile) + ".part").c_str(), "w")) {
        std::fprintf(out, "%llu\n",
                     static_cast<unsigned long long>(platform::processId(c.process)));
        std::fclose(out);
        std::rename((std::string(idFile) + ".part").c_str(), idFile);
    }
    if (mode == "write") {
        client::writeAudio(c, audio.data(), static_cast<std::int32_t>(audio.size()), &result,
                           120000);
    }
    platform::sleepMs(600000);
    return 0;
}

// ---------------------------------------------------------------- helpers

std::uint64_t readId(const std::string& path) {
    unsigned long long id = 0;
    if (FILE* in = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(in, "%llu", &id) != 1) {
            id = 0;
        }
        std::fclose(in);
    }
    return id;
}

// Waits until a server of these names serves, by its real-time request event.
bool serving(std::uint32_t timeoutMs) {
    const std::string name = ipc::objectName(ipc::kRealTimeMsgName);
    for (std::uint32_t waited = 0; waited < timeoutMs; waited += 20) {
        if (platform::Handle* h = platform::openEventForSet(name.c_str())) {
            platform::closeHandle(h);
            return true;
        }
        platform::sleepMs(20);
    }
    return false;
}

void quitWithExitCodeZero(client::Connection& c) {
    int exitCode = -1;
    ASSERT_TRUE(client::quitServer(c, &exitCode, kAnswer)) << c.error;
    EXPECT_EQ(exitCode, 0);
}

// A new client gets a server of its own, which answers and quits cleanly.
void newClientGetsItsOwnServer() {
    client::Connection c;
    ASSERT_TRUE(client::startServer(c, {}, kReady)) << c.error;
    std::int32_t playing = -1;
    EXPECT_TRUE(client::mainCommand(c, ipc::kMainQueryPlaying, 0, 0, 0, &playing, kAnswer));
    EXPECT_EQ(playing, 0);
    std::int32_t count = -1;
    EXPECT_TRUE(client::realTimeCommand(c, ipc::kRtDriverCount, 0, &count, kAnswer));
    EXPECT_GE(count, 1);
    quitWithExitCodeZero(c);
    client::disconnect(c);
}

// Kills the process at the end of a scope, so a failing test leaves no
// player behind to hold the object names.
struct Killer {
    platform::Process* process;
    ~Killer() {
        if (process != nullptr) {
            platform::killProcess(process);
            platform::closeProcess(process);
        }
    }
};

// A server started by hand beside a live one leaves at once with its code.
void expectASecondServerRefused() {
    platform::Process* second = platform::spawnProcess(serverPath().c_str());
    ASSERT_NE(second, nullptr);
    int code = -1;
    EXPECT_TRUE(platform::waitProcess(second, 30000, &code));
    EXPECT_EQ(code, ipc::kExitAnotherServer);
    platform::closeProcess(second);
}

class ServerLifetime : public quillon::clienttest::VirtualDriverTest {
protected:
    // Kills a player in `mode` once its server is busy; the server must be
    // gone within the bound.
    void killPlayerAndWatchItsServer(const char* mode) {
        const std::string idFile = besideTest("lifetime-") + mode + ".id";
        std::remove(idFile.c_str());
        const std::string self = besideTest(QUILLON_SELF_FILE);
        const char* const args[] = {"--player", idFile.c_str(), mode, nullptr};
        Killer guard{platform::spawnProcess(self.c_str(), args)};
        platform::Process* player = guard.process;
        ASSERT_NE(player, nullptr);
        std::uint64_t serverId = 0;
        int code = 0;
        for (int i = 0; i < 3000 && serverId == 0; ++i) {
            if (platform::waitProcess(player, 20, &code)) {
                break; // it ended by itself: reported below
            }
            serverId = readId(idFile);
        }
        ASSERT_NE(serverId, 0u) << "the player did not get a busy server (exit " << code << ")";
        platform::Handle* server = platform::watchProcess(serverId);
        ASSERT_NE(server, nullptr);
        // Well inside the write, which lasts seconds.
        platform::sleepMs(300);
        EXPECT_NE(platform::waitOne(server, 0), 0) << "the server ended before its player";

        platform::killProcess(player);
        ASSERT_TRUE(platform::waitProcess(player, 10000, &code));
        const auto killed = std::chrono::steady_clock::now();
        const int gone = platform::waitOne(server, 10000);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - killed);
        EXPECT_EQ(gone, 0) << "the server outlived its player";
        EXPECT_LE(took.count(), kFollowMs) << mode;
        platform::closeHandle(server);
        std::remove(idFile.c_str());

        newClientGetsItsOwnServer();
    }
};

TEST_F(ServerLifetime, ServerOfAPlayerKilledMidStreamEndsWithinASecond) {
    killPlayerAndWatchItsServer("stream");
}

TEST_F(ServerLifetime, ServerOfAPlayerKilledMidWriteEndsWithinASecond) {
    killPlayerAndWatchItsServer("write");
}

// A driver whose interrupt stalls mid-stream stops calling back for good. The
// quit still ends the server with exit code 0 within the play-out's bound: in
// keep-open mode it plays out what is queued, gives up once the driver took
// nothing for 3 s, and the stop wakes the stalled driver.
TEST_F(ServerLifetime, QuitAfterTheDriverStopsCallingBackEndsTheServer) {
    constexpr std::int64_t kPlayOutStallMs = 3000;
    for (const bool keepOpen : {false, true}) {
        SCOPED_TRACE(keepOpen ? "keep-open" : "plain");
        quillon::virtualdriver::Slot& slot = control_->slots[0];
        client::Connection c;
        ASSERT_TRUE(client::startServer(c, {}, kReady)) << c.error;
        ipc::DeviceSettings settings;
        settings.driverIndex = quillon::clienttest::findDriver(
            c, quillon::virtualdriver::kRegistrations[0].description, kAnswer);
        settings.keepDriverOpen = keepOpen;
        std::int32_t result = -1;
        ASSERT_TRUE(client::sendSettings(c, settings, kAnswer)) << c.error;
        ASSERT_TRUE(client::mainCommand(c, ipc::kMainOpen, 44100, 16, 2, &result, kAnswer));
        ASSERT_GE(result, 0) << "the open failed";

        // Fill the rings, so the driver starts and audio stays queued.
        std::int32_t writable = 0;
        ASSERT_TRUE(client::mainCommand(c, ipc::kMainQueryWritable, 0, 0, 0, &writable, kAnswer));
        ASSERT_GT(writable, 0);
        const std::vector<std::uint8_t> audio(static_cast<std::size_t>(writable), 0x22);
        ASSERT_TRUE(client::writeAudio(c, audio.data(), writable, &result, kAnswer));
        ASSERT_EQ(result, 0);
        const std::int32_t before = slot.status.bufferSwitches.load();
        for (int i = 0; i < 500 && slot.status.bufferSwitches.load() == before; ++i) {
            platform::sleepMs(10);
        }
        ASSERT_GT(slot.status.bufferSwitches.load(), before) << "the driver never called back";
        slot.faults.lateSwitchCount = -1;
        slot.faults.lateSwitchMs = 600000;
        // Long enough that the stall has begun.
        platform::sleepMs(200);

        const auto start = std::chrono::steady_clock::now();
        int exitCode = -1;
        EXPECT_TRUE(client::quitServer(c, &exitCode, kAnswer)) << c.error;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        EXPECT_EQ(exitCode, 0);
        EXPECT_LE(took.count(), kPlayOutStallMs + 2000);
        EXPECT_EQ(slot.status.running.load(), 0) << "the driver was never stopped";
        client::disconnect(c);
        clearFaults();
    }
}

// The optional argument names the client when it is not the parent; a second
// server beside it, with no client objects made before, leaves with its code.
TEST_F(ServerLifetime, NamedClientIsFollowedAndASecondServerLeavesItAlone) {
    const std::string self = besideTest(QUILLON_SELF_FILE);
    const char* const standInArgs[] = {"--stand-in", nullptr};
    Killer standInGuard{platform::spawnProcess(self.c_str(), standInArgs)};
    platform::Process* standIn = standInGuard.process;
    ASSERT_NE(standIn, nullptr);
    const std::string id = std::to_string(platform::processId(standIn));
    const std::string server = serverPath();
    const char* const serverArgs[] = {"--client", id.c_str(), nullptr};
    Killer firstGuard{platform::spawnProcess(server.c_str(), serverArgs)};
    platform::Process* first = firstGuard.process;
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(serving(kReady));

    expectASecondServerRefused();
    int code = -1;
    EXPECT_FALSE(platform::waitProcess(first, 0, &code)) << "the first server ended";
    EXPECT_TRUE(serving(100));

    platform::killProcess(standIn);
    ASSERT_TRUE(platform::waitProcess(standIn, 10000, &code));
    code = -1;
    EXPECT_TRUE(platform::waitProcess(first, kFollowMs, &code)) << "the server outlived its client";
    platform::waitProcess(first, 10000, &code);
    EXPECT_EQ(code, 0);
}

// With a client connected (its objects made first), a second server started
// by hand leaves at once and the client's server serves on.
TEST_F(ServerLifetime, SecondServerBesideAConnectedClientLeavesAtOnce) {
    client::Connection c;
    ASSERT_TRUE(client::startServer(c, {}, kReady)) << c.error;
    expectASecondServerRefused();

    // Every command still reaches the first server, and its quit ends it.
    for (int i = 0; i < 20; ++i) {
        std::int32_t result = -1;
        ASSERT_TRUE(client::mainCommand(c, ipc::kMainQueryWritable, 0, 0, 0, &result, kAnswer))
            << c.error;
        EXPECT_EQ(result, 0);
        ASSERT_TRUE(client::realTimeCommand(c, ipc::kRtWrittenPosition, 0, &result, kAnswer))
            << c.error;
        EXPECT_EQ(result, 0);
    }
    quitWithExitCodeZero(c);
    client::disconnect(c);
}

// On posix a named event is received by one process. A server that finds its
// request event received elsewhere could never hear a command: it must not
// announce itself.
TEST_F(ServerLifetime, ServerWhoseEventsAreReceivedElsewhereDoesNotServe) {
    if (isWindows()) {
        GTEST_SKIP() << "named events there are shared by every process that opens them";
    }
    platform::Handle* taken =
        platform::createEvent(ipc::objectName(ipc::kServerMsgName).c_str(), true);
    ASSERT_TRUE(platform::eventCanWait(taken));
    platform::Handle* ready =
        platform::createEvent(ipc::objectName(ipc::kClientReadyName).c_str(), true);
    const std::string server = serverPath();
    platform::Process* process = platform::spawnProcess(server.c_str());
    ASSERT_NE(process, nullptr);
    int code = -1;
    EXPECT_TRUE(platform::waitProcess(process, 30000, &code));
    EXPECT_EQ(code, ipc::kExitAnotherServer);
    EXPECT_NE(platform::waitOne(ready, 0), 0) << "it announced itself";
    platform::closeProcess(process);
    platform::closeHandle(ready);
    platform::closeHandle(taken);
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--player") == 0) {
        return runPlayer(argv[2], argv[3]);
    }
    if (argc >= 2 && std::strcmp(argv[1], "--stand-in") == 0) {
        platform::sleepMs(600000);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
