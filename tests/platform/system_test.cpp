// Shared memory, message windows, the clocks and the process helpers, as seen
// from one process and one thread.

#include "platform/platform.h"
#include "test_names.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace quillon::platform {
namespace {

constexpr std::size_t kBlockSize = 1 << 20;

bool allZero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(SharedMemory, NewIsZeroOpenedTwiceIsSharedAndGoneAfterLastClose) {
    const std::string name = test::uniqueName("block");
    SharedMemory* first = openSharedMemory(name.c_str(), kBlockSize);
    ASSERT_NE(first, nullptr);
    auto* a = static_cast<unsigned char*>(sharedMemoryData(first));
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(allZero(a, kBlockSize));

    SharedMemory* second = openSharedMemory(name.c_str(), kBlockSize);
    ASSERT_NE(second, nullptr);
    auto* b = static_cast<unsigned char*>(sharedMemoryData(second));
    a[0] = 0x5A;
    a[kBlockSize - 1] = 0xA5; // the whole block is mapped
    EXPECT_EQ(b[0], 0x5A);
    EXPECT_EQ(b[kBlockSize - 1], 0xA5);
    b[4096] = 7;
    EXPECT_EQ(a[4096], 7);

    // Closing the creator first must not take the opener's view away.
    closeSharedMemory(first);
    EXPECT_EQ(b[0], 0x5A);
    closeSharedMemory(second);

    SharedMemory* again = openSharedMemory(name.c_str(), kBlockSize);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(allZero(sharedMemoryData(again), kBlockSize)) << "stale contents came back";
    closeSharedMemory(again);
}

TEST(MessageWindow, PostedMessagesArriveInOrderWithFullWidthValues) {
    const WindowId window = createMessageWindow();
    ASSERT_NE(window, 0u);
    const WindowMessage sent[] = {
        {kWmCommand, 40047, 0},
        {0x0400, 0x1234567890ABCDEFull, -2},
        {0x0401, 0, INT64_MIN},
    };
    for (const WindowMessage& message : sent) {
        ASSERT_TRUE(postWindowMessage(window, message.message, message.wParam, message.lParam));
    }
    for (const WindowMessage& expected : sent) {
        WindowMessage got{};
        ASSERT_TRUE(receiveWindowMessage(window, 1000, &got));
        EXPECT_EQ(got.message, expected.message);
        EXPECT_EQ(got.wParam, expected.wParam);
        EXPECT_EQ(got.lParam, expected.lParam);
    }
    WindowMessage none{};
    const std::int64_t start = perfCounter();
    EXPECT_FALSE(receiveWindowMessage(window, 30, &none));
    EXPECT_LT(test::elapsedMs(start), 2000.0);

    destroyMessageWindow(window);
    EXPECT_FALSE(postWindowMessage(window, kWmCommand, 40047, 0)) << "posted to a gone window";
    EXPECT_FALSE(postWindowMessage(0, kWmCommand, 40047, 0));
}

TEST(Clock, CountersAdvanceWithRealTime) {
    std::int64_t frequency = 0;
    ASSERT_TRUE(perfFrequency(&frequency));
    ASSERT_GT(frequency, 0);
    ASSERT_GE(timerMinPeriodMs(), 1u);

    timerBeginPeriod(timerMinPeriodMs());
    const std::int64_t counter0 = perfCounter();
    const std::uint32_t timer0 = timerMs();
    sleepMs(50);
    const std::int64_t counterMs = (perfCounter() - counter0) * 1000 / frequency;
    const std::uint32_t timerElapsed = timerMs() - timer0;
    timerEndPeriod(timerMinPeriodMs());

    EXPECT_GE(counterMs, 40);
    EXPECT_LT(counterMs, 5000);
    EXPECT_GE(timerElapsed, 40u);
    EXPECT_LT(timerElapsed, 5000u);
}

TEST(Environment, CopiesWhatFitsAndRefusesTheRest) {
    const char* expected = std::getenv("PATH"); // set in every test environment
    ASSERT_NE(expected, nullptr);
    char value[4096];
    if (std::strlen(expected) < sizeof value) {
        ASSERT_TRUE(getEnvironment("PATH", value, sizeof value));
        EXPECT_STREQ(value, expected);
    }
    char tiny[2];
    EXPECT_FALSE(getEnvironment("PATH", tiny, sizeof tiny));
    EXPECT_FALSE(getEnvironment(test::uniqueName("unset").c_str(), value, sizeof value));
}

TEST(Process, ExecutableDirectoryEndsWithSeparator) {
    char directory[1024];
    ASSERT_TRUE(executableDirectory(directory, sizeof directory));
    const std::size_t length = std::strlen(directory);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(directory[length - 1], pathSeparator());
    char tiny[2];
    EXPECT_FALSE(executableDirectory(tiny, sizeof tiny));
}

TEST(Process, MissingProgramFailsToStart) {
    char path[1024];
    ASSERT_TRUE(executableDirectory(path, sizeof path));
    const std::string missing = std::string(path) + "no-such-program";
    EXPECT_EQ(spawnProcess(missing.c_str()), nullptr);
    EXPECT_EQ(spawnProcess(nullptr), nullptr);
}

TEST(Library, LoadsSystemLibraryAndFindsOnlyRealSymbols) {
    void* library = loadLibrary(QUILLON_SYSTEM_LIBRARY);
    ASSERT_NE(library, nullptr);
    EXPECT_NE(librarySymbol(library, QUILLON_SYSTEM_SYMBOL), nullptr);
    EXPECT_EQ(librarySymbol(library, "quillonNoSuchSymbol"), nullptr);
    freeLibrary(library);

    EXPECT_EQ(loadLibrary("quillon-no-such-library"), nullptr);
    EXPECT_EQ(librarySymbol(nullptr, "x"), nullptr);
    freeLibrary(nullptr);
}

} // namespace
} // namespace quillon::platform
