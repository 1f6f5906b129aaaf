// End to end: the real server process, started through the client library,
// plays into the virtual driver, and what the driver received is read back
// from its capture file (the counter signal of counter_signal.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/client.h"
#include "counter_signal.h"
#include "install.h"
#include "platform/platform.h"
#include "stereo_wav.h"
#include "virtual_control.h"
#include "virtual_suite.h"

namespace quillon {
namespace {

using e2e::beside;
using e2e::checkCounter;
using e2e::CounterCheck;
using e2e::counterFrames;
using e2e::EndToEnd;
using e2e::readCapture;
using e2e::registration;
using e2e::upCode;
using virtualdriver::Slot;

constexpr int kRate = 48000;
constexpr const char* kFast16 = "Quillon Virtual Fast 16";
constexpr const char* kFastFloat = "Quillon Virtual Fast Float";

// ---------------------------------------------------------------- tests

struct IdentityCase {
    const char* name;
    const char* keyName;
    std::int32_t overrideType; // 0: the registration's own
    int bits;
};

TEST_F(EndToEnd, IdentityPathsComeBackBitExact) {
    const IdentityCase cases[] = {
        {"16 to 16", kFast16, 0, 16},
        {"24 to 24", kFast16, asio::ASIOSTInt24LSB, 24},
        {"float to float", kFastFloat, 0, -32},
    };
    // Past the 16-bit wrap, so the counter's wrap is checked too.
    constexpr std::uint32_t kFrames = 70000;
    for (const IdentityCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        if (c.overrideType != 0) {
            slot(c.keyName).faults.sampleType = c.overrideType;
            slot(c.keyName).faults.overrideSampleType = 1;
        }
        const std::string capture = captureTo(c.keyName);
        applySettings(c.keyName);
        ASSERT_GE(main(ipc::kMainOpen, kRate, c.bits, 2), 0);
        ASSERT_TRUE(writeAll(counterFrames(1, kFrames, c.bits, 2)));
        EXPECT_EQ(realTime(ipc::kRtWrittenPosition),
                  static_cast<std::int32_t>(kFrames * 1000 / kRate));
        drain();
        EXPECT_EQ(realTime(ipc::kRtOutputPosition),
                  static_cast<std::int32_t>(kFrames * 1000 / kRate));
        closeOutput(false);

        CounterCheck check = checkCounter(readCapture(capture), c.bits, false);
        EXPECT_EQ(check.fault, "");
        EXPECT_EQ(check.firstCounted, upCode(1, c.bits));
        EXPECT_EQ(check.counted, kFrames);
        // The driver starts once the ring holds audio, so the first frame is
        // at most one buffer late.
        EXPECT_LE(check.leadingSilence,
                  static_cast<std::uint32_t>(registration(c.keyName).preferredBufferSize));
    }
}

TEST_F(EndToEnd, MonoPlaysOnBothChannels) {
    const std::string capture = captureTo(kFast16);
    ipc::DeviceSettings settings;
    settings.monoToStereo = true;
    applySettings(kFast16, settings);
    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 1), 0);
    // Below the 16-bit wrap: a mono counter passing 0 would look like silence.
    constexpr std::uint32_t kFrames = 30001;
    ASSERT_TRUE(writeAll(counterFrames(1, kFrames, 16, 1)));
    drain();
    closeOutput(false);
    EXPECT_EQ(slot(kFast16).status.bufferChannels.load(), 2);
    CounterCheck check = checkCounter(readCapture(capture), 16, true);
    EXPECT_EQ(check.fault, "");
    EXPECT_EQ(check.firstCounted, 1u);
    EXPECT_EQ(check.counted, kFrames);
}

TEST_F(EndToEnd, FirstChannelOffsetUsesTheLaterOutputs) {
    slot(kFast16).faults.channels = 4;
    const std::string capture = captureTo(kFast16);
    ipc::DeviceSettings settings;
    settings.firstChannel = 3; // channels 3 and 4 of a 4-channel driver do not exist
    applySettings(kFast16, settings);
    EXPECT_EQ(main(ipc::kMainOpen, kRate, 16, 2), -1);

    settings.firstChannel = 2;
    applySettings(kFast16, settings);
    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
    constexpr std::uint32_t kFrames = 20000;
    ASSERT_TRUE(writeAll(counterFrames(1, kFrames, 16, 2)));
    drain();
    closeOutput(false);
    EXPECT_EQ(slot(kFast16).status.bufferChannels.load(), 2);
    CounterCheck check = checkCounter(readCapture(capture), 16, false);
    EXPECT_EQ(check.fault, "");
    EXPECT_EQ(check.counted, kFrames);
}

