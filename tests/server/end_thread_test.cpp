// The bounded end of a thread at shutdown, with the server's bounds: a thread that obeys its quit
// event ends at once; one that ignores it costs at most the bounded waits and never hangs shutdown.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/platform.h"

namespace platform = quillon::platform;

namespace {

unsigned waitForEvent(void* arg) {
    platform::waitOne(static_cast<platform::Handle*>(arg), platform::kInfinite);
    return 0;
}

TEST(EndThread, AThreadThatEndsIsSeenAtOnce) {
    platform::Handle* quit = platform::createEvent(nullptr, false);
    platform::Thread* thread = platform::startThread(waitForEvent, quit);
    ASSERT_NE(thread, nullptr);
    platform::setEvent(quit);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform::endThread(thread));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    platform::closeThread(thread);
    platform::closeHandle(quit);
}

TEST(EndThread, AThreadThatIgnoresItsQuitEventDoesNotHangShutdown) {
    platform::Handle* never = platform::createEvent(nullptr, false);
    platform::Thread* thread = platform::startThread(waitForEvent, never);
    ASSERT_NE(thread, nullptr);
    const auto start = std::chrono::steady_clock::now();
    const bool ended = platform::endThread(thread);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(4500));
    EXPECT_LT(waited, std::chrono::seconds(30));
    // Terminated where the system can end a thread; otherwise reported as
    // still running, so the caller knows to abandon what it uses. Either way
    // the answer must match the thread's real state.
    EXPECT_EQ(platform::waitOne(platform::threadHandle(thread), 0) == 0, ended);
    if (!ended) {
        platform::setEvent(never); // let it go now that the test is over
        EXPECT_EQ(platform::waitOne(platform::threadHandle(thread), 10000), 0);
    }
    platform::closeThread(thread);
    platform::closeHandle(never);
}

} // namespace
