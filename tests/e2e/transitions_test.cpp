// End to end through every transition a driver or a player causes mid-stream:
// a latency change, a reset, a buffer-size change, a reset while paused, a
// reset asked for during the open, and several resets in a row. The real
// server plays the counter signal into a virtual driver clocked like hardware;
// each re-open captures to a file of its own, and the files read back in order
// must hold every frame written, once, in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "counter_signal.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace quillon {
namespace {

using e2e::counterFrames;
using e2e::EndToEnd;
using virtualdriver::Slot;

// 16-bit stereo, 512-frame half-buffers, 512 frames of latency, a real-time clock.
constexpr const char* kDevice = "Quillon Virtual";
constexpr int kRate = 44100;
// Below the 16-bit wrap of the counter.
constexpr std::uint32_t kFrames = 60000;

// The counter read back from the capture files, in order.
struct Tally {
    std::uint32_t counted = 0;  // frames carrying the counter
    std::uint32_t lost = 0;     // counter values never seen
    std::uint32_t repeated = 0; // frames whose value came before
    std::uint32_t silentInside = 0;
    std::string fault; // channels that do not pair
};

// One capture file's frames as the 16-bit counter codes (left, right) they carry.
std::vector<std::uint32_t> readCodes(const std::string& path) {
    std::vector<std::uint8_t> file = e2e::readCapture(path);
    std::vector<std::uint8_t> header(44);
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        header.resize(std::fread(header.data(), 1, header.size(), f));
        std::fclose(f);
    }
    if (header.size() < 44) {
        return {};
    }
    const int bytes = header[34] / 8;
    const int channels = header[22];
    std::vector<std::uint32_t> codes;
    for (std::size_t at = 0; at + static_cast<std::size_t>(bytes) <= file.size(); at += bytes) {
        std::int32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::int32_t>(file[at + i]) << (8 * i + 32 - 8 * bytes);
        }
        // Sign-extended to 32 bits, then the top 16 bits are the client's sample.
        codes.push_back(static_cast<std::uint32_t>(value >> 16) & 0xFFFFu);
        // A mono stream carries the up counter alone: its pair is implied,
        // and silence stays silence.
        if (channels == 1) {
            codes.push_back(codes.back() == 0 ? 0 : ~codes.back() & 0xFFFFu);
        }
    }
    return codes;
}

// Counts the counter values first..last (all frames of the test by default).
Tally tally(const std::vector<std::string>& files, std::uint32_t first = 1,
            std::uint32_t end = kFrames) {
    Tally t;
    std::uint32_t last = first - 1;
    std::uint32_t silence = 0;
    for (const std::string& path : files) {
        const std::vector<std::uint32_t> codes = readCodes(path);
        for (std::size_t i = 0; i + 1 < codes.size(); i += 2) {
            const std::uint32_t up = codes[i];
            const std::uint32_t down = codes[i + 1];
            if (up == 0 && down == 0) {
                silence += t.counted > 0 ? 1 : 0;
                continue;
            }
            if (down != (~up & 0xFFFFu) && t.fault.empty()) {
                t.fault = path + ": channels do not pair at frame " + std::to_string(i / 2);
            }
            if (up <= last) {
                ++t.repeated;
            } else {
                t.lost += up - last - 1;
                last = up;
            }
            ++t.counted;
            t.silentInside += silence;
            silence = 0;
        }
    }
    t.lost += end > last ? end - last : 0;
    return t;
}

class Transitions : public EndToEnd {
protected:
    Slot& device() { return slot(kDevice); }

    // Opens 44.1 kHz 16-bit stereo on the device, plays the counter, calling
    // `each` after every write, and drains.
    void play(const std::function<void(std::uint32_t writtenMs)>& each = {}) {
        startCapture();
        applySettings(kDevice);
        ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
        ASSERT_TRUE(writeAll(counterFrames(1, kFrames, 16, 2), [&] {
            if (each) {
                each(static_cast<std::uint32_t>(realTime(ipc::kRtWrittenPosition)));
            }
        }));
        drain();
        played_ = realTime(ipc::kRtOutputPosition);
        written_ = realTime(ipc::kRtWrittenPosition);
    }

    void startCapture() {
        if (capture_.empty()) {
            capture_ = captureTo(kDevice);
            device().faults.captureSeries = 1;
        }
    }

