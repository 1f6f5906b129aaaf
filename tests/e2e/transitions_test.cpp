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
    std::vector<std::uint32_t> codes;
    for (std::size_t at = 0; at + static_cast<std::size_t>(bytes) <= file.size(); at += bytes) {
        std::int32_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            value |= static_cast<std::int32_t>(file[at + i]) << (8 * i + 32 - 8 * bytes);
        }
        // Sign-extended to 32 bits, then the top 16 bits are the client's sample.
        codes.push_back(static_cast<std::uint32_t>(value >> 16) & 0xFFFFu);
    }
    return codes;
}

Tally tally(const std::vector<std::string>& files) {
    Tally t;
    std::uint32_t last = 0;
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
    t.lost += kFrames - last;
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
        std::vector<std::string> files{capture_};
        for (int n = 1; n < device().status.captureFiles.load(); ++n) {
            files.push_back(capture_ + "." + std::to_string(n));
        }
        Tally t = tally(files);
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

} // namespace
} // namespace quillon
