// The virtual driver driven by a tiny host that plays a byte pattern through
// createBuffers and bufferSwitch, as the output device will.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "device/driver_list.h"
#include "install.h"
#include "test_support.h"

using namespace quillon;
using namespace quillon::asio;
using virtualdriver::Slot;

namespace {

// One process-wide host, as the callbacks carry no context.
struct Host {
    IASIO* driver = nullptr;
    ASIOBufferInfo infos[8]{};
    int channels = 0;
    int bytes = 0;
    long size = 0;
    std::int64_t patternFrames = 0; // frames of pattern, silence afterwards
    std::int64_t written = 0;
    bool callOutputReady = true;
    int slowEvery = 0; // every n-th switch sleeps slowMs
    int slowMs = 0;
    std::atomic<bool> block{false}; // the next switch waits for release
    std::atomic<bool> release{false};
    std::atomic<bool> inCallback{false};
    std::atomic<int> switches{0};
    std::vector<int> halves;         // in callback order
    std::vector<std::int64_t> times; // perfCounter at each switch
    std::thread::id callbackThread;
    std::atomic<int> messageCount{0};
    std::atomic<int> lastSelector{0};
    std::atomic<long> lastValue{0};
    std::atomic<bool> messageOnCallbackThread{false};
    std::atomic<int> switchesAtMessage{0};
};
Host* g_host = nullptr;

std::uint8_t patternByte(std::int64_t frame, int channel, int byte) {
    return static_cast<std::uint8_t>((frame * 131 + channel * 17 + byte * 7) % 251 + 1);
}

void onBufferSwitch(AsioLong index, ASIOBool) {
    Host& host = *g_host;
    host.inCallback = true;
    host.callbackThread = std::this_thread::get_id();
    host.halves.push_back(static_cast<int>(index));
    host.times.push_back(platform::perfCounter());
    if (host.block.exchange(false)) {
        while (!host.release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    for (long frame = 0; frame < host.size; ++frame, ++host.written) {
        for (int channel = 0; channel < host.channels; ++channel) {
            auto* out =
                static_cast<std::uint8_t*>(host.infos[channel].buffers[index]) + frame * host.bytes;
            for (int byte = 0; byte < host.bytes; ++byte) {
                out[byte] = host.written < host.patternFrames
                                ? patternByte(host.written, channel, byte)
                                : 0;
            }
        }
    }
    int count = host.switches.load() + 1;
    if (host.slowEvery > 0 && count % host.slowEvery == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(host.slowMs));
    }
    if (host.callOutputReady) {
        host.driver->outputReady();
    }
    host.inCallback = false;
    host.switches = count;
}

AsioLong onMessage(AsioLong selector, AsioLong value, void*, double*) {
    Host& host = *g_host;
    host.lastSelector = static_cast<int>(selector);
    host.lastValue = value;
    host.switchesAtMessage = host.switches.load();
    host.messageOnCallbackThread = std::this_thread::get_id() == host.callbackThread;
    ++host.messageCount;
    return 1;
}

void onRateChange(ASIOSampleRate) {}
ASIOTime* onTimeInfo(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}
ASIOCallbacks g_callbacks{onBufferSwitch, onRateChange, onMessage, onTimeInfo};

bool waitFor(const std::function<bool()>& done, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 2) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The position in either ABI's layout; a template so only one branch compiles.
template <typename Samples> std::int64_t samplesOf(const Samples& samples) {
    if constexpr (std::is_integral_v<Samples>) {
        return samples;
    } else {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(samples.hi) << 32 | samples.lo);
    }
}

std::uint32_t le32(const std::uint8_t* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

class VirtualDriverTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char dir[1024];
        if (platform::getEnvironment(virtualdriver::kCaptureDirVariable, dir, sizeof dir)) {
            std::filesystem::create_directories(dir);
        }
        std::string error;
        platform::setDriverRoot(nullptr);
        ASSERT_TRUE(virtualdriver::installVirtualDriver(
            quillon::testing::virtualDriverPath().c_str(), &error))
            << error;
    }

    void SetUp() override {
        control_.clear();
        list_ = device::readDriverList();
        g_host = &host_;
    }

    void TearDown() override {
        if (host_.driver != nullptr) {
            host_.driver->stop();
            host_.driver->disposeBuffers();
        }
        device::freeDriverList(list_);
        g_host = nullptr;
    }

