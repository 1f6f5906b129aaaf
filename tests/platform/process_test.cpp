// Named events and shared memory between two real processes: the test and
// the peer program built beside it.

#include "platform/platform.h"
#include "test_names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quillon::platform {
namespace {

constexpr std::size_t kBlockSize = 1 << 20;

std::string peerPath() {
    char directory[1024];
    if (!executableDirectory(directory, sizeof directory)) {
        return {};
    }
    return std::string(directory) + QUILLON_PEER_NAME;
}

TEST(CrossProcess, PeerSharesTheBlockAndEventsBothWays) {
    const std::string blockName = test::uniqueName("peer block");
    const std::string doneName = test::uniqueName("peer done");
    const std::string pingName = test::uniqueName("peer ping");
    const std::string sizeText = std::to_string(kBlockSize);

    SharedMemory* memory = openSharedMemory(blockName.c_str(), kBlockSize);
    ASSERT_NE(memory, nullptr);
    auto* bytes = static_cast<unsigned char*>(sharedMemoryData(memory));
    std::memcpy(bytes, "ping", 4);
    Handle* done = createEvent(doneName.c_str(), true);
    ASSERT_NE(done, nullptr);

    const std::string path = peerPath();
    const char* args[] = {blockName.c_str(), sizeText.c_str(), doneName.c_str(), pingName.c_str(),
                          nullptr};
    Process* peer = spawnProcess(path.c_str(), args);
    ASSERT_NE(peer, nullptr) << path;

    EXPECT_EQ(waitOne(done, 30000), 0) << "the peer never set the event";
    EXPECT_EQ(std::memcmp(bytes + 4, "pong", 4), 0);
    EXPECT_EQ(bytes[kBlockSize - 1], 0xA5);

    // The peer created its event before it set ours, so it can be opened now.
    Handle* ping = openEventForSet(pingName.c_str());
    ASSERT_NE(ping, nullptr);
    ASSERT_TRUE(setEvent(ping));
    EXPECT_EQ(waitOne(done, 30000), 0);
    EXPECT_EQ(std::memcmp(bytes + 16, "again", 5), 0);

    int exitCode = -1;
    ASSERT_TRUE(waitProcess(peer, 30000, &exitCode));
    EXPECT_EQ(exitCode, 0);
    closeProcess(peer);
    closeHandle(ping);
    closeHandle(done);
    closeSharedMemory(memory);
}

TEST(CrossProcess, ExitCodeArrivesAndAStuckChildCanBeKilled) {
    const std::string path = peerPath();
    const char* wrongArgs[] = {"only-one", nullptr};
    Process* peer = spawnProcess(path.c_str(), wrongArgs);
    ASSERT_NE(peer, nullptr);
    int exitCode = -1;
    ASSERT_TRUE(waitProcess(peer, 30000, &exitCode));
    EXPECT_EQ(exitCode, 10) << "the arguments did not reach the child";
    closeProcess(peer);

    // Nobody sets this peer's "ping", so it waits until killed.
    const std::string blockName = test::uniqueName("stuck block");
    const std::string doneName = test::uniqueName("stuck done");
    const std::string sizeText = std::to_string(kBlockSize);
    SharedMemory* memory = openSharedMemory(blockName.c_str(), kBlockSize);
    ASSERT_NE(memory, nullptr);
    std::memcpy(sharedMemoryData(memory), "ping", 4);
    Handle* done = createEvent(doneName.c_str(), true);
    const std::string pingName = test::uniqueName("stuck ping");
    const char* args[] = {blockName.c_str(), sizeText.c_str(), doneName.c_str(), pingName.c_str(),
                          nullptr};
    peer = spawnProcess(path.c_str(), args);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(waitOne(done, 30000), 0);
    EXPECT_FALSE(waitProcess(peer, 50, &exitCode)) << "returned before the child ended";
    killProcess(peer);
    ASSERT_TRUE(waitProcess(peer, 30000, &exitCode));
    EXPECT_NE(exitCode, 0);
    closeProcess(peer);
    closeHandle(done);
    closeSharedMemory(memory);
}

} // namespace
} // namespace quillon::platform