    // Closes the output and counts what reached the driver.
    Tally finish() {
        closeOutput(false);
        Tally t = tally(captureFiles());
        const double silenceMs = t.silentInside * 1000.0 / kRate;
        const double gapMs = device().status.longestReopenGapUs.load() / 1000.0;
        std::printf("[ %s ] lost %u, repeated %u, re-opens %d, silence inserted %.1f ms, "
                    "longest re-open gap %.1f ms, played %d ms of %d ms\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), t.lost,
                    t.repeated, reopens(), silenceMs, gapMs, played_, written_);
        EXPECT_EQ(t.fault, "");
        EXPECT_EQ(t.lost, 0u);
        EXPECT_EQ(t.repeated, 0u);
        EXPECT_EQ(t.counted, kFrames);
        EXPECT_EQ(written_, static_cast<std::int32_t>(kFrames * 1000 / kRate));
        EXPECT_NEAR(played_, written_, 1);
        return t;
    }

    int reopens() { return device().status.initCalls.load() - 1; }

    std::vector<std::string> captureFiles() {
        std::vector<std::string> files{capture_};
        for (int n = 1; n < device().status.captureFiles.load(); ++n) {
            files.push_back(capture_ + "." + std::to_string(n));
        }
        return files;
    }

    std::string capture_;
    std::int32_t played_ = 0;
    std::int32_t written_ = 0;
};

TEST_F(Transitions, LatencyChangeMidStreamKeepsTheDriverOpen) {
    device().faults.nextOutputLatency = 2048;
    device().faults.messageAfterSwitches = 30;
    device().faults.messageSelector = asio::kAsioLatenciesChanged;
    play();
    EXPECT_EQ(device().status.messagesSent.load(), 1);
    EXPECT_EQ(reopens(), 0);
    EXPECT_EQ(device().status.stops.load(), 0) << "the driver stopped mid-stream";
    // The same format opened again answers with the new latency: rings of
    // 2 x 512 x 4 frames and twice 2048 frames of pipeline.
    EXPECT_EQ(main(ipc::kMainOpen, kRate, 16, 2), 186); // 8192 frames, rounded

    finish();
}

TEST_F(Transitions, ResetMidStreamLosesNothing) {
    device().faults.messageAfterSwitches = 30;
    device().faults.messageSelector = asio::kAsioResetRequest;
    play();
    EXPECT_EQ(device().status.messagesSent.load(), 1);
    EXPECT_EQ(reopens(), 1);
    finish();
}

TEST_F(Transitions, BufferSizeChangeToSmallerRingsAndAnotherSampleType) {
    // The device comes back with 256-frame half-buffers (rings half as long
    // as what they held) and 32-bit samples.
    device().faults.nextBufferSize = 256;
    device().faults.nextSampleType = asio::ASIOSTInt32LSB;
    device().faults.messageAfterSwitches = 30;
    device().faults.messageSelector = asio::kAsioBufferSizeChange;
    play();
    EXPECT_EQ(reopens(), 1);
    EXPECT_EQ(device().status.bufferSize.load(), 256);
    finish();
}

TEST_F(Transitions, ResetWhilePausedStaysPaused) {
    bool done = false;
    play([&](std::uint32_t writtenMs) {
        if (done || writtenMs < 400) {
            return;
        }
        done = true;
        EXPECT_EQ(main(ipc::kMainPause, 1), 0);
        const std::int32_t frozen = realTime(ipc::kRtOutputPosition);
        const std::int32_t starts = device().status.starts.load();
        realTime(ipc::kRtResetRequest);
        EXPECT_EQ(main(ipc::kMainQueryWritable), 0);
        EXPECT_EQ(reopens(), 1);
        platform::sleepMs(100);
        EXPECT_EQ(main(ipc::kMainQueryWritable), 0);
        EXPECT_EQ(device().status.running.load(), 0) << "the re-open lifted the pause";
        EXPECT_EQ(device().status.starts.load(), starts);
        EXPECT_EQ(realTime(ipc::kRtOutputPosition), frozen);
        EXPECT_EQ(realTime(ipc::kRtWrittenPosition), static_cast<std::int32_t>(writtenMs));
        EXPECT_EQ(main(ipc::kMainPause, 0), 1);
        EXPECT_EQ(device().status.running.load(), 1);
    });
    EXPECT_TRUE(done);
    finish();
}