    Slot& slot(const char* key) { return control_.slot(key); }

    // Atomics cannot be assigned, so a fresh host is built in place.
    void resetHost() {
        host_.~Host();
        new (&host_) Host;
    }

    // Loads and initialises the registration `key`.
    IASIO* load(const char* key) {
        for (int i = 0; i < list_->count; ++i) {
            if (std::strcmp(device::findDriverEntry(*list_, i)->keyName, key) == 0) {
                IASIO* driver = nullptr;
                if (device::loadDriverByIndex(*list_, i, &driver)) {
                    host_.driver = driver;
                    return driver;
                }
            }
        }
        ADD_FAILURE() << "cannot load " << key;
        return nullptr;
    }

    // Creates buffers on the first `channels` outputs with the preferred size.
    void prepare(const char* key, std::int64_t patternFrames, const std::string& capture) {
        std::snprintf(slot(key).capturePath, sizeof slot(key).capturePath, "%s", capture.c_str());
        IASIO* driver = load(key);
        ASSERT_NE(driver, nullptr);
        ASSERT_NE(driver->init(nullptr), 0);
        AsioLong inputs = 0, outputs = 0, min = 0, max = 0, preferred = 0, granularity = 0;
        ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
        ASSERT_EQ(driver->getBufferSize(&min, &max, &preferred, &granularity), ASE_OK);
        ASIOChannelInfo info{};
        ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
        host_.channels = static_cast<int>(outputs);
        host_.bytes = sampleTypeBytes(info.type);
        host_.size = preferred;
        host_.patternFrames = patternFrames;
        for (int i = 0; i < host_.channels; ++i) {
            host_.infos[i] = ASIOBufferInfo{0, i, {nullptr, nullptr}};
        }
        ASSERT_EQ(driver->createBuffers(host_.infos, outputs, preferred, &g_callbacks), ASE_OK);
    }

    std::string capturePath(const char* name) {
        char dir[1024] = "";
        platform::executableDirectory(dir, sizeof dir);
        return std::string(dir) + name;
    }

    // Checks `frames` pattern frames then silence after a header of `header` bytes.
    void expectCapture(const std::vector<std::uint8_t>& file, std::size_t header,
                       std::int64_t frames, std::int64_t total) {
        const std::size_t frameBytes = static_cast<std::size_t>(host_.channels * host_.bytes);
        ASSERT_EQ(file.size(), header + frameBytes * static_cast<std::size_t>(total));
        std::size_t mismatches = 0;
        const std::uint8_t* at = file.data() + header;
        for (std::int64_t frame = 0; frame < total; ++frame) {
            for (int channel = 0; channel < host_.channels; ++channel) {
                for (int byte = 0; byte < host_.bytes; ++byte, ++at) {
                    std::uint8_t want = frame < frames ? patternByte(frame, channel, byte) : 0;
                    mismatches += *at != want;
                }
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }

    quillon::testing::ControlBlock control_;
    device::DriverList* list_ = nullptr;
    Host host_;
};

TEST_F(VirtualDriverTest, FreeRunningCaptureIsExactInEveryFileFormat) {
    struct Case {
        const char* key;
        bool overrideType;
        ASIOSampleType type;
        bool wav;
        int wavTag;
    };
    const Case cases[] = {
        {"Quillon Virtual Fast 16", false, 0, true, 1},
        {"Quillon Virtual Fast Float", false, 0, true, 3},
        {"Quillon Virtual Fast 16in32", false, 0, false, 0},
        {"Quillon Virtual Fast 16", true, ASIOSTInt24LSB, true, 1},
        {"Quillon Virtual Fast 16", true, ASIOSTFloat64LSB, true, 3},
        {"Quillon Virtual Fast 16", true, ASIOSTInt32MSB, false, 0},
        {"Quillon Virtual Fast 16", true, ASIOSTInt32LSB24, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " type " + std::to_string(c.type));
        control_.clear();
        resetHost();
        slot(c.key).faults.sampleType = c.type;
        slot(c.key).faults.overrideSampleType = c.overrideType ? 1 : 0;
        const std::string path = capturePath("capture.bin");
        prepare(c.key, 0, path);
        // An odd pattern length, so the last pattern half ends mid-buffer.
        host_.patternFrames = 3 * host_.size + 77;
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        const int wanted = 8;
        ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= wanted; }));
        host_.driver->stop();
        ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
        const std::int64_t captured = slot(c.key).status.halvesCaptured.load();
        EXPECT_EQ(captured, host_.switches.load());
        std::vector<std::uint8_t> file = readFile(path);
        ASSERT_GE(file.size(), 44u);
        if (c.wav) {
            EXPECT_EQ(std::memcmp(file.data(), "RIFF", 4), 0);
            EXPECT_EQ(file[20] | file[21] << 8, c.wavTag);
            EXPECT_EQ(file[22], host_.channels);
            EXPECT_EQ(le32(file.data() + 24), 44100u);
            EXPECT_EQ(file[34], host_.bytes * 8);
            EXPECT_EQ(le32(file.data() + 40), file.size() - 44);
            EXPECT_EQ(le32(file.data() + 4), file.size() - 8);
            expectCapture(file, 44, host_.patternFrames, captured * host_.size);
        } else {
            virtualdriver::RawCaptureHeader header{};
            std::memcpy(&header, file.data(), sizeof header);
            EXPECT_EQ(std::memcmp(header.magic, virtualdriver::kRawCaptureMagic, 8), 0);
            EXPECT_EQ(header.sampleType,
                      c.overrideType ? c.type : virtualdriver::kRegistrations[8].sampleType);
            EXPECT_EQ(header.channels, host_.channels);
            EXPECT_EQ(header.bytesPerSample, host_.bytes);
            expectCapture(file, sizeof header, host_.patternFrames, captured * host_.size);
        }
        host_.driver = nullptr;
        device::unloadDriver(*list_);
    }
}