TEST_F(EndToEnd, KeepOpenReopenKeepsPlaying) {
    const std::string capture = captureTo(kFast16);
    Slot& s = slot(kFast16);
    ipc::DeviceSettings settings;
    settings.keepDriverOpen = true;
    applySettings(kFast16, settings);
    constexpr std::uint32_t kFrames = 20000;
    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
    ASSERT_TRUE(writeAll(counterFrames(1, kFrames, 16, 2)));
    // In keep-open mode the server reports nothing playing; the positions tell.
    EXPECT_EQ(main(ipc::kMainQueryPlaying), 0);
    waitPlayed();
    closeOutput(true);
    EXPECT_EQ(s.status.running.load(), 1) << "the output stopped on a keep-output close";

    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
    EXPECT_EQ(s.status.running.load(), 1);
    ASSERT_TRUE(writeAll(counterFrames(kFrames + 1, kFrames, 16, 2)));
    waitPlayed();
    EXPECT_EQ(s.status.initCalls.load(), 1) << "the driver was loaded again";
    closeOutput(false);

    CounterCheck check = checkCounter(readCapture(capture), 16, false);
    EXPECT_EQ(check.fault, "");
    EXPECT_EQ(check.firstCounted, 1u);
    EXPECT_EQ(check.counted, 2 * kFrames);
}

TEST_F(EndToEnd, DriverResetMidStreamReopensAndPositionsContinue) {
    const std::string capture = captureTo(kFast16);
    Slot& s = slot(kFast16);
    s.faults.messageAfterSwitches = 40;
    s.faults.messageSelector = asio::kAsioResetRequest;
    applySettings(kFast16);
    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
    constexpr std::uint32_t kFrames = 60000;
    std::int32_t lastWritten = 0;
    bool backwards = false;
    ASSERT_TRUE(writeAll(counterFrames(1, kFrames, 16, 2), [&] {
        const std::int32_t written = realTime(ipc::kRtWrittenPosition);
        backwards = backwards || written < lastWritten;
        lastWritten = written;
    }));
    drain();
    EXPECT_FALSE(backwards) << "the written position went back";
    EXPECT_EQ(s.status.messagesSent.load(), 1);
    EXPECT_EQ(s.status.lastMessageResult.load(), 1);
    EXPECT_GE(s.status.initCalls.load(), 2) << "no re-open after the reset";
    const std::int32_t written = realTime(ipc::kRtWrittenPosition);
    EXPECT_EQ(written, static_cast<std::int32_t>(kFrames * 1000 / kRate));
    // The played position goes on over the re-open and ends where the stream ends.
    EXPECT_NEAR(realTime(ipc::kRtOutputPosition), written, 1);
    closeOutput(false);

    // The capture restarted with the re-opened buffers: from there on the
    // counter runs without a fault to the last frame (e2e_transitions_test
    // follows it across the re-open).
    CounterCheck check = checkCounter(readCapture(capture), 16, false);
    EXPECT_EQ(check.fault, "");
    EXPECT_EQ(check.lastCounted, kFrames & 0xFFFFu);
    EXPECT_GT(check.counted, 0u);
}

TEST_F(EndToEnd, FailedReopenNotifiesTheClientWindow) {
    window_ = platform::createMessageWindow();
    ASSERT_NE(window_, 0u);
    Slot& s = slot(kFast16);
    ipc::DeviceSettings settings;
    settings.notifyWindow = window_;
    applySettings(kFast16, settings);
    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
    // The driver comes back refusing to initialise, and asks for a reset.
    s.faults.failInit = 1;
    s.faults.messageAfterSwitches = 4;
    s.faults.messageSelector = asio::kAsioResetRequest;
    const std::vector<std::uint8_t> audio = counterFrames(1, 4800, 16, 2);
    std::int32_t result = -1;
    ASSERT_TRUE(client::writeAudio(connection_, audio.data(),
                                   static_cast<std::int32_t>(audio.size()), &result));
    ASSERT_EQ(result, 0);
    main(ipc::kMainQueryPlaying); // starts the driver
    const std::uint32_t start = platform::timerMs();
    while (s.status.messagesSent.load() == 0) {
        ASSERT_LT(platform::timerMs() - start, 30000u) << "the driver never asked for a reset";
        platform::sleepMs(2);
    }

    EXPECT_EQ(main(ipc::kMainQueryWritable), 0);
    platform::WindowMessage message{};
    ASSERT_TRUE(platform::receiveWindowMessage(window_, 10000, &message));
    EXPECT_EQ(message.message, platform::kWmCommand);
    EXPECT_EQ(message.wParam, ipc::kResetFailedCommandId);
    EXPECT_EQ(message.lParam, 0);
    // The stream is gone: writes are refused and positions answer 0.
    ASSERT_TRUE(client::writeAudio(connection_, audio.data(), 4, &result));
    EXPECT_EQ(result, 1);
    EXPECT_EQ(realTime(ipc::kRtWrittenPosition), 0);
    EXPECT_EQ(main(ipc::kMainQueryWritable), 0);
}

