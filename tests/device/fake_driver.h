// An in-process ASIO driver for device tests: it records what the host calls,
// can refuse rates, types or init, owns real half-buffers, and lets the test
// run bufferSwitch and asioMessage itself, so every step is deterministic.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "device/asio.h"
#include "device/device_state.h"
#include "platform/clock.h"

namespace quillon::test {

using namespace quillon::asio;

class FakeDriver final : public IASIO {
public:
    // Behaviour.
    bool initOk = true;
    AsioLong outputs = 8;
    AsioLong preferred = 512;
    AsioLong outputLatency = 600;
    ASIOError outputReadyAnswer = ASE_OK;
    ASIOSampleType sampleType = ASIOSTInt16LSB;
    std::vector<ASIOSampleType> typeByChannel; // overrides sampleType where set
    std::set<double> refusedRates;
    bool handOutNullBuffers = false;
    std::function<void()> onStart;         // runs inside start()
    std::function<void()> onStop;          // runs inside stop()
    std::function<void()> onCreate;        // runs at the end of createBuffers
    std::function<void()> onCreateBuffers; // runs first inside createBuffers()

    // Record.
    std::atomic<int> initCalls{0}, errorMessageCalls{0}, startCalls{0}, stopCalls{0};
    std::atomic<int> createCalls{0}, disposeCalls{0}, setRateCalls{0}, outputReadyCalls{0};
    std::atomic<bool> started{false};
    double rate = 0;
    ASIOInputMonitor monitor{};
    ASIOCallbacks* callbacks = nullptr;
    std::vector<ASIOBufferInfo> infos;
    std::vector<std::vector<std::uint8_t>> halves; // [channel * 2 + index]
    AsioLong bufferSizeCreated = 0;

    long QueryInterface(const AsioGuid&, void**) override { return -1; }
    unsigned long AddRef() override { return 1; }
    unsigned long Release() override { return 1; }
    ASIOBool init(void*) override {
        ++initCalls;
        return initOk ? 1 : 0;
    }
    void getDriverName(char* name) override { std::strcpy(name, "Fake"); }
    AsioLong getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override {
        ++errorMessageCalls;
        std::strcpy(text, "refused");
    }
    ASIOError start() override {
        ++startCalls;
        started = true;
        if (onStart) {
            onStart();
        }
        return ASE_OK;
    }
    ASIOError stop() override {
        ++stopCalls;
        started = false;
        if (onStop) {
            onStop();
        }
        return ASE_OK;
    }
    ASIOError getChannels(AsioLong* in, AsioLong* out) override {
        *in = 0;
        *out = outputs;
        return ASE_OK;
    }
    ASIOError getLatencies(AsioLong* in, AsioLong* out) override {
        *in = 0;
        *out = outputLatency;
        return ASE_OK;
    }
    ASIOError getBufferSize(AsioLong* mn, AsioLong* mx, AsioLong* pref, AsioLong* gr) override {
        *mn = *mx = *pref = preferred;
        *gr = 0;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate r) override {
        return refusedRates.count(r) != 0 ? ASE_NoClock : ASE_OK;
    }
    ASIOError getSampleRate(ASIOSampleRate* r) override {
        *r = rate;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate r) override {
        ++setRateCalls;
        rate = r;
        return ASE_OK;
    }
    ASIOError getClockSources(ASIOClockSource*, AsioLong* count) override {
        *count = 0;
        return ASE_OK;
    }
    ASIOError setClockSource(AsioLong) override { return ASE_OK; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_NotPresent; }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        const auto ch = static_cast<std::size_t>(info->channel);
        info->type = ch < typeByChannel.size() ? typeByChannel[ch] : sampleType;
        return ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo* list, AsioLong channels, AsioLong size,
                            ASIOCallbacks* cb) override {
        ++createCalls;
        if (onCreateBuffers) {
            onCreateBuffers();
        }
        callbacks = cb;
        bufferSizeCreated = size;
        halves.assign(static_cast<std::size_t>(channels) * 2, {});
        infos.assign(list, list + channels);
        for (AsioLong c = 0; c < channels; ++c) {
            ASIOChannelInfo info{};
            info.channel = list[c].channelNum;
            getChannelInfo(&info);
            const auto bytes = static_cast<std::size_t>(sampleTypeBytes(info.type) * size);
            for (int i = 0; i < 2; ++i) {
                auto& half = halves[static_cast<std::size_t>(c * 2 + i)];
                half.assign(bytes, 0xAB); // not silence: the host must clear it
                list[c].buffers[i] = handOutNullBuffers ? nullptr : half.data();
            }
        }
        if (onCreate) {
            onCreate();
        }
        return ASE_OK;
    }
    ASIOError disposeBuffers() override {
        ++disposeCalls;
        callbacks = nullptr;
        return ASE_OK;
    }
    ASIOError controlPanel() override { return ASE_OK; }
    ASIOError future(AsioLong selector, void* arg) override {
        if (selector == kAsioSetInputMonitor) {
            monitor = *static_cast<ASIOInputMonitor*>(arg);
        }
        return ASE_OK;
    }
    ASIOError outputReady() override {
        ++outputReadyCalls;
        return outputReadyAnswer;
    }

    // The driver's side of playback.
    void bufferSwitch(int index) { callbacks->bufferSwitch(index, 1); }
    AsioLong message(AsioLong selector, AsioLong value = 0) {
        return callbacks->asioMessage(selector, value, nullptr, nullptr);
    }
    const std::vector<std::uint8_t>& half(int channel, int index) const {
        return halves[static_cast<std::size_t>(channel * 2 + index)];
    }
    std::vector<std::int16_t> samples16(int channel, int index) const {
        const auto& h = half(channel, index);
        std::vector<std::int16_t> out(h.size() / 2);
        std::memcpy(out.data(), h.data(), out.size() * 2);
        return out;
    }
};

// Two fake drivers in a list, loaded by index.
struct FakeDriverSource {
    FakeDriver* drivers[2] = {nullptr, nullptr};
    int loadedIndex = -1;
    int loads = 0;
    int unloads = 0;

    device::DriverSource source() {
        device::DriverSource s;
        s.context = this;
        s.load = [](void* context, std::int32_t index, IASIO** driver) {
            auto* self = static_cast<FakeDriverSource*>(context);
            if (index < 0 || index > 1 || self->drivers[index] == nullptr) {
                return false;
            }
            ++self->loads;
            self->loadedIndex = index;
            *driver = self->drivers[index];
            return true;
        };
        s.unload = [](void* context) {
            auto* self = static_cast<FakeDriverSource*>(context);
            if (self->loadedIndex >= 0) {
                ++self->unloads;
            }
            self->loadedIndex = -1;
        };
        return s;
    }
};

// Microsecond ticks the test moves itself.
struct FakeClock {
    std::atomic<std::int64_t> now{1'000'000};
    platform::Clock clock{true, 1'000'000, 0};
    static std::int64_t read(void* context) { return static_cast<FakeClock*>(context)->now.load(); }
    void advanceMs(std::int64_t ms) { now += ms * 1000; }
};

} // namespace quillon::test