TEST_F(VirtualDriverTest, RealTimeClockAlternatesHalvesAtTheBufferPeriod) {
    const char* key = "Quillon Virtual"; // 44.1 kHz, 512 frames: 11.6 ms
    const std::string path = capturePath("realtime.wav");
    prepare(key, 1 << 30, path);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 30; }));
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(host_.driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_GE(samplesOf(position), 30 * 512);
    EXPECT_EQ(samplesOf(position) % 512, 0);
    host_.driver->stop();
    const int switches = host_.switches.load();
    ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(host_.switches.load(), switches); // nothing after stop and dispose

    for (std::size_t i = 0; i < host_.halves.size(); ++i) {
        ASSERT_EQ(host_.halves[i], static_cast<int>(i % 2)) << i;
    }
    std::int64_t frequency = 0;
    ASSERT_TRUE(platform::perfFrequency(&frequency));
    const double seconds = double(host_.times.back() - host_.times.front()) / double(frequency);
    const double period = seconds / double(host_.times.size() - 1);
    EXPECT_NEAR(period, 512.0 / 44100.0, 0.3 * 512.0 / 44100.0);

    // Each period plays the half filled in the period before.
    const std::int64_t captured = slot(key).status.halvesCaptured.load();
    EXPECT_GE(captured, switches - 1);
    EXPECT_LE(captured, switches);
    expectCapture(readFile(path), 44, 1 << 30, captured * host_.size);
}

TEST_F(VirtualDriverTest, UnderrunsCountHalvesNotRefilledInTime) {
    // A host that never confirms with outputReady leaves every half unconfirmed.
    prepare("Quillon Virtual", 1 << 30, "");
    host_.callOutputReady = false;
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 8; }));
    host_.driver->stop();
    host_.driver->disposeBuffers();
    const Slot& confirmed = slot("Quillon Virtual");
    EXPECT_GT(confirmed.status.halvesCaptured.load(), 0);
    EXPECT_EQ(confirmed.status.underruns.load(), confirmed.status.halvesCaptured.load());
    // With no file named in the control block, the capture goes to the
    // directory named by the environment, under the registration's key.
    char dir[1024] = "";
    ASSERT_TRUE(platform::getEnvironment(virtualdriver::kCaptureDirVariable, dir, sizeof dir));
    std::vector<std::uint8_t> file =
        readFile(std::string(dir) + platform::pathSeparator() + "Quillon Virtual.wav");
    EXPECT_EQ(file.size(), 44 + static_cast<std::size_t>(confirmed.status.halvesCaptured.load()) *
                                    host_.size * host_.channels * host_.bytes);

    // A driver without outputReady: only callbacks overrunning the period count.
    // 256 frames at 44.1 kHz is 5.8 ms; every fourth callback takes 30 ms.
    host_.driver = nullptr;
    device::unloadDriver(*list_);
    resetHost();
    prepare("Quillon Virtual 24", 1 << 30, "");
    host_.slowEvery = 4;
    host_.slowMs = 30;
    host_.callOutputReady = false;
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 17; }));
    host_.driver->stop();
    host_.driver->disposeBuffers();
    const Slot& late = slot("Quillon Virtual 24");
    const int slow = 17 / 4;
    EXPECT_GE(late.status.underruns.load(), slow - 1);
    EXPECT_LT(late.status.underruns.load(), late.status.halvesCaptured.load());
}