// ---------------------------------------------------------------- quillon-ctl

// quillon-ctl starts its own server.
class CtlEndToEnd : public EndToEnd {
protected:
    bool startsServer() const override { return false; }

    // Runs quillon-ctl (or `program`) with `args`; its exit code, or -1.
    static int runCtl(std::vector<std::string> args, const std::string& program = {}) {
        return e2e::runProgram(program.empty() ? beside(QUILLON_CTL_FILE) : program, args);
    }

    // A WAV file of counter frames written with the shared WAV writer.
    std::string counterWav(std::uint32_t frames) {
        const std::string path = beside("e2e-counter.wav");
        e2e::writeStereo16(path, kRate, counterFrames(1, frames, 16, 2));
        return path;
    }

    // Plays a counter file with `program` and checks what the driver received.
    void playCounterFile(const std::string& program, const std::string& serverPath) {
        constexpr std::uint32_t kFrames = 24000;
        const std::string file = counterWav(kFrames);
        const std::string capture = captureTo(kFast16);
        std::vector<std::string> args;
        if (!serverPath.empty()) {
            args = {"--server", serverPath};
        }
        for (const char* arg : {"play", "-q", "--driver"}) {
            args.emplace_back(arg);
        }
        args.emplace_back(registration(kFast16).description);
        args.push_back(file);
        ASSERT_EQ(runCtl(args, program), 0);
        CounterCheck check = checkCounter(readCapture(capture), 16, false);
        EXPECT_EQ(check.fault, "");
        EXPECT_EQ(check.firstCounted, 1u);
        EXPECT_EQ(check.counted, kFrames);
    }
};

TEST_F(CtlEndToEnd, PlayDeliversAWavFileExactly) {
    playCounterFile({}, {});
}

// Real players are often 32-bit: the i686 quillon-ctl against the 64-bit server.
TEST_F(CtlEndToEnd, ThirtyTwoBitClientPlaysThroughTheServer) {
#ifdef QUILLON_CTL32_PATH
    playCounterFile(QUILLON_CTL32_PATH, beside("quillon-server.exe"));
#else
    GTEST_SKIP() << "no 32-bit client build given (QUILLON_WIN32_CLIENT_DIR)";
#endif
}

TEST_F(CtlEndToEnd, FailuresHaveTheirOwnExitCodes) {
    const std::string junk = beside("e2e-junk.wav");
    std::FILE* file = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("RIFF....WAVEnot really", file);
    std::fclose(file);
    const std::string fast16 = registration(kFast16).description;
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        {{"play", beside("e2e-missing.wav")}, 2},
        {{"play", junk}, 2},
        {{"tone", "-q", "--seconds", "0.1", "--driver", "No Such Driver"}, 3},
        {{"tone", "-q", "--seconds", "0.1", "--driver", "999"}, 3},
        // The driver takes 44100, 48000 and 96000 Hz only.
        {{"tone", "-q", "--seconds", "0.1", "--rate", "22050", "--driver", fast16}, 4},
        {{"tone", "-q", "--seconds", "0.1", "--bits", "-64", "--driver", fast16}, 0},
        // The server lists this name cut to 60 characters; the full name still finds it.
        {{"tone", "-q", "--seconds", "0.1", "--driver",
          registration("Quillon Virtual Name 64").description},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        EXPECT_EQ(runCtl(c.args), c.exitCode);
    }
}

} // namespace
} // namespace quillon
