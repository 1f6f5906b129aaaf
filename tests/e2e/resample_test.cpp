// End to end with sample-rate conversion: a 44.1 kHz client stream through the
// real server into the virtual driver's 48 kHz-only 64-bit float registration,
// compared with what quillon-resample makes of the same input.
#include <gtest/gtest.h>

#include <cmath>
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
#include "wav.h"

namespace quillon {
namespace {

using e2e::beside;

constexpr const char* kFloat64 = "Quillon Virtual Float64";
constexpr int kInputRate = 44100;

int registrationIndex(const char* keyName) {
    for (int i = 0; i < virtualdriver::kRegistrationCount; ++i) {
        if (std::strcmp(virtualdriver::kRegistrations[i].keyName, keyName) == 0) {
            return i;
        }
    }
    ADD_FAILURE() << "no registration " << keyName;
    return 0;
}

// Stereo 16-bit, below full scale, never silent at the start.
std::vector<std::uint8_t> signal(int frames) {
    std::vector<std::int16_t> s;
    for (int i = 0; i < frames; ++i) {
        s.push_back(static_cast<std::int16_t>(6000 + 14000 * std::sin(i * 0.045)));
        s.push_back(static_cast<std::int16_t>(-5000 + 11000 * std::sin(i * 0.013 + 0.5)));
    }
    std::vector<std::uint8_t> b(s.size() * 2);
    std::memcpy(b.data(), s.data(), b.size());
    return b;
}

// Interleaved doubles after the 44-byte header the driver writes.
std::vector<double> readCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (all.size() < 44) {
        return {};
    }
    std::vector<double> out((all.size() - 44) / 8);
    std::memcpy(out.data(), all.data() + 44, out.size() * 8);
    return out;
}

std::vector<double> readWav64(const std::string& path) {
    tools::WavReader reader;
    std::string error;
    EXPECT_TRUE(reader.open(path, error)) << error;
    EXPECT_EQ(reader.format().bits, 64);
    std::vector<double> out(static_cast<std::size_t>(reader.frames()) * 2);
    reader.read(reinterpret_cast<std::uint8_t*>(out.data()),
                static_cast<std::size_t>(reader.frames()));
    return out;
}

// Stereo frames from the first one that is not silent.
std::vector<double> fromFirstSound(const std::vector<double>& v) {
    std::size_t f = 0;
    while (f + 1 < v.size() && v[f] == 0.0 && v[f + 1] == 0.0) {
        f += 2;
    }
    return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(f), v.end());
}

class ResampleEndToEnd : public e2e::VirtualDriverSuite {
protected:
    void SetUp() override {
        commandTimeoutMs_ = 30000; // a converter at quality 2 is designed inside the open
        pieces_ = {3, 4093, 16384, 7, 8191, 1021}; // larger pieces: each write feeds the converter
        ASSERT_NE(control_, nullptr);
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        ASSERT_TRUE(client::startServer(connection_)) << connection_.error;
    }
    void TearDown() override {
        int exitCode = -1;
        if (client::serverRunning(connection_)) {
            EXPECT_TRUE(client::quitServer(connection_, &exitCode, 15000)) << connection_.error;
            EXPECT_EQ(exitCode, 0);
        }
        client::disconnect(connection_);
    }

    virtualdriver::Slot& slot() { return control_->slots[registrationIndex(kFloat64)]; }

    std::string file(const char* what) {
        std::string path =
            beside(std::string("e2e-resample-") +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + what);
        for (char& c : path) {
            c = c == '/' && platform::pathSeparator() != '/' ? platform::pathSeparator() : c;
        }
        std::remove(path.c_str());
        return path;
    }

    std::string captureTo() {
        const std::string path = file("capture.wav");
        std::snprintf(slot().capturePath, sizeof slot().capturePath, "%s", path.c_str());
        return path;
    }

    void applySettings(std::int32_t quality, std::int32_t bufferMultiplier = 1) {
        std::int32_t count = 0;
        ASSERT_TRUE(client::realTimeCommand(connection_, ipc::kRtDriverCount, 0, &count));
        ipc::DeviceSettings settings;
        settings.driverIndex = -1;
        for (std::int32_t i = 0; i < count; ++i) {
            std::string name;
            bool found = false;
            ASSERT_TRUE(client::driverName(connection_, i, &name, &found));
            if (found &&
                name == virtualdriver::kRegistrations[registrationIndex(kFloat64)].description) {
                settings.driverIndex = i;
            }
        }
        ASSERT_GE(settings.driverIndex, 0);
        settings.bufferMultiplier = bufferMultiplier;
        settings.resampleEnable = 1;
        settings.resampleRate = 48000;
        settings.resampleQuality = quality;
        settings.resamplerPriority = 2;
        ASSERT_TRUE(client::sendSettings(connection_, settings)) << connection_.error;
    }

