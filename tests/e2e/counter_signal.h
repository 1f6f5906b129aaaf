// The counter signal and the fixture of the end-to-end suites that check
// what the virtual driver received.
//
// The test signal is a frame counter: channel 0 counts up, channel 1 holds its
// complement and so counts down. Read back in order, it shows at once whether
// any frame was lost, repeated or reordered, whether channels were swapped and
// how late the first frame came. Silent frames (all bytes zero) are padding the
// server plays when it has nothing queued; the counter never produces one.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/client.h"
#include "platform/platform.h"
#include "virtual_control.h"
#include "virtual_suite.h"

namespace quillon::e2e {

using virtualdriver::Slot;

inline const virtualdriver::Registration& registration(const char* keyName, int* index = nullptr) {
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

inline int sampleBytes(int bits) {
    return (bits < 0 ? -bits : bits) / 8;
}

inline std::uint32_t getSample(const std::uint8_t* at, int bytes) {
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

// The code of frame `n` (counting from 1) on channel 0; channel 1 carries its
// complement. Floats count in steps of 2^-24 (exact in a float for any count a
// test writes), integers wrap around their width.
inline std::uint32_t upCode(std::uint32_t n, int bits) {
    if (bits == -32) {
        float value = static_cast<float>(n) / 16777216.0f;
        std::uint32_t code;
        std::memcpy(&code, &value, 4);
        return code;
    }
    return n & ((1u << bits) - 1u);
}

inline std::uint32_t downCode(std::uint32_t n, int bits) {
    if (bits == -32) {
        return upCode(n, bits) ^ 0x80000000u; // the negative value
    }
    return ~n & ((1u << bits) - 1u);
}

// Frames first..first+count-1 (counting from 1), interleaved: both counters on
// two channels, the up counter alone on one.
inline std::vector<std::uint8_t> counterFrames(std::uint32_t first, std::uint32_t count, int bits,
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
inline std::uint32_t floatCount(std::uint32_t code) {
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
inline CounterCheck checkCounter(const std::vector<std::uint8_t>& data, int bits, bool mono) {
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

inline std::vector<std::uint8_t> readCapture(const std::string& path) {
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

} // namespace quillon::e2e
