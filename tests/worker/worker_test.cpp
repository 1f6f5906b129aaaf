#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "fake_converter.h"
#include "resample/worker.h"

namespace quillon::resample {
namespace {

using test::fakeLog;
using test::pattern;

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetFakeLog();
        worker.factory = test::createFake;
        ASSERT_TRUE(startWorker(worker));
        request.worker = &worker;
    }
    void TearDown() override { stopWorker(worker); }

    bool create(std::int32_t priority = 0) {
        return workerCreate(request, priority, 44100, 48000, 0, 16, 2, 1);
    }
    bool feed(const std::vector<std::uint8_t>& bytes) {
        return workerFeed(request, bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }
    // Read only between commands: the completion event orders it after the worker's writes.
    Resampler_base& active() { return *worker.activeResampler; }
    std::vector<std::uint8_t> input() {
        auto& b = active().inputBuffer;
        return {b.data, b.data + b.length};
    }
    std::vector<std::uint8_t> output() {
        auto& b = active().outputBuffer;
        return {b.data, b.data + b.length};
    }
    static std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t from,
                                           std::size_t to) {
        return {v.begin() + from, v.begin() + to};
    }

    ResamplerWorker worker;
    ResamplerRequest request;
};

TEST_F(WorkerTest, CreateAsksFor64BitFloatAndRunsOnTheWorkerThread) {
    ASSERT_TRUE(create());
    const ResamplerConfig& c = fakeLog().lastConfig;
    EXPECT_EQ((std::vector<int>{c.inputRate, c.outputRate, c.inputIsFloat, c.outputIsFloat,
                                c.inputBits, c.outputBits, c.channels, c.quality}),
              (std::vector<int>{44100, 48000, 0, 1, 16, 64, 2, 1}));
    ASSERT_NE(worker.thread, nullptr);
    EXPECT_EQ(fakeLog().createdOn, std::vector<platform::Thread*>{worker.thread});

    const auto bytes = pattern(200);
    ASSERT_TRUE(feed(bytes));
    workerDrain(request);
    for (const auto& call : fakeLog().calls) {
        EXPECT_EQ(call.thread, worker.thread);
    }
}

TEST_F(WorkerTest, FeedConvertsWholeStepsAndKeepsTheRemainderAtTheFront) {
    fakeLog().step = 100;
    ASSERT_TRUE(create());
    const auto bytes = pattern(460);

    // Shorter than a step: one refused attempt, the bytes only wait.
    ASSERT_TRUE(feed(slice(bytes, 0, 60)));
    EXPECT_EQ(fakeLog().calls.size(), 1u);
    EXPECT_EQ(input(), slice(bytes, 0, 60));
    EXPECT_EQ(workerCount(request), 0u);

    // 60 + 290: three steps, 50 bytes left and moved down.
    ASSERT_TRUE(feed(slice(bytes, 60, 350)));
    std::vector<std::uint32_t> lengths;
    for (const auto& call : fakeLog().calls) {
        lengths.push_back(call.length);
        EXPECT_EQ(call.final, 0);
    }
    EXPECT_EQ(lengths, (std::vector<std::uint32_t>{60, 350, 250, 150, 50}));
    EXPECT_EQ(input(), slice(bytes, 300, 350));
    EXPECT_EQ(output(), slice(bytes, 0, 300));

    // Exactly the rest of a step: the input empties.
    ASSERT_TRUE(feed(slice(bytes, 350, 400)));
    EXPECT_EQ(active().inputBuffer.length, 0u);
    EXPECT_EQ(output(), slice(bytes, 0, 400));
    EXPECT_EQ(workerCount(request), 400u);
}

