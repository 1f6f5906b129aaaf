// The resampler worker: one thread that owns the one active converter.
//
// Other threads never touch the converter. They fill a ResamplerRequest, queue
// runWorkerCommand to the worker thread and wait for the request's fresh
// completion event, pumping their own messages meanwhile. Commands therefore
// run one at a time, in the order queued, always on the worker thread.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "resample/resampler_base.h"

namespace quillon::resample {

// What a ResamplerRequest asks of the worker.
enum class WorkerCommand : std::int32_t {
    Create,
    Destroy,
    Feed,
    Drain,
    Peek,
    Consume,
    Reset,
    Count
};

// Priority codes of the create command (the client's resamplerPriority).
inline constexpr std::int32_t kWorkerPriorityAboveNormal = 1;
inline constexpr std::int32_t kWorkerPriorityHighest = 2;
inline constexpr std::int32_t kWorkerPriorityTimeCritical = 3;

using ResamplerFactory = Resampler_base* (*)(const ResamplerConfig& config);

struct ResamplerWorker {
    Resampler_base* activeResampler = nullptr; // touched by the worker thread only
    platform::Handle* workerQuitEvent = nullptr;
    platform::Handle* workerReadyEvent = nullptr; // lives only while the worker starts
    platform::Thread* thread = nullptr;           // target of every queued command
    // Builds the converter for a create command; tests put a fake converter here.
    ResamplerFactory factory = createResampler;
};

// One per engaged converter, reused by every command. The device owns it.
struct ResamplerRequest {
    WorkerCommand command = WorkerCommand::Create;
    std::uint32_t result = 0;      // peek and count: a byte count; create: 1 when a converter is
                                   // held; feed: the bytes appended (n, or 0 when refused);
                                   // drain: 1 when the flush is complete
    std::uint32_t queuedInput = 0; // count: input bytes beyond what the next step needs
    std::int32_t argument = 0;     // create: priority code; feed: byte count; peek: most bytes
                                   // wanted; consume: bytes to remove
    ResamplerConfig config{};      // create only
    const std::uint8_t* inputData = nullptr;  // feed: the bytes to append
    const std::uint8_t* outputData = nullptr; // peek: first byte of the converter's output
    platform::Handle* doneEvent = nullptr;    // fresh for each command in flight
    ResamplerWorker* worker = nullptr;        // the worker that runs this request's commands
};

// The process-wide worker that the server starts and the output device uses. Any thread.
ResamplerWorker& processWorker();

// Creates the worker's events, starts its thread and waits (pumping messages) until it runs.
// false, with the record left stopped, when an event or the thread cannot be made.
// Main thread, start-up; never in the driver's callback.
bool startWorker(ResamplerWorker& worker);

// Ends the worker within the platform's thread-end bounds: a converter still held is destroyed
// on its thread; a thread that cannot be ended is abandoned.
// Does nothing for a worker that is not running. Main thread, shutdown; never in the driver's
// callback.
void stopWorker(ResamplerWorker& worker);

// Windows priority level for a create command's priority code. Pure; any thread.
int workerPriorityLevel(std::int32_t code);

// Runs request.command on request.worker's thread and waits for it, pumping messages. false
// when the command could not be delivered (worker not running, no event could be made); the
// results then read as 0. Any thread but the worker's; never the driver's callback.
bool postWorkerCommand(ResamplerRequest& request, WorkerCommand command);

// The caller side, one command each. All may run on the main or the real-time thread, never in
// the driver's callback. Without a converter (none created, or the factory refused the rates)
// every command but create and destroy does nothing and answers 0.

// Replaces any held converter with a new one producing 64-bit float; true when one is held.
bool workerCreate(ResamplerRequest& request, std::int32_t priority, std::int32_t inputRate,
                  std::int32_t outputRate, std::int32_t inputIsFloat, std::int32_t inputBits,
                  std::int32_t channels, std::int32_t quality);
void workerDestroy(ResamplerRequest& request);
// Appends n bytes and converts whole steps until the output holds 1 MiB; the rest waits
// for a peek or a drain. false when the bytes were not taken (no converter, the input buffer
// would pass its size limit, or memory ran out): nothing of them was appended, so the caller
// still holds them all.
bool workerFeed(ResamplerRequest& request, const std::uint8_t* bytes, std::int32_t n);
// Flushes the stream: the input left and the filters' delay come out, and the output ends where
// the input does. false when a step found no room for its output, or when the output reached
// 1 MiB first; what was not flushed stays, and a later drain carries on from there.
bool workerDrain(ResamplerRequest& request);
// Bytes of output available, at most `most` (taken unsigned), converting more whole steps
// first while there are fewer; the bytes are at request.outputData and stay valid until the
// next command.
std::uint32_t workerPeek(ResamplerRequest& request, std::int32_t most);
// Removes n bytes from the front of the output; a count above what is there empties it.
void workerConsume(ResamplerRequest& request, std::int32_t n);
// Empties both buffers; the converter's filter state is kept.
void workerReset(ResamplerRequest& request);
// Bytes of output waiting.
std::uint32_t workerCount(ResamplerRequest& request);
struct WorkerBacklog {
    std::uint32_t output = 0;      // bytes of output waiting
    std::uint32_t queuedInput = 0; // input bytes beyond those the converter's next step needs:
                                   // what piles up while the output is not taken
};
WorkerBacklog workerBacklog(ResamplerRequest& request);

// Performs request.command on request.worker and then sets request.doneEvent. The queued
// procedure: worker thread.
void runWorkerCommand(ResamplerRequest& request);

} // namespace quillon::resample
