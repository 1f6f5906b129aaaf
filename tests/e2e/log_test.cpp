// The server's log, end to end: the real server process with the virtual
// driver, opted in through QUILLON_LOG as a user or quillon-ctl would.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/client.h"
#include "common/files.h"
#include "platform/platform.h"
#include "virtual_control.h"
#include "virtual_suite.h"

namespace quillon {
namespace {

using e2e::beside;

constexpr const char* kFast16 = "Quillon Virtual Fast 16";
constexpr int kRate = 48000;

using testing::fileExists;
using testing::readFile;

int registrationIndex(const char* keyName) {
    for (int i = 0; i < virtualdriver::kRegistrationCount; ++i) {
        if (std::string(virtualdriver::kRegistrations[i].keyName) == keyName) {
            return i;
        }
    }
    return -1;
}

// Stereo 16-bit frames counting up on the left, down on the right: never silent.
std::vector<std::uint8_t> counterFrames(std::uint32_t count) {
    std::vector<std::uint8_t> out;
    out.reserve(count * 4);
    for (std::uint32_t n = 1; n <= count; ++n) {
        const std::uint32_t down = ~n & 0xFFFFu;
        out.insert(out.end(),
                   {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                    static_cast<std::uint8_t>(down), static_cast<std::uint8_t>(down >> 8)});
    }
    return out;
}

// The captured frames without the silence the server plays when nothing is queued.
std::vector<std::uint8_t> soundingFrames(const std::string& capture) {
    const std::string all = readFile(capture);
    std::vector<std::uint8_t> out;
    for (std::size_t at = 44; at + 4 <= all.size(); at += 4) {
        if (all[at] != 0 || all[at + 1] != 0 || all[at + 2] != 0 || all[at + 3] != 0) {
            out.insert(out.end(), all.begin() + static_cast<std::ptrdiff_t>(at),
                       all.begin() + static_cast<std::ptrdiff_t>(at + 4));
        }
    }
    return out;
}

class LogEndToEnd : public e2e::VirtualDriverSuite {
protected:
    void SetUp() override {
        ASSERT_NE(control_, nullptr);
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        logPath_ = fileFor(".log");
        std::remove(logPath_.c_str());
        std::remove((logPath_ + ".1").c_str());
    }

    void TearDown() override {
        if (client::serverRunning(connection_)) {
            int exitCode = -1;
            client::quitServer(connection_, &exitCode, 10000);
        }
        client::disconnect(connection_);
        platform::setEnvironment("QUILLON_LOG", nullptr);
    }

    std::string fileFor(const char* suffix) {
        std::string path =
            beside(std::string("e2e-log-") +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix);
        for (char& c : path) {
            c = c == '/' && platform::pathSeparator() != '/' ? platform::pathSeparator() : c;
        }
        return path;
    }

    void startServer(bool logged) {
        ASSERT_TRUE(platform::setEnvironment("QUILLON_LOG", logged ? logPath_.c_str() : nullptr));
        ASSERT_TRUE(client::startServer(connection_)) << connection_.error;
    }

    virtualdriver::Slot& slot() { return control_->slots[registrationIndex(kFast16)]; }

    void selectFast16() {
        const std::string wanted =
            virtualdriver::kRegistrations[registrationIndex(kFast16)].description;
        std::int32_t count = 0;
        ASSERT_TRUE(client::realTimeCommand(connection_, ipc::kRtDriverCount, 0, &count));
        ipc::DeviceSettings settings;
        settings.bufferMultiplier = 1;
        settings.driverIndex = -1;
        for (std::int32_t i = 0; i < count; ++i) {
            std::string name;
            bool found = false;
            ASSERT_TRUE(client::driverName(connection_, i, &name, &found));
            if (found && name == wanted) {
                settings.driverIndex = i;
            }
        }
        ASSERT_GE(settings.driverIndex, 0);
        ASSERT_TRUE(client::sendSettings(connection_, settings)) << connection_.error;
    }

