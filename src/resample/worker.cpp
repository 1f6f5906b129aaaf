#include "resample/worker.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "resample/dsp/sample_io.h"

namespace quillon::resample {

namespace {

// Output a converter makes ahead of its reader. Past it, fed input waits unconverted: a reader
// that cannot take the output (a paused or stalled driver) costs neither the memory nor the
// time of converting a whole payload, which at a high quality and a large rate ratio is
// gigabytes and minutes. A step's output may go past it once.
constexpr std::uint32_t kOutputAheadBytes = 1u << 20;

// The factory's converter, or none; a factory that throws counts as one that refused.
Resampler_base* buildConverter(ResamplerWorker& worker, const ResamplerConfig& config) {
    try {
        return worker.factory != nullptr ? worker.factory(config) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

// Replaces the held converter, at the client's priority while one is held.
void createConverter(ResamplerWorker& worker, ResamplerRequest& request) {
    delete std::exchange(worker.activeResampler, nullptr);
    // Raised before building, so the filter design already runs at the client's priority.
    platform::setCurrentThreadPriority(workerPriorityLevel(request.argument));
    worker.activeResampler = buildConverter(worker, request.config);
    if (worker.activeResampler != nullptr) {
        worker.activeResampler->outputLimit = kOutputAheadBytes;
    } else {
        // Nothing to convert: an idle worker has no business at a raised priority.
        platform::setCurrentThreadPriority(platform::kPriorityNormal);
    }
    request.result = worker.activeResampler != nullptr ? 1 : 0;
}

void feedConverter(Resampler_base& active, ResamplerRequest& request) {
    // Taken unsigned: a negative count becomes a size past the buffer limit and is refused.
    const auto n = static_cast<std::uint32_t>(request.argument);
    if ((n == 0 || request.inputData != nullptr) &&
        dsp::appendBytes(active.inputBuffer, request.inputData, n)) {
        request.result = n;
    }
    // A step without room for its output ran nothing. Bytes of this feed that no step took
    // are handed back, so the caller can refuse the write whole; bytes already converted
    // belong to the stream, and the rest waits in front for the next step.
    if (!convertSteps(active, 0) && request.result == n && n != 0 &&
        active.inputBuffer.length >= n) {
        active.inputBuffer.length -= n;
        request.result = 0;
    }
}

void consumeOutput(dsp::GrowableBuffer& output, std::uint32_t n) {
    // A count beyond the output would move bytes from past its end: empty it instead.
    if (n >= output.length) {
        output.length = 0;
    } else if (n > 0) {
        std::memmove(output.data, output.data + n, output.length - n);
        output.length -= n;
    }
}

void performCommand(ResamplerWorker& worker, ResamplerRequest& request) {
    if (request.command == WorkerCommand::Create) {
        createConverter(worker, request);
        return;
    }
    Resampler_base* active = worker.activeResampler;
    if (active == nullptr) {
        return; // every other command answers 0 without a converter
    }
    switch (request.command) {
    case WorkerCommand::Create:
        break;
    case WorkerCommand::Destroy:
        worker.activeResampler = nullptr;
        delete active;
        platform::setCurrentThreadPriority(platform::kPriorityNormal);
        break;
    case WorkerCommand::Feed:
        feedConverter(*active, request);
        break;
    case WorkerCommand::Drain:
        // Input that never came needs no flush; otherwise the delay's worth follows too. A
        // flush stopped at the output limit is not complete: the next drain carries on.
        request.result = convertSteps(*active, 1) && !active->outputLimited ? 1 : 0;
        break;
    case WorkerCommand::Peek: {
        const auto most = static_cast<std::uint32_t>(request.argument);
        const dsp::GrowableBuffer& output = active->outputBuffer;
        if (output.length < most && active->inputBuffer.length > 0) {
            // Converted when asked for: as much as the reader wants now, at least as far as
            // the usual limit. A step without room leaves its input for the next ask.
            const std::uint32_t limit = active->outputLimit;
            active->outputLimit = limit != 0 ? std::max(most, limit) : 0;
            convertSteps(*active, 0);
            active->outputLimit = limit;
        }
        request.result = output.length < most ? output.length : most;
        request.outputData = output.data;
        break;
    }
    case WorkerCommand::Consume:
        consumeOutput(active->outputBuffer, static_cast<std::uint32_t>(request.argument));
        break;
    case WorkerCommand::Reset:
        active->inputBuffer.length = 0;
        active->outputBuffer.length = 0;
        break;
    case WorkerCommand::Count: {
        request.result = active->outputBuffer.length;
        const std::uint64_t step =
            static_cast<std::uint64_t>(std::max(active->nextStepFrames(), 0)) *
            static_cast<std::uint64_t>(active->inputBytesPerSample) *
            static_cast<std::uint64_t>(active->channels);
        const std::uint32_t input = active->inputBuffer.length;
        request.queuedInput = input > step ? static_cast<std::uint32_t>(input - step) : 0;
        break;
    }
    }
}

void queuedCommand(void* arg) {
    runWorkerCommand(*static_cast<ResamplerRequest*>(arg));
}

unsigned workerMain(void* arg) {
    auto& worker = *static_cast<ResamplerWorker*>(arg);
    worker.activeResampler = nullptr;
    platform::setEvent(worker.workerReadyEvent);
    for (;;) {
        const int waited = platform::waitAlertable(worker.workerQuitEvent, platform::kInfinite);
        if (waited == 0) {
            break;
        }
        if (waited == platform::kWaitFailed) {
            platform::sleepMs(1); // keep a broken wait from spinning a core
        }
    }
    // Cleared first: once the converter's destructor has run, the record may already be gone.
    Resampler_base* active = worker.activeResampler;
    worker.activeResampler = nullptr;
    delete active;
    return 0;
}

} // namespace

ResamplerWorker& processWorker() {
    static ResamplerWorker worker;
    return worker;
}

bool startWorker(ResamplerWorker& worker) {
    if (worker.thread != nullptr) {
        return true;
    }
    worker.workerQuitEvent = platform::createEvent(nullptr, true);
    worker.workerReadyEvent = platform::createEvent(nullptr, true);
    if (worker.workerQuitEvent != nullptr && worker.workerReadyEvent != nullptr) {
        worker.thread = platform::startThread(workerMain, &worker);
    }
    if (worker.thread == nullptr) {
        platform::closeHandle(worker.workerQuitEvent);
        platform::closeHandle(worker.workerReadyEvent);
        worker.workerQuitEvent = nullptr;
        worker.workerReadyEvent = nullptr;
        return false;
    }
    platform::waitPumpingMessages(worker.workerReadyEvent, platform::kInfinite);
    platform::closeHandle(worker.workerReadyEvent);
    worker.workerReadyEvent = nullptr;
    return true;
}

void stopWorker(ResamplerWorker& worker) {
    if (worker.thread == nullptr) {
        return;
    }
    platform::setEvent(worker.workerQuitEvent);
    const bool done = platform::endThread(worker.thread);
    platform::closeThread(worker.thread);
    // A thread that could not be ended still waits on the quit event: leave it open, so the
    // thread ends as soon as it gets back to its wait.
    if (done) {
        platform::closeHandle(worker.workerQuitEvent);
    }
    worker.thread = nullptr;
    worker.workerQuitEvent = nullptr;
}

int workerPriorityLevel(std::int32_t code) {
    switch (code) {
    case kWorkerPriorityAboveNormal:
        return platform::kPriorityAboveNormal;
    case kWorkerPriorityHighest:
        return platform::kPriorityHighest;
    case kWorkerPriorityTimeCritical:
        return platform::kPriorityTimeCritical;
    default:
        return platform::kPriorityNormal;
    }
}

bool postWorkerCommand(ResamplerRequest& request, WorkerCommand command) {
    request.command = command;
    request.result = 0;
    if (request.worker == nullptr || request.worker->thread == nullptr) {
        return false;
    }
    platform::Handle* done = platform::createEvent(nullptr, true);
    if (done == nullptr) {
        return false;
    }
    request.doneEvent = done;
    if (!platform::queueCall(request.worker->thread, queuedCommand, &request)) {
        request.doneEvent = nullptr;
        platform::closeHandle(done);
        return false;
    }
    platform::waitPumpingMessages(done, platform::kInfinite);
    request.doneEvent = nullptr;
    platform::closeHandle(done);
    return true;
}

bool workerCreate(ResamplerRequest& request, std::int32_t priority, std::int32_t inputRate,
                  std::int32_t outputRate, std::int32_t inputIsFloat, std::int32_t inputBits,
                  std::int32_t channels, std::int32_t quality) {
    request.argument = priority;
    // The device converts into the driver's types from 64-bit float, so that is what we ask.
    request.config =
        ResamplerConfig{inputRate, outputRate, inputIsFloat, 1, inputBits, 64, channels, quality};
    return postWorkerCommand(request, WorkerCommand::Create) && request.result == 1;
}

void workerDestroy(ResamplerRequest& request) {
    postWorkerCommand(request, WorkerCommand::Destroy);
}

bool workerFeed(ResamplerRequest& request, const std::uint8_t* bytes, std::int32_t n) {
    request.argument = n;
    request.inputData = bytes;
    const bool delivered = postWorkerCommand(request, WorkerCommand::Feed);
    request.inputData = nullptr;
    return delivered && request.result == static_cast<std::uint32_t>(n);
}

bool workerDrain(ResamplerRequest& request) {
    return postWorkerCommand(request, WorkerCommand::Drain) && request.result == 1;
}

std::uint32_t workerPeek(ResamplerRequest& request, std::int32_t most) {
    request.argument = most;
    request.outputData = nullptr;
    postWorkerCommand(request, WorkerCommand::Peek);
    return request.result;
}

void workerConsume(ResamplerRequest& request, std::int32_t n) {
    request.argument = n;
    postWorkerCommand(request, WorkerCommand::Consume);
}

void workerReset(ResamplerRequest& request) {
    postWorkerCommand(request, WorkerCommand::Reset);
}

std::uint32_t workerCount(ResamplerRequest& request) {
    postWorkerCommand(request, WorkerCommand::Count);
    return request.result;
}

WorkerBacklog workerBacklog(ResamplerRequest& request) {
    request.queuedInput = 0;
    postWorkerCommand(request, WorkerCommand::Count);
    return WorkerBacklog{request.result, request.queuedInput};
}

void runWorkerCommand(ResamplerRequest& request) {
    // Every command completes and sets its event: nothing may escape into the queued call,
    // where it would end the process or leave the caller waiting for ever.
    try {
        if (request.worker != nullptr) {
            performCommand(*request.worker, request);
        }
    } catch (...) {
    }
    platform::setEvent(request.doneEvent);
}

} // namespace quillon::resample