    // quillon-resample's 64-bit output for the same input.
    std::vector<double> offline(const std::vector<std::uint8_t>& input, int quality) {
        const std::string in = file("input.wav");
        const std::string out = file("offline.wav");
        e2e::writeStereo16(in, kInputRate, input);
        const std::string tool = beside(QUILLON_RESAMPLE_FILE);
        const std::string q = std::to_string(quality);
        const char* argv[] = {in.c_str(), out.c_str(), "--rate", "48000",   "--quality",
                              q.c_str(),  "--format",  "f64",    "--quiet", nullptr};
        platform::Process* process = platform::spawnProcess(tool.c_str(), argv);
        EXPECT_NE(process, nullptr) << tool;
        if (process == nullptr) {
            return {};
        }
        int exitCode = -1;
        EXPECT_TRUE(platform::waitProcess(process, 120000, &exitCode));
        platform::closeProcess(process);
        EXPECT_EQ(exitCode, 0);
        return readWav64(out);
    }
};

TEST_F(ResampleEndToEnd, PlaysAt48kAndMatchesTheOfflineConverterSampleForSample) {
    constexpr int kFrames = 22050; // half a second: the driver runs in real time
    const std::vector<std::uint8_t> input = signal(kFrames);
    for (const int quality : {0, 2}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        const std::string capture = captureTo();
        // A ring four times the usual, so that a machine busy with other tests does not let it
        // run dry: any silence padded in would break the sample-for-sample comparison.
        applySettings(quality, 7);
        // Ring 8 x 4 x 480 and pipeline 2 x 480 frames at 48 kHz: 340 ms, flagged.
        ASSERT_EQ(main(ipc::kMainOpen, kInputRate, 16, 2), 8340);
        EXPECT_EQ(slot().status.sampleRateHz.load(), 48000);
        ASSERT_TRUE(writeAll(input));
        EXPECT_EQ(realTime(ipc::kRtWrittenPosition), kFrames * 1000 / kInputRate);
        drain();
        const std::vector<double> expected = offline(input, quality);
        ASSERT_GT(expected.size(), 2u * 24000u - 2000u);
        // Counted at the driver's rate: every converted frame, and the zero-padded
        // last step the drain adds (the offline file stops at the input's length).
        const auto wantMs = static_cast<std::int32_t>(expected.size() / 2 * 1000 / 48000);
        const std::int32_t playedMs = realTime(ipc::kRtOutputPosition);
        EXPECT_GE(playedMs, wantMs);
        EXPECT_LE(playedMs, wantMs + 400);
        closeOutput(false);

        const std::vector<double> got = fromFirstSound(readCapture(capture));
        const std::vector<double> want = fromFirstSound(expected);
        ASSERT_GE(got.size(), want.size());
        std::size_t mismatch = want.size();
        for (std::size_t i = 0; i < want.size() && mismatch == want.size(); ++i) {
            if (got[i] != want[i]) {
                mismatch = i;
            }
        }
        EXPECT_EQ(mismatch, want.size())
            << "first difference at value " << mismatch << ": "
            << (mismatch < want.size() ? got[mismatch] : 0.0) << " played, "
            << (mismatch < want.size() ? want[mismatch] : 0.0) << " offline; " << got.size()
            << " values played, " << want.size() << " offline";
    }
}

TEST_F(ResampleEndToEnd, SeekRestartsPositionsAndResetReopensMidStream) {
    applySettings(0);
    ASSERT_EQ(main(ipc::kMainOpen, kInputRate, 16, 2), 8100);
    ASSERT_TRUE(writeAll(signal(8000)));
    main(ipc::kMainSeek, 1500);
    EXPECT_EQ(realTime(ipc::kRtWrittenPosition), 1500);
    EXPECT_EQ(realTime(ipc::kRtOutputPosition), 1500);

    // The driver asks for a reset while the stream goes on after the seek.
    slot().faults.messageAfterSwitches = 20;
    slot().faults.messageSelector = asio::kAsioResetRequest;
    constexpr int kFrames = 44100;
    ASSERT_TRUE(writeAll(signal(kFrames)));
    drain();
    EXPECT_EQ(slot().status.messagesSent.load(), 1);
    EXPECT_GE(slot().status.initCalls.load(), 2) << "no re-open after the reset";
    const std::int32_t written = realTime(ipc::kRtWrittenPosition);
    EXPECT_EQ(written, static_cast<std::int32_t>((1500LL * kInputRate / 1000 + kFrames) * 1000 /
                                                 kInputRate));
    // Played follows written through the reset; the converter's tail adds a little.
    EXPECT_NEAR(realTime(ipc::kRtOutputPosition), written, 60);
    closeOutput(false);
}

TEST_F(ResampleEndToEnd, QuitWithAConverterStillHeldEndsCleanly) {
    applySettings(2);
    ASSERT_EQ(main(ipc::kMainOpen, kInputRate, 16, 2), 8100);
    ASSERT_TRUE(writeAll(signal(6000)));
    // No close: the server's own shutdown releases the device and then the worker.
    int exitCode = -1;
    ASSERT_TRUE(client::quitServer(connection_, &exitCode, 15000)) << connection_.error;
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(slot().status.instances.load(), 0);
}

} // namespace
} // namespace quillon
