// The real-time channel answers while the main thread is stuck in a long
// write: a separate server process plays through the virtual driver, running
// on its own clock like hardware, while this process asks for positions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "ipc/shared_block.h"
#include "platform/platform.h"
#include "virtual_control.h"
#include "virtual_server.h"

namespace client = quillon::client;
namespace ipc = quillon::ipc;

namespace {

constexpr std::uint32_t kReady = 60000;
constexpr std::uint32_t kAnswer = 10000;

class BusyMainThread : public quillon::clienttest::VirtualDriverTest {
protected:
    void SetUp() override {
        VirtualDriverTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(client::startServer(c, {}, kReady)) << c.error;
    }
    void TearDown() override {
        client::disconnect(c);
        VirtualDriverTest::TearDown();
    }

    client::Connection c;
};

TEST_F(BusyMainThread, PositionsAreAnsweredDuringABlockingWrite) {
    // The first registration runs on a real-time clock at 44.1 kHz, 16-bit.
    const auto& registration = quillon::virtualdriver::kRegistrations[0];
    ASSERT_EQ(registration.clock, quillon::virtualdriver::Clock::RealTime);
    const std::int32_t index =
        quillon::clienttest::findDriver(c, registration.description, kAnswer);
    ASSERT_GE(index, 0) << registration.description << " is not listed";

    ipc::DeviceSettings settings;
    settings.driverIndex = index;
    ASSERT_TRUE(client::sendSettings(c, settings, kAnswer)) << c.error;
    std::int32_t latency = -1;
    ASSERT_TRUE(client::mainCommand(c, ipc::kMainOpen, 44100, 16, 2, &latency, kAnswer)) << c.error;
    ASSERT_GE(latency, 0) << "the open failed";

    // Two seconds of audio in one write: far more than the ring holds, so the
    // main thread stays inside the write until the driver has played most of it.
    constexpr std::int32_t kFrames = 88200;
    const std::vector<std::uint8_t> audio(kFrames * 4, 0x10);
    std::atomic<bool> writing{true};
    std::int32_t writeResult = -1;
    bool writeAnswered = false;
    const auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
        writeAnswered = client::writeAudio(c, audio.data(), static_cast<std::int32_t>(audio.size()),
                                           &writeResult, 60000);
        writing = false;
    });

    int answeredWhileWriting = 0;
    std::int32_t lastPosition = 0;
    while (writing) {
        std::int32_t played = -1;
        std::int32_t written = -1;
        // Short time-outs: a real-time thread stuck behind the main thread
        // would miss these while the write still runs. No early return here:
        // the writer thread must be joined whatever happens.
        const bool answered =
            client::realTimeCommand(c, ipc::kRtOutputPosition, 0, &played, 2000) &&
            client::realTimeCommand(c, ipc::kRtWrittenPosition, 0, &written, 2000);
        EXPECT_TRUE(answered) << c.error;
        if (!answered) {
            break;
        }
        if (writing) {
            ++answeredWhileWriting;
        }
        // Not monotonic: a late buffer switch moves the pipeline estimate back.
        lastPosition = played;
        EXPECT_GE(played, 0);
        EXPECT_LE(played, 2000);
        // The count is added only once the whole write has been taken.
        EXPECT_TRUE(written == 0 || written == 2000) << written;
        quillon::platform::sleepMs(20);
    }
    writer.join();
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_TRUE(writeAnswered) << c.error;
    EXPECT_EQ(writeResult, 0);
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000)) << "the write did not block";
    EXPECT_GE(answeredWhileWriting, 5);
    EXPECT_GT(lastPosition, 0);

    std::int32_t written = -1;
    ASSERT_TRUE(client::realTimeCommand(c, ipc::kRtWrittenPosition, 0, &written, kAnswer));
    EXPECT_EQ(written, 2000);

    // With a stream open the device would take these counts at their word:
    // every count outside the payload area is refused, and a count of 0
    // changes nothing.
    for (std::int32_t count :
         {-1, INT_MIN, static_cast<std::int32_t>(ipc::kPayloadSize) + 1, INT_MAX, 0}) {
        std::int32_t result = -1;
        // No source bytes: only the server's handling of the count is under test.
        ASSERT_TRUE(client::writeAudio(c, nullptr, count, &result, kAnswer)) << c.error;
        EXPECT_EQ(result, count == 0 ? 0 : 1) << count;
    }
    ASSERT_TRUE(client::realTimeCommand(c, ipc::kRtWrittenPosition, 0, &written, kAnswer));
    EXPECT_EQ(written, 2000);

    int exitCode = -1;
    ASSERT_TRUE(client::quitServer(c, &exitCode, kAnswer)) << c.error;
    EXPECT_EQ(exitCode, 0);
}

} // namespace