TEST_F(VirtualDriverTest, InitAndRateFaults) {
    const char* key = "Quillon Virtual Float64";
    slot(key).faults.failInit = 1;
    IASIO* driver = load(key);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->init(nullptr), 0);
    char message[124] = "";
    driver->getErrorMessage(message);
    EXPECT_STRNE(message, "");
    AsioLong inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);

    slot(key).faults.failInit = 0;
    ASSERT_NE(driver->init(nullptr), 0);
    EXPECT_EQ(slot(key).status.initCalls.load(), 2);
    EXPECT_EQ(driver->canSampleRate(48000), ASE_OK);
    EXPECT_NE(driver->canSampleRate(44100), ASE_OK); // a 48 kHz-only device
    EXPECT_NE(driver->setSampleRate(44100), ASE_OK);
    slot(key).faults.refuseRates = 1;
    EXPECT_NE(driver->canSampleRate(48000), ASE_OK);
    slot(key).faults.refuseRates = 0;
    EXPECT_EQ(driver->setSampleRate(48000), ASE_OK);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 48000);
}

TEST_F(VirtualDriverTest, MessagesComeFromTheDriverThreadAfterTheChosenSwitch) {
    struct Case {
        AsioLong selector;
        AsioLong value;
    };
    const Case cases[] = {
        {kAsioResetRequest, 0}, {kAsioBufferSizeChange, 128}, {kAsioLatenciesChanged, 0}};
    const char* key = "Quillon Virtual Fast 16";
    prepare(key, 1 << 30, "");
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    int messages = 0;
    for (const Case& c : cases) {
        const int after = host_.switches.load() + 5;
        slot(key).faults.messageValue = static_cast<std::int32_t>(c.value);
        slot(key).faults.messageAfterSwitches = after;
        slot(key).faults.messageSelector = static_cast<std::int32_t>(c.selector);
        ++messages;
        ASSERT_TRUE(waitFor([&] { return host_.messageCount.load() == messages; }));
        EXPECT_EQ(host_.lastSelector.load(), c.selector);
        EXPECT_EQ(host_.lastValue.load(), c.value);
        EXPECT_GE(host_.switchesAtMessage.load(), after);
        EXPECT_TRUE(host_.messageOnCallbackThread.load());
        EXPECT_EQ(slot(key).faults.messageSelector.load(), 0);
        EXPECT_EQ(slot(key).status.lastMessageResult.load(), 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host_.messageCount.load(), messages); // each sent once
}

TEST_F(VirtualDriverTest, RepeatedMessagesComeOncePerStartWithTheNewValues) {
    const char* key = "Quillon Virtual Fast 16";
    prepare(key, 1 << 30, "");
    Slot& s = slot(key);
    s.faults.nextOutputLatency = 777;
    s.faults.nextBufferSize = 128;
    s.faults.messageRepeat = 2;
    s.faults.messageAfterSwitches = 3;
    s.faults.messageSelector = kAsioBufferSizeChange;
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.messageCount.load() == 1; }));
    // What the host reads when the message comes is already the new device.
    AsioLong in = 0, out = 0, mn = 0, mx = 0, preferred = 0, granularity = 0;
    host_.driver->getLatencies(&in, &out);
    host_.driver->getBufferSize(&mn, &mx, &preferred, &granularity);
    EXPECT_EQ(out, 777);
    EXPECT_EQ(preferred, 128);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(host_.messageCount.load(), 1) << "sent twice in one run";
    host_.driver->stop();
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.messageCount.load() == 2; }));
    EXPECT_EQ(s.faults.messageSelector.load(), 0);
    host_.driver->stop();
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(host_.messageCount.load(), 2);
}

