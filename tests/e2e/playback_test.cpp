// End to end: the real server process, started through the client library,
// plays into the virtual driver, and what the driver received is read back
// from its capture file.
//
// The test signal is a frame counter: channel 0 counts up, channel 1 holds its
// complement and so counts down. Read back in order, it shows at once whether
// any frame was lost, repeated or reordered, whether channels were swapped and
// how late the first frame came. Silent frames (all bytes zero) are padding the
// server plays when it has nothing queued; the counter never produces one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/client.h"
#include "install.h"
#include "platform/platform.h"
#include "stereo_wav.h"
#include "virtual_control.h"
#include "virtual_suite.h"

namespace quillon {
namespace {

using e2e::beside;

using virtualdriver::Slot;

constexpr int kRate = 48000;
constexpr const char* kFast16 = "Quillon Virtual Fast 16";
constexpr const char* kFastFloat = "Quillon Virtual Fast Float";

const virtualdriver::Registration& registration(const char* keyName, int* index = nullptr) {
    for (int i = 0; i < virtualdriver::kRegistrationCount; ++i) {
        if (std::strcmp(virtualdriver::kRegistrations[i].keyName, keyName) == 0) {
            if (index != nullptr) {
                *index = i;
            }
            return virtualdriver::kRegistrations[i];
        }
    }
    ADD_FAILURE() << "no registration " << keyName;
    return virtualdriver::kRegistrations[0];
}

// ---------------------------------------------------------------- the counter signal

int sampleBytes(int bits) {
    return (bits < 0 ? -bits : bits) / 8;
}

std::uint32_t getSample(const std::uint8_t* at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

// The code of frame `n` (counting from 1) on channel 0; channel 1 carries its
// complement. Floats count in steps of 2^-24 (exact in a float for any count a
// test writes), integers wrap around their width.
std::uint32_t upCode(std::uint32_t n, int bits) {
    if (bits == -32) {
        float value = static_cast<float>(n) / 16777216.0f;
        std::uint32_t code;
        std::memcpy(&code, &value, 4);
        return code;
    }
    return n & ((1u << bits) - 1u);
}

std::uint32_t downCode(std::uint32_t n, int bits) {
    if (bits == -32) {
        return upCode(n, bits) ^ 0x80000000u; // the negative value
    }
    return ~n & ((1u << bits) - 1u);
}

// Frames first..first+count-1 (counting from 1), interleaved: both counters on
// two channels, the up counter alone on one.
std::vector<std::uint8_t> counterFrames(std::uint32_t first, std::uint32_t count, int bits,
                                        int channels) {
    const int bytes = sampleBytes(bits);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(count) * channels * bytes);
    // Indexed stores: GCC 12 at -O3 misreads a bumped pointer as running past the end.
    std::size_t offset = 0;
    const auto put = [&](std::uint32_t value) {
        for (int i = 0; i < bytes; ++i) {
            out[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
        }
        offset += static_cast<std::size_t>(bytes);
    };
    for (std::uint32_t n = first; n < first + count; ++n) {
        put(upCode(n, bits));
        if (channels == 2) {
            put(downCode(n, bits));
        }
    }
    return out;
}

// The count a float code of the up counter stands for.
std::uint32_t floatCount(std::uint32_t code) {
    float value;
    std::memcpy(&value, &code, 4);
    return static_cast<std::uint32_t>(static_cast<double>(value) * 16777216.0 + 0.5);
}

struct CounterCheck {
    std::uint32_t firstCounted = 0; // counter value of the first non-silent frame
    std::uint32_t lastCounted = 0;
    std::uint32_t counted = 0; // non-silent frames
    std::uint32_t leadingSilence = 0;
    std::string fault; // empty when the counter ran on without a fault
};

// Reads a stereo capture of counter frames (a mono stream doubled to both
// channels when `mono`).
CounterCheck checkCounter(const std::vector<std::uint8_t>& data, int bits, bool mono) {
    CounterCheck check;
    const int bytes = sampleBytes(bits);
    const std::size_t frames = data.size() / (2 * bytes);
    const std::uint32_t mask = bits == -32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
    std::uint32_t expected = 0;
    for (std::size_t f = 0; f < frames; ++f) {
        const std::uint8_t* at = data.data() + f * 2 * bytes;
        const std::uint32_t left = getSample(at, bytes);
        const std::uint32_t right = getSample(at + bytes, bytes);
        if (left == 0 && right == 0) {
            if (check.counted == 0) {
                ++check.leadingSilence;
            }
            continue;
        }
        char text[160];
        bool pair = true;
        if (mono) {
            pair = left == right;
        } else if (bits == -32) {
            pair = right == (left ^ 0x80000000u);
        } else {
            pair = right == (~left & mask);
        }
        if (!pair) {
            std::snprintf(text, sizeof text, "frame %zu: channels %08x/%08x do not pair", f, left,
                          right);
            check.fault = text;
            return check;
        }
        if (check.counted != 0 && left != expected) {
            std::snprintf(text, sizeof text, "frame %zu: counter %08x after %08x (expected %08x)",
                          f, left, check.lastCounted, expected);
            check.fault = text;
            return check;
        }
        if (check.counted == 0) {
            check.firstCounted = left;
        }
        check.lastCounted = left;
        ++check.counted;
        expected = bits == -32 ? upCode(floatCount(left) + 1, bits) : (left + 1) & mask;
    }
    return check;
}

std::vector<std::uint8_t> readCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::uint8_t> all((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    // The driver writes a plain 44-byte WAV header for the formats used here.
    if (all.size() < 44) {
        return {};
    }
    return std::vector<std::uint8_t>(all.begin() + 44, all.end());
}

// ---------------------------------------------------------------- the fixture

class EndToEnd : public e2e::VirtualDriverSuite {
protected:
    void SetUp() override {
        ASSERT_NE(control_, nullptr);
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        if (startsServer()) {
            ASSERT_TRUE(client::startServer(connection_)) << connection_.error;
        }
    }

    virtual bool startsServer() const { return true; }

    void TearDown() override {
        int exitCode = -1;
        if (client::serverRunning(connection_)) {
            EXPECT_TRUE(client::quitServer(connection_, &exitCode, 10000)) << connection_.error;
            EXPECT_EQ(exitCode, 0);
        }
        client::disconnect(connection_);
        if (window_ != 0) {
            platform::destroyMessageWindow(window_);
        }
    }

    Slot& slot(const char* keyName) {
        int index = 0;
        registration(keyName, &index);
        return control_->slots[index];
    }

    // Points the driver's capture at a fresh file named after the test.
    std::string captureTo(const char* keyName) {
        std::string path =
            beside(std::string("e2e-") +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".wav");
        for (char& c : path) {
            c = c == '/' && platform::pathSeparator() != '/' ? platform::pathSeparator() : c;
        }
        std::remove(path.c_str());
        Slot& s = slot(keyName);
        std::snprintf(s.capturePath, sizeof s.capturePath, "%s", path.c_str());
        return path;
    }

    std::int32_t driverIndex(const char* keyName) {
        const std::string wanted = registration(keyName).description;
        std::int32_t count = 0;
        EXPECT_TRUE(client::realTimeCommand(connection_, ipc::kRtDriverCount, 0, &count));
        for (std::int32_t i = 0; i < count; ++i) {
            std::string name;
            bool found = false;
            EXPECT_TRUE(client::driverName(connection_, i, &name, &found));
            if (found && name == wanted) {
                return i;
            }
        }
        ADD_FAILURE() << "the server does not list " << wanted;
        return -1;
    }

    void applySettings(const char* keyName, ipc::DeviceSettings settings = {}) {
        settings.driverIndex = driverIndex(keyName);
        if (settings.bufferMultiplier == 0) {
            settings.bufferMultiplier = 1;
        }
        ASSERT_TRUE(client::sendSettings(connection_, settings)) << connection_.error;
    }

    // Waits until the played position has caught up with the written one.
    void waitPlayed() {
        const std::uint32_t start = platform::timerMs();
        while (realTime(ipc::kRtOutputPosition) < realTime(ipc::kRtWrittenPosition)) {
            ASSERT_LT(platform::timerMs() - start, 60000u) << "the played position stalled";
            platform::sleepMs(2);
        }
    }

    platform::WindowId window_ = 0;
};

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
    // Audio still queued at the reset is dropped, but the played position is
    // carried over from the written one and ends where the stream ends.
    EXPECT_NEAR(realTime(ipc::kRtOutputPosition), written, 2);
    closeOutput(false);

    // The capture restarted with the re-opened buffers: from there on the
    // counter runs without a fault to the last frame.
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
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        argv.push_back(nullptr);
        const std::string path = program.empty() ? beside(QUILLON_CTL_FILE) : program;
        platform::Process* process = platform::spawnProcess(path.c_str(), argv.data());
        if (process == nullptr) {
            ADD_FAILURE() << "cannot start " << path;
            return -1;
        }
        int exitCode = -1;
        if (!platform::waitProcess(process, 120000, &exitCode)) {
            platform::killProcess(process);
            ADD_FAILURE() << path << " did not end";
        }
        platform::closeProcess(process);
        return exitCode;
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