TEST_F(Transitions, ResetAskedForDuringTheOpenIsSettledByIt) {
    // From inside createBuffers, at every open.
    device().faults.insideSelector = asio::kAsioResetRequest;
    device().faults.insideTimes = -1;
    device().faults.messageInside = 2;
    play();
    EXPECT_GE(device().status.messagesInside.load(), 1);
    EXPECT_EQ(reopens(), 0);
    finish();
}

TEST_F(Transitions, ResetAskedForFromSetSampleRateIsSettledByThatOpen) {
    // A rate change on the open driver: setSampleRate asks for a reset.
    device().faults.insideSelector = asio::kAsioResetRequest;
    device().faults.insideTimes = -1;
    device().faults.messageInside = 1;
    startCapture();
    applySettings(kDevice);
    ASSERT_GE(main(ipc::kMainOpen, 48000, 16, 2), 0);
    play();
    EXPECT_GE(device().status.messagesInside.load(), 1);
    EXPECT_EQ(reopens(), 0);
    finish();
}

TEST_F(Transitions, ResetCutsAWaitingWriteShortWithoutCountingItTwice) {
    startCapture();
    applySettings(kDevice);
    ASSERT_GE(main(ipc::kMainOpen, kRate, 16, 2), 0);
    const std::vector<std::uint8_t> audio = counterFrames(1, kFrames, 16, 2);
    // Fill the ring, then post a write of one second, far more than fits: it
    // waits for room until the reset, sent from the real-time channel after
    // 50 ms, cuts it short.
    const std::int32_t ring = 4096 * 4;
    const std::int32_t second = kRate * 4;
    std::int32_t result = -1;
    ASSERT_TRUE(client::writeAudio(connection_, audio.data(), ring, &result));
    ASSERT_EQ(result, 0);
    bool sent = false;
    std::thread reset([&] {
        platform::sleepMs(50);
        std::int32_t code = 0;
        sent = client::realTimeCommand(connection_, ipc::kRtResetRequest, 0, &code);
    });
    ASSERT_TRUE(client::writeAudio(connection_, audio.data() + ring, second, &result, 30000));
    reset.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(result, 0);
    // The played position never runs ahead of the written one.
    std::int32_t ahead = 0;
    const std::vector<std::uint8_t> rest(audio.begin() + ring + second, audio.end());
    ASSERT_TRUE(writeAll(rest, [&] {
        ahead =
            std::max(ahead, realTime(ipc::kRtOutputPosition) - realTime(ipc::kRtWrittenPosition));
    }));
    drain();
    played_ = realTime(ipc::kRtOutputPosition);
    written_ = realTime(ipc::kRtWrittenPosition);
    EXPECT_LE(ahead, 0);
    EXPECT_EQ(reopens(), 1);
    finish();
}

TEST_F(Transitions, SeveralResetsInARow) {
    constexpr int kResets = 4;
    device().faults.messageRepeat = kResets;
    device().faults.messageAfterSwitches = 20;
    device().faults.messageSelector = asio::kAsioResetRequest;
    play();
    EXPECT_EQ(device().status.messagesSent.load(), kResets);
    EXPECT_EQ(reopens(), kResets);
    finish();
}

// ------------------------------------------------- track changes in keep-open mode

// A player in keep-open mode changes tracks with an open that follows a close
// keeping the output: what the first track still has queued must play before
// the second, whatever the second's format.
class TrackChange : public Transitions {
protected:
    // Frames per track; two tracks stay below the 16-bit counter's wrap.
    static constexpr std::uint32_t kTrack = 30000;

    void keepOpen(bool resample = false) {
        startCapture();
        ipc::DeviceSettings settings;
        settings.keepDriverOpen = true;
        if (resample) {
            settings.resampleEnable = true;
            settings.resampleRate = 48000;
            settings.resampleQuality = 2;
            settings.resamplerPriority = 2;
        }
        applySettings(kDevice, settings);
    }