    // Open, play, pause and resume, close and quit, recording every result word.
    std::vector<std::int32_t> playSession(const std::string& capture, std::uint32_t frames) {
        std::snprintf(slot().capturePath, sizeof slot().capturePath, "%s", capture.c_str());
        std::vector<std::int32_t> results;
        selectFast16();
        results.push_back(main(ipc::kMainOpen, kRate, 16, 2));
        const std::vector<std::uint8_t> audio = counterFrames(frames);
        const std::size_t half = audio.size() / 2 / 4 * 4;
        EXPECT_TRUE(writeAll({audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(half)}));
        results.push_back(main(ipc::kMainPause, 1));
        results.push_back(main(ipc::kMainPause, 0));
        EXPECT_TRUE(writeAll({audio.begin() + static_cast<std::ptrdiff_t>(half), audio.end()}));
        drain();
        results.push_back(realTime(ipc::kRtWrittenPosition));
        closeOutput(false);
        results.push_back(main(ipc::kMainQueryPlaying));
        int exitCode = -1;
        EXPECT_TRUE(client::quitServer(connection_, &exitCode, 10000)) << connection_.error;
        results.push_back(exitCode);
        client::disconnect(connection_);
        return results;
    }

    std::string logPath_;
};

TEST_F(LogEndToEnd, NoLogUnlessOptedIn) {
    startServer(false);
    const std::string capture = fileFor(".wav");
    playSession(capture, 4000);
    EXPECT_FALSE(fileExists(logPath_));
    EXPECT_FALSE(fileExists(beside("quillon-server.log")));
}

TEST_F(LogEndToEnd, ASessionWithADriverResetReadsInTheLog) {
    slot().faults.messageAfterSwitches = 40;
    slot().faults.messageSelector = asio::kAsioResetRequest;
    startServer(true);
    const std::string capture = fileFor(".wav");
    const std::vector<std::int32_t> results = playSession(capture, 60000);
    EXPECT_EQ(slot().status.messagesSent.load(), 1);
    ASSERT_GE(results.front(), 0);
    const std::string log = readFile(logPath_);
    for (const char* line : {"Quillon server ",
                             "drivers: ",
                             "driver 0: \"",
                             "settings: driver ",
                             "command open: 48000 Hz, 16 bits, 2 channels",
                             "init: 1",
                             "getChannels: ASE_OK",
                             "getBufferSize: ASE_OK",
                             "channel 0: \"Out 1\" Int16LSB",
                             "setSampleRate(48000): ASE_OK",
                             "createBuffers(2 channels, 256 frames): ASE_OK",
                             "latencies: input 0, output 256",
                             "open done: latency",
                             "driver message: selector 3",
                             "re-open after a reset request",
                             "start: ASE_OK",
                             "stop: ASE_OK",
                             "command pause",
                             "command resume",
                             "command close output",
                             "disposeBuffers: ASE_OK",
                             "command quit",
                             "shutdown, exit code 0"}) {
        EXPECT_NE(log.find(line), std::string::npos) << "no \"" << line << "\" in\n" << log;
    }
}

TEST_F(LogEndToEnd, AFailingDriversOwnErrorTextReachesTheLog) {
    slot().faults.failInit = 1;
    startServer(true);
    selectFast16();
    EXPECT_EQ(main(ipc::kMainOpen, kRate, 16, 2), -1);
    // A write count outside the payload is refused and says why.
    std::int32_t result = 0;
    ASSERT_TRUE(client::writeAudio(connection_, nullptr, -5, &result));
    EXPECT_EQ(result, 1);
    int exitCode = -1;
    ASSERT_TRUE(client::quitServer(connection_, &exitCode, 10000));
    const std::string log = readFile(logPath_);
    EXPECT_NE(log.find("init: 0 (The virtual device is not available)"), std::string::npos) << log;
    EXPECT_NE(log.find("open refused or failed"), std::string::npos) << log;
    EXPECT_NE(log.find("write refused: count -5"), std::string::npos) << log;
}

TEST_F(LogEndToEnd, LoggingChangesNoResultAndNoSample) {
    startServer(false);
    const std::string quiet = fileFor("-quiet.wav");
    const std::vector<std::int32_t> quietResults = playSession(quiet, 30000);
    startServer(true);
    const std::string logged = fileFor("-logged.wav");
    const std::vector<std::int32_t> loggedResults = playSession(logged, 30000);
    EXPECT_EQ(loggedResults, quietResults);
    const std::vector<std::uint8_t> quietFrames = soundingFrames(quiet);
    EXPECT_EQ(quietFrames.size(), 30000u * 4);
    EXPECT_TRUE(soundingFrames(logged) == quietFrames) << "logging changed the captured sound";
    EXPECT_TRUE(fileExists(logPath_));
}

} // namespace
} // namespace quillon
