// A converter stand-in for the worker tests: it passes bytes through unchanged, one fixed step
// at a time, and records what the worker asked of it and on which thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"
#include "resample/dsp/sample_io.h"
#include "resample/resampler_base.h"

namespace quillon::resample::test {

struct ProcessCall {
    std::uint32_t length;
    int final;
    platform::Thread* thread;
};

// What the fakes share with the test. Written on the worker thread, read by the test after a
// command's completion event.
struct FakeLog {
    std::uint32_t step = 64;      // bytes one non-final step consumes
    std::uint32_t frameBytes = 4; // a final step takes whole frames of this size
    bool refuse = false;          // the factory yields no converter
    bool throwOnCreate = false;   // the factory throws
    int roomForSteps = -1;        // steps whose output still fits; -1: no limit
    ResamplerConfig lastConfig{};
    std::vector<ProcessCall> calls;
    std::vector<platform::Thread*> createdOn;
    std::vector<platform::Thread*> destroyedOn;
    std::atomic<int> inProcess{0};
    std::atomic<bool> overlapped{false};
};

inline FakeLog& fakeLog() {
    static FakeLog log;
    return log;
}

inline void resetFakeLog() {
    FakeLog& log = fakeLog();
    log.step = 64;
    log.frameBytes = 4;
    log.refuse = false;
    log.throwOnCreate = false;
    log.roomForSteps = -1;
    log.lastConfig = {};
    log.calls.clear();
    log.createdOn.clear();
    log.destroyedOn.clear();
    log.overlapped = false;
}

class PassThrough : public Resampler_base {
public:
    explicit PassThrough(const ResamplerConfig& config) : Resampler_base(config) {
        fakeLog().createdOn.push_back(platform::currentThread());
    }
    ~PassThrough() override { fakeLog().destroyedOn.push_back(platform::currentThread()); }

    std::uint32_t process(const std::uint8_t* bytes, std::uint32_t length, int final) override {
        FakeLog& log = fakeLog();
        if (log.inProcess.fetch_add(1) != 0) {
            log.overlapped = true;
        }
        log.calls.push_back({length, final, platform::currentThread()});
        // As the converters do when their output cannot grow: run nothing, take nothing.
        if (log.roomForSteps == 0) {
            outputFailed = true;
            log.inProcess.fetch_sub(1);
            return 0;
        }
        if (log.roomForSteps > 0) {
            --log.roomForSteps;
        }
        std::uint32_t taken = 0;
        if (final == 0) {
            taken = length >= log.step ? log.step : 0;
        } else {
            taken = length / log.frameBytes * log.frameBytes;
        }
        if (taken != 0) {
            dsp::appendBytes(outputBuffer, bytes, taken);
        }
        log.inProcess.fetch_sub(1);
        return taken;
    }
};

inline Resampler_base* createFake(const ResamplerConfig& config) {
    FakeLog& log = fakeLog();
    log.lastConfig = config;
    if (log.throwOnCreate) {
        throw std::runtime_error("converter refused");
    }
    return log.refuse ? nullptr : new PassThrough(config);
}

// Bytes 0, 1, 2, ... wrapping, offset by `first`: every position of a stream is recognisable.
inline std::vector<std::uint8_t> pattern(std::size_t n, std::size_t first = 0) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<std::uint8_t>((first + i) * 7 + (first + i) / 251);
    }
    return bytes;
}

} // namespace quillon::resample::test
