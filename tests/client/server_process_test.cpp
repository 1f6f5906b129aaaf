// Starts quillon-server as its own process and drives it through the client
// library, exactly as a player would.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "ipc/shared_block.h"

namespace client = quillon::client;
namespace ipc = quillon::ipc;

namespace {

// Generous: under Wine the first process start in a prefix is slow.
constexpr std::uint32_t kReady = 60000;
constexpr std::uint32_t kAnswer = 10000;

class ServerProcess : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(client::startServer(c, {}, kReady)) << c.error; }
    void TearDown() override { client::disconnect(c); }

    std::int32_t post(std::int32_t code, std::int32_t a1 = 0, std::int32_t a2 = 0,
                      std::int32_t a3 = 0) {
        std::int32_t result = INT_MIN + 1;
        EXPECT_TRUE(client::mainCommand(c, code, a1, a2, a3, &result, kAnswer))
            << "code " << code << ": " << c.error;
        return result;
    }
    std::int32_t realTime(std::int32_t code, std::int32_t arg = 0) {
        std::int32_t result = INT_MIN + 1;
        EXPECT_TRUE(client::realTimeCommand(c, code, arg, &result, kAnswer))
            << "code " << code << ": " << c.error;
        return result;
    }
    void quitWithExitCodeZero() {
        int exitCode = -1;
        ASSERT_TRUE(client::quitServer(c, &exitCode, kAnswer)) << c.error;
        EXPECT_EQ(exitCode, 0);
        EXPECT_FALSE(client::serverRunning(c));
    }

    client::Connection c;
};

TEST_F(ServerProcess, EveryMainCodeIsAnsweredWithItsResultWord) {
    // 12-bit PCM is no format at all, so the open fails whatever drivers the
    // machine has, and everything after it sees no stream.
    EXPECT_EQ(post(ipc::kMainOpen, 44100, 12, 2), -1);
    EXPECT_EQ(post(ipc::kMainQueryWritable), 0);
    std::int32_t written = -1;
    const std::vector<std::uint8_t> audio(64, 0x55);
    ASSERT_TRUE(client::writeAudio(c, audio.data(), 64, &written, kAnswer)) << c.error;
    EXPECT_EQ(written, 1);
    EXPECT_EQ(post(ipc::kMainQueryPlaying), 0);
    EXPECT_EQ(post(ipc::kMainPause, 1), 0);
    EXPECT_EQ(post(ipc::kMainPause, 0), 0);
    post(ipc::kMainSeek, 1000);
    post(ipc::kMainCloseOutput);
    // Codes without a command are answered at once, as is everything else.
    for (std::int32_t code : {3, 4, 0, 1, 12, 99, -5}) {
        post(code, 1, 2, 3);
    }
    quitWithExitCodeZero();
}

TEST_F(ServerProcess, RealTimeCodesAnswerWithNoStreamOpen) {
    EXPECT_EQ(realTime(2), 2);
    EXPECT_EQ(realTime(ipc::kRtOutputPosition), 0);
    EXPECT_EQ(realTime(ipc::kRtWrittenPosition), 0);
    const std::int32_t count = realTime(ipc::kRtDriverCount);
    ASSERT_GE(count, 0);
    // Whatever is installed: every index below the count has a name that fits
    // the answer, and the indices around the list have none.
    for (std::int32_t index = 0; index < count; ++index) {
        std::string name;
        bool found = false;
        ASSERT_TRUE(client::driverName(c, index, &name, &found, kAnswer)) << c.error;
        EXPECT_TRUE(found) << index;
        EXPECT_LE(name.size(), 63u) << index;
    }
    for (std::int32_t index : {count, -1, INT_MIN}) {
        std::string name;
        bool found = true;
        ASSERT_TRUE(client::driverName(c, index, &name, &found, kAnswer)) << c.error;
        EXPECT_FALSE(found) << index;
    }
    ipc::DeviceSettings settings;
    settings.resampleRate = 48000;
    ASSERT_TRUE(client::sendSettings(c, settings, kAnswer)) << c.error;
    EXPECT_EQ(ipc::loadI32(c.block, ipc::kRtCommand), ipc::kRtSettings);
    quitWithExitCodeZero();
}

TEST_F(ServerProcess, ASecondServerStartsAfterACleanQuit) {
    quitWithExitCodeZero();
    client::disconnect(c);
    ASSERT_TRUE(client::startServer(c, {}, kReady)) << c.error;
    EXPECT_EQ(post(ipc::kMainQueryPlaying), 0);
    EXPECT_EQ(realTime(ipc::kRtOutputPosition), 0);
    quitWithExitCodeZero();
}

TEST_F(ServerProcess, CommandsAfterQuitFailInsteadOfHanging) {
    quitWithExitCodeZero();
    std::int32_t result = 0;
    EXPECT_FALSE(client::mainCommand(c, ipc::kMainQueryPlaying, 0, 0, 0, &result, 2000));
    EXPECT_FALSE(client::realTimeCommand(c, ipc::kRtDriverCount, 0, &result, 2000));
}

// Any word on either channel, both channels at once: every command is
// answered and the server still quits cleanly.
TEST_F(ServerProcess, BadInputOnBothChannelsNeverCrashesOrHangs) {
    const std::vector<std::int32_t> words{INT_MIN, -65, -1, 0,  1,  2,  3,  4,  5,  6,    7,
                                          8,       9,   10, 11, 12, 13, 14, 64, 99, 1000, INT_MAX};
    const std::vector<std::int32_t> args{INT_MIN,
                                         -64,
                                         -1,
                                         0,
                                         1,
                                         8,
                                         63,
                                         64,
                                         static_cast<std::int32_t>(ipc::kPayloadSize),
                                         static_cast<std::int32_t>(ipc::kPayloadSize) + 1,
                                         INT_MAX};
    std::atomic<int> realTimeFailures{0};
    std::thread realTimeClient([&] {
        for (std::int32_t code : words) {
            for (std::int32_t arg : args) {
                std::int32_t result = 0;
                if (!client::realTimeCommand(c, code, arg, &result, kAnswer)) {
                    ++realTimeFailures;
                }
            }
        }
    });
    for (std::int32_t code : words) {
        if (code == ipc::kMainQuit) {
            continue;
        }
        for (std::int32_t arg : args) {
            post(code, arg, arg, arg);
        }
    }
    realTimeClient.join();
    EXPECT_EQ(realTimeFailures.load(), 0);
    quitWithExitCodeZero();
}

} // namespace