TEST_F(WorkerTest, InputCapacityStartsAt1024AndDoubles) {
    fakeLog().step = 1u << 30; // nothing is ever consumed
    struct Case {
        std::vector<std::size_t> feeds;
        std::vector<std::uint32_t> capacities;
    };
    const Case cases[] = {
        {{5000, 4000}, {8192, 16384}},
        {{1, 1023, 1}, {1024, 1024, 2048}},
        {{1024, 3073}, {1024, 8192}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(create()); // a fresh converter each time
        std::vector<std::uint8_t> all;
        for (std::size_t i = 0; i < c.feeds.size(); ++i) {
            const auto bytes = pattern(c.feeds[i], all.size());
            all.insert(all.end(), bytes.begin(), bytes.end());
            ASSERT_TRUE(feed(bytes));
            EXPECT_EQ(active().inputBuffer.capacity, c.capacities[i]) << "feed " << i;
        }
        EXPECT_EQ(input(), all);
    }
}

TEST_F(WorkerTest, AStepWithoutRoomRefusesTheFeedAndLeavesTheStreamWhole) {
    fakeLog().step = 64;
    ASSERT_TRUE(create());
    const auto head = pattern(100);
    ASSERT_TRUE(feed(head)); // one step; 36 bytes wait
    const auto kept = output();

    // No room for the next step: nothing of this feed went anywhere, so it is refused whole.
    fakeLog().roomForSteps = 0;
    const auto refused = pattern(100, 100);
    EXPECT_FALSE(feed(refused));
    EXPECT_EQ(input(), slice(head, 64, 100));
    EXPECT_EQ(output(), kept);
    EXPECT_FALSE(workerDrain(request));
    EXPECT_EQ(input(), slice(head, 64, 100));

    // Room for one step: it takes the waiting bytes and the start of this feed, which then
    // belongs to the stream; the rest waits in front and nothing is lost.
    fakeLog().roomForSteps = 1;
    const auto partly = pattern(100, 100);
    EXPECT_TRUE(feed(partly));
    EXPECT_EQ(input(), slice(partly, 28, 100));

    fakeLog().roomForSteps = -1;
    EXPECT_TRUE(workerDrain(request));
    auto all = head;
    all.insert(all.end(), partly.begin(), partly.end());
    EXPECT_EQ(output(), all);
}

TEST_F(WorkerTest, DrainFlushesWholeFramesAndRunsNothingOnEmptyInput) {
    fakeLog().step = 64;
    fakeLog().frameBytes = 4;
    ASSERT_TRUE(create());
    workerDrain(request);
    EXPECT_TRUE(fakeLog().calls.empty());

    const auto bytes = pattern(64);
    ASSERT_TRUE(feed(bytes)); // one whole step, input empty again
    const std::size_t before = fakeLog().calls.size();
    workerDrain(request);
    EXPECT_EQ(fakeLog().calls.size(), before);

    // Ten bytes: a final step takes two frames; the last two bytes stay at the front.
    const auto tail = pattern(10, 64);
    ASSERT_TRUE(feed(tail));
    fakeLog().calls.clear();
    workerDrain(request);
    ASSERT_EQ(fakeLog().calls.size(), 2u);
    EXPECT_EQ(fakeLog().calls[0].length, 10u);
    EXPECT_EQ(fakeLog().calls[1].length, 2u);
    EXPECT_NE(fakeLog().calls[0].final, 0);
    EXPECT_EQ(input(), slice(tail, 8, 10));
    EXPECT_EQ(slice(output(), 64, 72), slice(tail, 0, 8));
}

TEST_F(WorkerTest, PeekAnswersTheSmallerOfWhatIsThereAndWhatIsAsked) {
    fakeLog().step = 100;
    ASSERT_TRUE(create());
    const auto bytes = pattern(300);
    ASSERT_TRUE(feed(bytes));
    const std::pair<std::int32_t, std::uint32_t> cases[] = {
        {1000, 300}, {300, 300}, {299, 299}, {1, 1}, {0, 0}, {-1, 300}, // taken unsigned
    };
    for (const auto& [most, expected] : cases) {
        EXPECT_EQ(workerPeek(request, most), expected) << most;
        ASSERT_EQ(request.outputData, active().outputBuffer.data);
    }
    EXPECT_EQ(std::memcmp(request.outputData, bytes.data(), 300), 0);
}

TEST_F(WorkerTest, ConsumeRemovesFromTheFront) {
    fakeLog().step = 100;
    ASSERT_TRUE(create());
    const auto bytes = pattern(600);
    ASSERT_TRUE(feed(slice(bytes, 0, 300)));
    const std::uint8_t* block = active().outputBuffer.data;

    workerConsume(request, 0);
    EXPECT_EQ(workerCount(request), 300u);
    workerConsume(request, 100);
    EXPECT_EQ(output(), slice(bytes, 100, 300));
    workerConsume(request, 200); // everything
    EXPECT_EQ(workerCount(request), 0u);
    EXPECT_EQ(active().outputBuffer.data, block);
    EXPECT_EQ(active().outputBuffer.capacity, 1024u);

    ASSERT_TRUE(feed(slice(bytes, 300, 400)));
    EXPECT_EQ(output(), slice(bytes, 300, 400));
    // A count past the end, or negative, empties instead of moving bytes from beyond it.
    workerConsume(request, 150);
    EXPECT_EQ(workerCount(request), 0u);
    ASSERT_TRUE(feed(slice(bytes, 400, 500)));
    workerConsume(request, -1);
    EXPECT_EQ(workerCount(request), 0u);
}

TEST_F(WorkerTest, ResetEmptiesBothBuffersAndKeepsTheConverter) {
    fakeLog().step = 100;
    ASSERT_TRUE(create());
    const auto bytes = pattern(330);
    ASSERT_TRUE(feed(slice(bytes, 0, 130)));
    Resampler_base* converter = worker.activeResampler;
    workerReset(request);
    EXPECT_EQ(worker.activeResampler, converter);
    EXPECT_TRUE(fakeLog().destroyedOn.empty());
    EXPECT_EQ(active().inputBuffer.length, 0u);
    EXPECT_EQ(active().outputBuffer.length, 0u);
    ASSERT_TRUE(feed(slice(bytes, 130, 330)));
    EXPECT_EQ(output(), slice(bytes, 130, 330));
}

TEST_F(WorkerTest, FeedThatCannotBeAppendedTakesNothingAndLosesNothing) {
    fakeLog().step = 64;
    ASSERT_TRUE(create());
    const auto bytes = pattern(100);
    ASSERT_TRUE(feed(slice(bytes, 0, 30)));
    // -1 reads as 4 GiB: past the buffer limit, refused before a byte is copied.
    EXPECT_FALSE(workerFeed(request, bytes.data() + 30, -1));
    EXPECT_FALSE(workerFeed(request, nullptr, 10));
    EXPECT_EQ(input(), slice(bytes, 0, 30));
    ASSERT_TRUE(feed(slice(bytes, 30, 100)));
    EXPECT_EQ(output(), slice(bytes, 0, 64));
    EXPECT_EQ(input(), slice(bytes, 64, 100));
}

TEST_F(WorkerTest, PriorityIsRaisedOnlyWhileAConverterIsHeld) {
    const std::pair<std::int32_t, int> cases[] = {
        {0, platform::kPriorityNormal},  {1, platform::kPriorityAboveNormal},
        {2, platform::kPriorityHighest}, {3, platform::kPriorityTimeCritical},
        {4, platform::kPriorityNormal},  {-1, platform::kPriorityNormal},
    };
    for (const auto& [code, level] : cases) {
        ASSERT_TRUE(create(code));
        EXPECT_EQ(platform::threadPriority(worker.thread), level) << code;
        workerDestroy(request);
        EXPECT_EQ(platform::threadPriority(worker.thread), platform::kPriorityNormal) << code;
    }
    // With nothing held, a destroy leaves the level alone.
    platform::setThreadPriority(worker.thread, platform::kPriorityHighest);
    workerDestroy(request);
    EXPECT_EQ(platform::threadPriority(worker.thread), platform::kPriorityHighest);
}

TEST_F(WorkerTest, CreateWhileOneIsHeldReplacesIt) {
    ASSERT_TRUE(create(2));
    ASSERT_TRUE(feed(pattern(30)));
    ASSERT_TRUE(create(1));
    EXPECT_EQ(fakeLog().destroyedOn, std::vector<platform::Thread*>{worker.thread});
    EXPECT_EQ(fakeLog().createdOn.size(), 2u);
    EXPECT_NE(worker.activeResampler, nullptr);
    EXPECT_EQ(active().inputBuffer.length, 0u);
    EXPECT_EQ(platform::threadPriority(worker.thread), platform::kPriorityAboveNormal);
}

TEST_F(WorkerTest, WithoutAConverterEveryCommandIsANoOp) {
    for (const bool throws : {false, true}) {
        ASSERT_TRUE(create(2)); // one held, so the refusal must also drop it
        fakeLog().refuse = !throws;
        fakeLog().throwOnCreate = throws;
        EXPECT_FALSE(create(3));
        EXPECT_EQ(worker.activeResampler, nullptr);
        EXPECT_EQ(platform::threadPriority(worker.thread), platform::kPriorityNormal);

        const auto bytes = pattern(200);
        EXPECT_FALSE(feed(bytes));
        workerDrain(request);
        request.outputData = bytes.data();
        EXPECT_EQ(workerPeek(request, 100), 0u);
        EXPECT_EQ(request.outputData, nullptr);
        workerConsume(request, 100);
        workerReset(request);
        EXPECT_EQ(workerCount(request), 0u);
        workerDestroy(request);
        EXPECT_TRUE(fakeLog().calls.empty());
        test::resetFakeLog();
    }
}

TEST_F(WorkerTest, CallersOnSeveralThreadsAreServedOneCommandAtATime) {
    constexpr int kFeeds = 200;
    constexpr std::uint32_t kStep = 64;
    fakeLog().step = kStep;
    ASSERT_TRUE(create());
    auto caller = [this](std::uint8_t value) {
        ResamplerRequest own;
        own.worker = &worker;
        const std::vector<std::uint8_t> chunk(kStep, value);
        for (int i = 0; i < kFeeds; ++i) {
            EXPECT_TRUE(workerFeed(own, chunk.data(), kStep));
        }
    };
    std::thread a(caller, std::uint8_t{0xA1});
    std::thread b(caller, std::uint8_t{0xB2});
    a.join();
    b.join();

    EXPECT_FALSE(fakeLog().overlapped);
    const auto out = output();
    ASSERT_EQ(out.size(), 2u * kFeeds * kStep);
    int blocksA = 0;
    for (std::size_t at = 0; at < out.size(); at += kStep) {
        const std::vector<std::uint8_t> block(out.begin() + at, out.begin() + at + kStep);
        ASSERT_EQ(block, std::vector<std::uint8_t>(kStep, block[0])) << "torn block at " << at;
        blocksA += block[0] == 0xA1;
    }
    EXPECT_EQ(blocksA, kFeeds);
}

TEST_F(WorkerTest, ShutdownDestroysAHeldConverterOnceOnTheWorkerThread) {
    ASSERT_TRUE(create(2));
    ASSERT_TRUE(feed(pattern(30)));
    platform::Thread* thread = worker.thread;
    stopWorker(worker);
    EXPECT_EQ(fakeLog().destroyedOn, std::vector<platform::Thread*>{thread});
    EXPECT_EQ(worker.thread, nullptr);
    EXPECT_EQ(worker.activeResampler, nullptr);

    // A stopped worker refuses commands instead of leaving the caller waiting.
    EXPECT_FALSE(feed(pattern(10)));
    EXPECT_EQ(workerCount(request), 0u);
    stopWorker(worker);
    EXPECT_EQ(fakeLog().destroyedOn.size(), 1u);
}

TEST_F(WorkerTest, StartsAndStopsMoreThanOnce) {
    platform::Thread* first = worker.thread;
    EXPECT_TRUE(startWorker(worker)); // already running: the same thread
    EXPECT_EQ(worker.thread, first);
    for (int round = 0; round < 2; ++round) {
        stopWorker(worker);
        ASSERT_TRUE(startWorker(worker));
        test::resetFakeLog();
        ASSERT_TRUE(create());
        ASSERT_TRUE(feed(pattern(64)));
        EXPECT_EQ(workerCount(request), 64u);
        EXPECT_EQ(fakeLog().createdOn, std::vector<platform::Thread*>{worker.thread});
    }
}

// The default factory: a real converter behind the same commands.
TEST(WorkerWithRealConverter, ConvertsSupportedRatesAndRefusesOthers) {
    ResamplerWorker worker;
    ASSERT_TRUE(startWorker(worker));
    ResamplerRequest request;
    request.worker = &worker;

    EXPECT_FALSE(workerCreate(request, 2, 40000, 48000, 0, 16, 2, 0));
    EXPECT_EQ(platform::threadPriority(worker.thread), platform::kPriorityNormal);

    ASSERT_TRUE(workerCreate(request, 1, 44100, 48000, 0, 16, 2, 0));
    std::vector<std::uint8_t> pcm(44100 * 4);
    for (std::size_t frame = 0; frame < 44100; ++frame) {
        const auto s = static_cast<std::int16_t>(16000 * std::sin(frame * 0.05));
        for (int ch = 0; ch < 2; ++ch) {
            std::memcpy(&pcm[frame * 4 + ch * 2], &s, 2);
        }
    }
    ASSERT_TRUE(workerFeed(request, pcm.data(), static_cast<std::int32_t>(pcm.size())));
    workerDrain(request);
    const std::uint32_t count = workerCount(request);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(count % 16, 0u); // whole stereo frames of doubles
    EXPECT_EQ(workerPeek(request, -1), count);
    ASSERT_NE(request.outputData, nullptr);
    workerConsume(request, static_cast<std::int32_t>(count));
    EXPECT_EQ(workerCount(request), 0u);
    stopWorker(worker);
}

} // namespace
} // namespace quillon::resample