TEST_F(VirtualDriverTest, MessagesFromInsideSetSampleRateAndCreateBuffers) {
    const char* key = "Quillon Virtual Fast 16";
    Slot& s = slot(key);
    s.faults.insideSelector = kAsioResetRequest;
    s.faults.insideTimes = 2;
    s.faults.messageInside = 2;
    s.faults.captureSeries = 1;
    const std::string path = capturePath("series.wav");
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".1");
    prepare(key, 0, path);
    EXPECT_EQ(host_.messageCount.load(), 1);
    EXPECT_EQ(host_.lastSelector.load(), kAsioResetRequest);
    ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    // A driver that already knows its host's callbacks asks from setSampleRate.
    s.faults.messageInside = 1;
    EXPECT_EQ(host_.driver->setSampleRate(48000), ASE_OK);
    EXPECT_EQ(host_.messageCount.load(), 2);
    EXPECT_EQ(host_.driver->setSampleRate(44100), ASE_OK);
    EXPECT_EQ(host_.messageCount.load(), 2) << "insideTimes ran out";
    EXPECT_EQ(s.status.messagesInside.load(), 2);
    // Each createBuffers captured to a file of its own.
    ASSERT_EQ(host_.driver->createBuffers(host_.infos, host_.channels, host_.size, &g_callbacks),
              ASE_OK);
    ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(s.status.captureFiles.load(), 2);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists(path + ".1"));
}

TEST_F(VirtualDriverTest, StopPlaysOutTheHalfAlreadyFilled) {
    // A real-time clock plays each half one period after it was filled; what
    // the host filled before a stop still reaches the capture.
    const char* key = "Quillon Virtual";
    const std::string path = capturePath("playout.wav");
    prepare(key, 1 << 30, path);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 5; }));
    host_.driver->stop();
    const int switches = host_.switches.load();
    EXPECT_EQ(slot(key).status.halvesCaptured.load(), switches);
    ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    expectCapture(readFile(path), 44, 1 << 30, switches * host_.size);
}

// A stepped clock switches exactly as often as it is told, whatever the
// registration's own clock and however slow the host, and plays each half one
// step after it was filled; a stop plays out the last one.
TEST_F(VirtualDriverTest, SteppedClockSwitchesOnlyWhenTold) {
    for (const char* key : {"Quillon Virtual Float64", "Quillon Virtual Fast 16"}) {
        SCOPED_TRACE(key);
        resetHost();
        control_.clear();
        host_.slowEvery = 1; // 30 ms per switch: late for a 10 ms period
        host_.slowMs = 30;
        const std::string path = capturePath("stepped.wav");
        slot(key).clock.stepped = 1;
        prepare(key, 1 << 30, path);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(host_.switches.load(), 0);
        slot(key).clock.owed += 3;
        ASSERT_TRUE(waitFor([&] { return slot(key).status.bufferSwitches.load() == 3; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(host_.switches.load(), 3);
        EXPECT_EQ(host_.halves, (std::vector<int>{0, 1, 0}));
        EXPECT_EQ(slot(key).status.halvesCaptured.load(), 2);
        host_.driver->stop();
        EXPECT_EQ(slot(key).status.halvesCaptured.load(), 3);
        EXPECT_EQ(slot(key).status.underruns.load(), 0);
        ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
        host_.driver = nullptr;
        device::unloadDriver(*list_);
        expectCapture(readFile(path), 44, 1 << 30, 3 * host_.size);
    }
}

TEST_F(VirtualDriverTest, LateSwitchStretchesOnePeriod) {
    const char* key = "Quillon Virtual Float64"; // 480 frames at 48 kHz: 10 ms
    // Far longer than any scheduling delay of a loaded machine, so only the
    // stretched period can reach the threshold.
    slot(key).faults.lateSwitchMs = 300;
    prepare(key, 1 << 30, "");
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 3; }));
    slot(key).faults.lateSwitchCount = 1;
    ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 10; }));
    host_.driver->stop();
    host_.driver->disposeBuffers();
    std::int64_t frequency = 0;
    platform::perfFrequency(&frequency);
    int stretched = 0;
    for (std::size_t i = 1; i < host_.times.size(); ++i) {
        stretched += (host_.times[i] - host_.times[i - 1]) * 1000 / frequency >= 250;
    }
    EXPECT_EQ(stretched, 1);
    EXPECT_EQ(slot(key).faults.lateSwitchCount.load(), 0);
}

