// One command's signalling cost: set an event, wake the other thread, have it
// set the answer event and wake this one. Unnamed events are what the worker
// commands use; named events carry both client channels.

#include "platform/platform.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

using namespace quillon::platform;

namespace {

struct Echo {
    Handle* request;
    Handle* answer;
    std::atomic<bool> stop{false};
};

unsigned echo(void* arg) {
    auto* channel = static_cast<Echo*>(arg);
    while (waitOne(channel->request, kInfinite) == 0 && !channel->stop.load()) {
        setEvent(channel->answer);
    }
    return 0;
}

void roundTrips(benchmark::State& state, Handle* request, Handle* requestSetter, Handle* answer,
                Handle* answerSetter) {
    Echo channel{request, answerSetter};
    Thread* thread = startThread(echo, &channel);
    for (auto _ : state) {
        setEvent(requestSetter);
        waitOne(answer, kInfinite);
    }
    channel.stop = true;
    setEvent(requestSetter);
    waitOne(threadHandle(thread), kInfinite);
    closeThread(thread);
}

void BM_UnnamedRoundTrip(benchmark::State& state) {
    Handle* request = createEvent(nullptr, true);
    Handle* answer = createEvent(nullptr, true);
    roundTrips(state, request, request, answer, answer);
    closeHandle(request);
    closeHandle(answer);
}
BENCHMARK(BM_UnnamedRoundTrip)->UseRealTime();

void BM_NamedRoundTrip(benchmark::State& state) {
    const std::string stamp = std::to_string(perfCounter());
    const std::string requestName = "quillon-bench request " + stamp;
    const std::string answerName = "quillon-bench answer " + stamp;
    Handle* request = createEvent(requestName.c_str(), true);
    Handle* answer = createEvent(answerName.c_str(), true);
    Handle* requestSetter = openEventForSet(requestName.c_str());
    Handle* answerSetter = openEventForSet(answerName.c_str());
    roundTrips(state, request, requestSetter, answer, answerSetter);
    for (Handle* handle : {request, answer, requestSetter, answerSetter}) {
        closeHandle(handle);
    }
}
BENCHMARK(BM_NamedRoundTrip)->UseRealTime();

void BM_PerfCounter(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(perfCounter());
    }
}
BENCHMARK(BM_PerfCounter);

} // namespace

BENCHMARK_MAIN();
