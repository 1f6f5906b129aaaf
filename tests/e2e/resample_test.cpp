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
#include "wav/wav.h"

namespace quillon {
namespace {

using e2e::beside;

constexpr const char* kFloat64 = "Quillon Virtual Float64";
// Free-running: it asks for the next half as soon as the last is filled, so these tests take
// no real time, and the silence it inserts whenever the rings run dry is left out when counting.
constexpr const char* kFastFloat = "Quillon Virtual Fast Float";
constexpr int kInputRate = 44100;

std::int64_t rounded(std::int64_t frames, int in, int out) {
    return (frames * out * 2 + in) / (2 * in);
}

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

// A float32 stereo capture's frames, those where both channels are silent left out: what a
// driver plays while the rings are empty, never part of the stream.
std::vector<float> soundOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<float> out;
    for (std::size_t at = 44; at + 8 <= all.size(); at += 8) {
        float frame[2];
        std::memcpy(frame, all.data() + at, 8);
        if (frame[0] != 0.0f || frame[1] != 0.0f) {
            out.insert(out.end(), frame, frame + 2);
        }
    }
    return out;
}

// Values of `got` that differ from `want` narrowed to float, as the driver's converter does;
// the first index that differs goes to `first`.
std::size_t floatMismatches(const std::vector<float>& got, const std::vector<double>& want,
                            std::size_t* first) {
    std::size_t n = 0;
    *first = want.size();
    for (std::size_t i = 0; i < want.size() && i < got.size(); ++i) {
        if (got[i] != static_cast<float>(want[i])) {
            *first = std::min(*first, i);
            ++n;
        }
    }
    return n;
}

std::vector<std::uint8_t> joined(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
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

    virtualdriver::Slot& slot(const char* key = kFloat64) {
        return control_->slots[registrationIndex(key)];
    }

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

    std::string captureTo(const char* key = kFloat64) {
        const std::string path = file("capture.wav");
        std::snprintf(slot(key).capturePath, sizeof slot(key).capturePath, "%s", path.c_str());
        return path;
    }

    void applySettings(std::int32_t quality, std::int32_t bufferMultiplier = 1,
                       const char* key = kFloat64, std::int32_t rate = 48000,
                       bool keepOpen = false) {
        std::int32_t count = 0;
        ASSERT_TRUE(client::realTimeCommand(connection_, ipc::kRtDriverCount, 0, &count));
        ipc::DeviceSettings settings;
        settings.driverIndex = -1;
        for (std::int32_t i = 0; i < count; ++i) {
            std::string name;
            bool found = false;
            ASSERT_TRUE(client::driverName(connection_, i, &name, &found));
            if (found &&
                name == virtualdriver::kRegistrations[registrationIndex(key)].description) {
                settings.driverIndex = i;
            }
        }
        ASSERT_GE(settings.driverIndex, 0);
        settings.bufferMultiplier = bufferMultiplier;
        settings.resampleEnable = 1;
        settings.resampleRate = rate;
        settings.resampleQuality = quality;
        settings.keepDriverOpen = keepOpen ? 1 : 0;
        settings.resamplerPriority = 2;
        ASSERT_TRUE(client::sendSettings(connection_, settings)) << connection_.error;
    }

    // Keep-open mode on the free-running driver at 48 kHz, its capture's path.
    std::string keepOpenCapture(int quality) {
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        const std::string capture = captureTo(kFastFloat);
        applySettings(quality, 1, kFastFloat, 48000, true);
        return capture;
    }

    // A quit in keep-open mode plays what the stream still holds, then ends the server.
    void quitPlayingTheRest() {
        int exitCode = -1;
        ASSERT_TRUE(client::quitServer(connection_, &exitCode, 30000)) << connection_.error;
        EXPECT_EQ(exitCode, 0);
    }

    // quillon-resample's 64-bit output for the same input.
    std::vector<double> offline(const std::vector<std::uint8_t>& input, int quality,
                                int inputRate = kInputRate, int outputRate = 48000) {
        const std::string in = file("input.wav");
        const std::string out = file("offline.wav");
        e2e::writeStereo16(in, inputRate, input);
        const std::string tool = beside(QUILLON_RESAMPLE_FILE);
        const std::string q = std::to_string(quality);
        const std::string rate = std::to_string(outputRate);
        const char* argv[] = {in.c_str(), out.c_str(), "--rate", rate.c_str(), "--quality",
                              q.c_str(),  "--format",  "f64",    "--quiet",    nullptr};
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
    constexpr int kFrames = 22050;
    const std::vector<std::uint8_t> input = signal(kFrames);
    for (const int quality : {0, 2}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        const std::string capture = captureTo();
        // Any silence padded in would break the sample-for-sample comparison: the driver
        // switches only when the rings were topped up, however loaded the machine.
        useSteppedClock(slot());
        applySettings(quality);
        ASSERT_EQ(main(ipc::kMainOpen, kInputRate, 16, 2), 8100);
        EXPECT_EQ(slot().status.sampleRateHz.load(), 48000);
        ASSERT_TRUE(writeAll(input));
        EXPECT_EQ(realTime(ipc::kRtWrittenPosition), kFrames * 1000 / kInputRate);
        drain();
        const std::vector<double> expected = offline(input, quality);
        ASSERT_GT(expected.size(), 2u * 24000u - 2000u);
        // Counted at the driver's rate: every converted frame, which is the input's length.
        const auto wantMs = static_cast<std::int32_t>(expected.size() / 2 * 1000 / 48000);
        EXPECT_EQ(expected.size() / 2,
                  static_cast<std::size_t>(rounded(kFrames, kInputRate, 48000)));
        EXPECT_NEAR(realTime(ipc::kRtOutputPosition), wantMs, 1);
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

// The end of a stream at every level, in both directions: the driver receives exactly the
// input's length at its rate, the played position meets the written one, and no answer to the
// drain query waits for the converter's tail to play.
TEST_F(ResampleEndToEnd, EndOfStreamPlaysExactlyTheInputAtEveryQuality) {
    struct Direction {
        int in, out;
    };
    std::uint32_t slowestOverall = 0;
    for (const Direction d : {Direction{44100, 48000}, Direction{48000, 44100}}) {
        for (int quality = 0; quality <= 4; ++quality) {
            SCOPED_TRACE(::testing::Message() << d.in << " -> " << d.out << " q" << quality);
            std::memset(static_cast<void*>(control_), 0, sizeof *control_);
            const std::string capture = captureTo(kFastFloat);
            applySettings(quality, 1, kFastFloat, d.out);
            ASSERT_GE(main(ipc::kMainOpen, d.in, 16, 2), 8000);
            const int frames = d.in * 3 / 10 + 7;
            ASSERT_TRUE(writeAll(signal(frames)));
            const std::int32_t written = realTime(ipc::kRtWrittenPosition);
            EXPECT_EQ(written, static_cast<std::int32_t>(frames * 1000LL / d.in));

            std::uint32_t slowest = 0;
            const std::uint32_t start = platform::timerMs();
            for (;;) {
                const std::uint32_t asked = platform::timerMs();
                const std::int32_t playing = main(ipc::kMainQueryPlaying);
                slowest = std::max(slowest, platform::timerMs() - asked);
                if (playing == 0) {
                    break;
                }
                ASSERT_LT(platform::timerMs() - start, 60000u) << "the output never drained";
                platform::sleepMs(2);
            }
            EXPECT_NEAR(realTime(ipc::kRtOutputPosition), written, 1);
            closeOutput(false);

            const std::vector<float> sound = soundOf(capture);
            EXPECT_NEAR(static_cast<double>(sound.size() / 2),
                        static_cast<double>(rounded(frames, d.in, d.out)), 1.0);
            std::printf("[ measured ] %d -> %d q%d: longest drain query %u ms\n", d.in, d.out,
                        quality, slowest);
            slowestOverall = std::max(slowestOverall, slowest);
        }
    }
    // The flush itself is a few converter steps; what used to hold the channel was waiting for
    // the whole tail to play (2.5 s at quality 4), which no answer may do again.
    EXPECT_LT(slowestOverall, 2000u);
}

// Keep-open: a next track in the same format goes through the same converter, so the two play
// as one stream, without a gap and sample for sample as the offline tool converts them joined;
// the end of the second plays at the quit.
TEST_F(ResampleEndToEnd, KeepOpenTrackChangeToTheSameFormatCarriesTheConverterOn) {
    constexpr int kQuality = 2;
    const std::string capture = keepOpenCapture(kQuality);
    const std::vector<std::uint8_t> first = signal(20000);
    std::vector<std::uint8_t> second = signal(36000);
    second.erase(second.begin(), second.begin() + 4 * 21000);

    ASSERT_GE(main(ipc::kMainOpen, kInputRate, 16, 2), 8000);
    ASSERT_TRUE(writeAll(first));
    EXPECT_EQ(main(ipc::kMainQueryPlaying), 0) << "keep-open answers at once";
    closeOutput(true);
    ASSERT_GE(main(ipc::kMainOpen, kInputRate, 16, 2), 8000);
    ASSERT_TRUE(writeAll(second));
    closeOutput(true);
    quitPlayingTheRest();

    const std::vector<double> want = offline(joined(first, second), kQuality);
    const std::vector<float> got = soundOf(capture);
    EXPECT_EQ(got.size(), want.size());
    std::size_t at = 0;
    EXPECT_EQ(floatMismatches(got, want, &at), 0u) << "first difference at value " << at;
}

// Keep-open: a next track that needs no converter first plays all that the old one still held,
// then its own frames.
TEST_F(ResampleEndToEnd, KeepOpenTrackChangeToAnotherFormatPlaysTheOldTailFirst) {
    constexpr int kQuality = 2;
    const std::string capture = keepOpenCapture(kQuality);
    const std::vector<std::uint8_t> first = signal(20000);
    constexpr int kSecondFrames = 12000;

    ASSERT_GE(main(ipc::kMainOpen, kInputRate, 16, 2), 8000);
    ASSERT_TRUE(writeAll(first));
    closeOutput(true);
    ASSERT_GE(main(ipc::kMainOpen, 48000, 16, 2), 8000);
    ASSERT_TRUE(writeAll(signal(kSecondFrames)));
    closeOutput(true);
    quitPlayingTheRest();

    const std::vector<double> want = offline(first, kQuality);
    const std::vector<float> got = soundOf(capture);
    EXPECT_EQ(got.size() / 2, want.size() / 2 + kSecondFrames);
    std::size_t at = 0;
    EXPECT_EQ(floatMismatches(got, want, &at), 0u) << "first difference at value " << at;
}

// quillon-ctl starts a server of its own.
class ResampleCtl : public e2e::VirtualDriverSuite {};

// With --keep-open the server answers the drain query at once; the sound still plays to its
// end, with and without a converter, and the tool says so with exit code 0.
TEST_F(ResampleCtl, KeepOpenPlaysTheWholeSoundAndExitsZero) {
    const std::string driver =
        virtualdriver::kRegistrations[registrationIndex(kFastFloat)].description;
    for (const bool resample : {false, true}) {
        SCOPED_TRACE(resample ? "resampled" : "as it is");
        std::memset(static_cast<void*>(control_), 0, sizeof *control_);
        const std::string path = beside(std::string("e2e-resample-ctl-") +
                                        (resample ? "resampled" : "plain") + "-capture.wav");
        std::remove(path.c_str());
        virtualdriver::Slot& slot = control_->slots[registrationIndex(kFastFloat)];
        std::snprintf(slot.capturePath, sizeof slot.capturePath, "%s", path.c_str());
        std::vector<std::string> args = {"tone",     "-q",    "--seconds",  "1",
                                         "--rate",   "44100", "--freq",     "997",
                                         "--driver", driver,  "--keep-open"};
        if (resample) {
            for (const char* arg : {"--resample", "--quality", "2"}) {
                args.emplace_back(arg);
            }
        }
        EXPECT_EQ(e2e::runProgram(beside(QUILLON_CTL_FILE), args), 0);
        // A tone passes zero now and then; a frame where both channels land on it exactly is
        // rare, so the count may fall short by a frame or two, never by a tail.
        const auto frames = static_cast<std::int64_t>(soundOf(path).size() / 2);
        const std::int64_t want = resample ? 48000 : 44100;
        EXPECT_LE(frames, want);
        EXPECT_GE(frames, want - 4);
    }
}

} // namespace
} // namespace quillon