    // The 16-bit counter, in 24-bit samples whose low byte is zero: a 16-bit
    // driver plays exactly the codes a 16-bit stream would give.
    static std::vector<std::uint8_t> counter24(std::uint32_t first, std::uint32_t count,
                                               int channels) {
        const std::vector<std::uint8_t> narrow = counterFrames(first, count, 16, channels);
        std::vector<std::uint8_t> wide;
        wide.reserve(narrow.size() / 2 * 3);
        for (std::size_t i = 0; i + 1 < narrow.size(); i += 2) {
            wide.insert(wide.end(), {0, narrow[i], narrow[i + 1]});
        }
        return wide;
    }

    // Opens a track, checks that both positions start from 0, and writes `audio`.
    void track(int rate, int bits, int channels, const std::vector<std::uint8_t>& audio) {
        ASSERT_GE(main(ipc::kMainOpen, rate, bits, channels), 0);
        EXPECT_EQ(realTime(ipc::kRtWrittenPosition), 0);
        EXPECT_EQ(realTime(ipc::kRtOutputPosition), 0);
        ASSERT_TRUE(writeAll(audio));
    }

    // Lets the last track play to its end and checks its positions.
    void lastTrackPlayed(std::uint32_t frames, int rate) {
        waitPlayed();
        played_ = realTime(ipc::kRtOutputPosition);
        written_ = realTime(ipc::kRtWrittenPosition);
        EXPECT_EQ(written_, static_cast<std::int32_t>(std::int64_t{frames} * 1000 / rate));
        EXPECT_NEAR(played_, written_, 1);
    }

    // A quit in keep-open mode plays what is left and closes the capture.
    void quit() {
        int exitCode = -1;
        ASSERT_TRUE(client::quitServer(connection_, &exitCode, 30000)) << connection_.error;
        EXPECT_EQ(exitCode, 0);
    }

    // Counts counter values first..end over the capture files from `fromFile` on.
    Tally count(std::uint32_t first, std::uint32_t end, std::size_t fromFile = 0) {
        std::vector<std::string> files = captureFiles();
        files.erase(files.begin(),
                    files.begin() + static_cast<std::ptrdiff_t>(std::min(fromFile, files.size())));
        const Tally t = tally(files, first, end);
        std::printf("[ %s ] lost %u, repeated %u, silence inserted %.1f ms, re-opens %d, "
                    "played %d ms of %d ms\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), t.lost,
                    t.repeated, t.silentInside * 1000.0 / kRate, reopens(), played_, written_);
        EXPECT_EQ(t.fault, "");
        EXPECT_EQ(t.lost, 0u);
        EXPECT_EQ(t.repeated, 0u);
        EXPECT_EQ(t.counted, end - first + 1);
        return t;
    }
};

TEST_F(TrackChange, ChannelCountChangePlaysTheFirstTrackOut) {
    keepOpen();
    track(kRate, 16, 2, counterFrames(1, kTrack, 16, 2));
    closeOutput(true);
    // Mono: one driver channel, new buffers and new rings.
    track(kRate, 16, 1, counterFrames(kTrack + 1, kTrack, 16, 1));
    lastTrackPlayed(kTrack, kRate);
    quit();
    EXPECT_EQ(device().status.bufferChannels.load(), 1);
    count(1, 2 * kTrack);
}

TEST_F(TrackChange, RateChangePlaysTheFirstTrackOut) {
    keepOpen();
    track(kRate, 16, 2, counterFrames(1, kTrack, 16, 2));
    closeOutput(true);
    track(48000, 16, 2, counterFrames(kTrack + 1, kTrack, 16, 2));
    lastTrackPlayed(kTrack, 48000);
    quit();
    EXPECT_EQ(device().status.sampleRateHz.load(), 48000);
    count(1, 2 * kTrack);
}