TEST_F(VirtualDriverTest, StopReturnsOnlyOnceTheClockThreadHasFinished) {
    const char* key = "Quillon Virtual Fast 16";
    // The old opt-in changes nothing: a stop never leaves a callback running.
    for (bool waits : {false, true}) {
        SCOPED_TRACE(waits ? "opted in" : "default");
        resetHost();
        control_.clear();
        slot(key).faults.stopWaitsForCallback = waits ? 1 : 0;
        prepare(key, 1 << 30, "");
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        ASSERT_TRUE(waitFor([&] { return host_.switches.load() >= 3; }));
        host_.block = true;
        ASSERT_TRUE(waitFor([&] { return !host_.block.load() && host_.inCallback.load(); }));
        std::thread releaser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            host_.release = true;
        });
        host_.driver->stop();
        const bool stillInCallback = host_.inCallback.load();
        releaser.join();
        EXPECT_FALSE(stillInCallback);
        ASSERT_EQ(host_.driver->disposeBuffers(), ASE_OK);
        const int atDispose = host_.switches.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(host_.switches.load(), atDispose);
        EXPECT_EQ(host_.halves.size(), static_cast<std::size_t>(atDispose));
        host_.driver = nullptr;
        device::unloadDriver(*list_);
    }
}

TEST_F(VirtualDriverTest, CreateBuffersRefusesWhatTheDeviceCannotDo) {
    const char* key = "Quillon Virtual 8ch";
    IASIO* driver = load(key);
    ASSERT_NE(driver, nullptr);
    ASIOBufferInfo infos[3] = {{0, 0, {}}, {0, 1, {}}, {0, 2, {}}};
    EXPECT_NE(driver->createBuffers(infos, 2, 512, &g_callbacks), ASE_OK); // before init
    ASSERT_NE(driver->init(nullptr), 0);
    ASIOBufferInfo input[1] = {{1, 0, {}}};
    ASIOBufferInfo outside[1] = {{0, 8, {}}};
    ASIOBufferInfo twice[2] = {{0, 3, {}}, {0, 3, {}}};
    EXPECT_NE(driver->createBuffers(input, 1, 512, &g_callbacks), ASE_OK);
    EXPECT_NE(driver->createBuffers(outside, 1, 512, &g_callbacks), ASE_OK);
    EXPECT_NE(driver->createBuffers(twice, 2, 512, &g_callbacks), ASE_OK);
    EXPECT_NE(driver->createBuffers(infos, 2, 8, &g_callbacks), ASE_OK);
    EXPECT_NE(driver->createBuffers(infos, 2, 512, nullptr), ASE_OK);
    EXPECT_NE(driver->start(), ASE_OK); // nothing to play

    ASSERT_EQ(driver->createBuffers(infos + 1, 2, 300, &g_callbacks), ASE_OK);
    EXPECT_NE(infos[1].buffers[0], nullptr);
    EXPECT_NE(infos[1].buffers[1], infos[1].buffers[0]);
    for (AsioLong channel : {0, 1, 2, 7}) {
        ASIOChannelInfo info{};
        info.channel = channel;
        ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
        EXPECT_EQ(info.type, ASIOSTInt32LSB);
        EXPECT_EQ(info.isActive, channel == 1 || channel == 2 ? 1 : 0) << channel;
    }
    EXPECT_NE(driver->createBuffers(infos, 1, 300, &g_callbacks), ASE_OK); // already created
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_NE(driver->disposeBuffers(), ASE_OK);

    // Overrides let a test pose as another device without a new registration.
    slot(key).faults.channels = 3;
    slot(key).faults.outputLatency = 999;
    slot(key).faults.overrideSampleType = 1;
    slot(key).faults.sampleType = ASIOSTInt16MSB;
    AsioLong inputs = 0, outputs = 0, inLatency = 0, outLatency = 0;
    driver->getChannels(&inputs, &outputs);
    driver->getLatencies(&inLatency, &outLatency);
    ASIOChannelInfo info{};
    driver->getChannelInfo(&info);
    EXPECT_EQ(outputs, 3);
    EXPECT_EQ(outLatency, 999);
    EXPECT_EQ(info.type, ASIOSTInt16MSB);
}

} // namespace