TEST_F(TrackChange, ResampledTrackThenChannelCountChangePlaysTheConverterTail) {
    // 44.1 kHz converted to 48 kHz, then a 48 kHz mono track that needs no
    // converter: the first's converter is flushed into the rings, which must
    // then play out before the buffers are made anew for one channel.
    constexpr std::uint32_t kShort = 20000;
    keepOpen(true);
    // Counting from 10001 keeps both channels far from silence at the edges.
    track(kRate, 16, 2, counterFrames(10001, kShort, 16, 2));
    closeOutput(true);
    track(48000, 16, 1, counterFrames(10001 + kShort, kShort, 16, 1));
    lastTrackPlayed(kShort, 48000);
    quit();
    const std::vector<std::string> files = captureFiles();
    ASSERT_EQ(files.size(), 2u);
    // The converted track, not bit-exact, is counted by its length: every
    // frame it holds is non-silent, the underruns' silence is not.
    const std::vector<std::uint32_t> codes = readCodes(files[0]);
    std::int64_t sounding = 0;
    for (std::size_t i = 0; i + 1 < codes.size(); i += 2) {
        sounding += codes[i] != 0 || codes[i + 1] != 0 ? 1 : 0;
    }
    const std::int64_t expected = (std::int64_t{kShort} * 48000 * 2 + kRate) / (2 * kRate);
    std::printf("[ converted track ] %lld frames of %lld expected\n",
                static_cast<long long>(sounding), static_cast<long long>(expected));
    EXPECT_NEAR(sounding, expected, 1);
    count(10001 + kShort, 10000 + 2 * kShort, 1);
}

TEST_F(TrackChange, BitDepthChangeThenResetKeepsFramesOfBothDepths) {
    // A 16-bit track, then a 24-bit one at the same rate: the open keeps the
    // rings, still holding 16-bit frames, and the 24-bit frames queue behind
    // them. A reset then, within one ring's length, re-opens the driver. The
    // stepped clock fixes how much of each is queued at that moment.
    useSteppedClock(device());
    keepOpen();
    track(kRate, 16, 2, counterFrames(1, kTrack, 16, 2));
    closeOutput(true);
    constexpr std::uint32_t kBefore = 1000; // 24-bit frames queued before the reset
    track(kRate, 24, 2, counter24(kTrack + 1, kBefore, 2));
    // The driver has taken whole halves only, fewer than the 16-bit track holds.
    const std::int64_t taken = std::int64_t{device().status.bufferSwitches.load()} * 512;
    ASSERT_LT(taken, kTrack) << "no 16-bit frame was left queued";
    const std::int32_t writtenBefore = realTime(ipc::kRtWrittenPosition);
    realTime(ipc::kRtResetRequest);
    main(ipc::kMainQueryWritable);
    EXPECT_EQ(reopens(), 1);
    EXPECT_EQ(realTime(ipc::kRtWrittenPosition), writtenBefore);
    ASSERT_TRUE(writeAll(counter24(kTrack + kBefore + 1, kTrack - kBefore, 2)));
    // More switches than the rings hold frames: everything queued plays.
    advanceClock(12);
    lastTrackPlayed(kTrack, kRate);
    quit();
    count(1, 2 * kTrack);
}

// The driver asks for a reset after the first track's close, while its last
// frames are still queued: the next open re-opens the driver with them, and
// they play before the second track.
TEST_F(TrackChange, ResetBetweenTracksOfOneFormatPlaysTheFirstTracksQueueFirst) {
    useSteppedClock(device());
    keepOpen();
    track(kRate, 16, 2, counterFrames(1, kTrack, 16, 2));
    closeOutput(true);
    const std::int64_t taken = std::int64_t{device().status.bufferSwitches.load()} * 512;
    ASSERT_LT(taken, kTrack) << "nothing of the first track was left queued";
    realTime(ipc::kRtResetRequest);
    track(kRate, 16, 2, counterFrames(kTrack + 1, kTrack, 16, 2));
    EXPECT_EQ(reopens(), 1);
    advanceClock(12);
    lastTrackPlayed(kTrack, kRate);
    quit();
    count(1, 2 * kTrack);
}

// The same before a rate change, whose open plays the first track out before
// it changes the rate. That play-out needs the driver's own pace, so the clock
// is real here: a slow machine may have played the queue before the reset,
// which makes the check weaker, never wrong.
TEST_F(TrackChange, ResetBetweenTracksThenARateChangePlaysTheFirstTracksQueueFirst) {
    keepOpen();
    track(kRate, 16, 2, counterFrames(1, kTrack, 16, 2));
    closeOutput(true);
    realTime(ipc::kRtResetRequest);
    track(48000, 16, 2, counterFrames(kTrack + 1, kTrack, 16, 2));
    EXPECT_EQ(reopens(), 1);
    lastTrackPlayed(kTrack, 48000);
    quit();
    count(1, 2 * kTrack);
}

} // namespace
} // namespace quillon
