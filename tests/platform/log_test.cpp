// The opt-in log: nothing without opting in, lines carrying time, thread and
// event, callback events written by the log's own thread, counters reported
// only when they change, and the file kept to its bound.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "common/files.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace quillon::platform {
namespace {

std::string pathBeside(const char* name) {
    char dir[1024] = "";
    executableDirectory(dir, sizeof dir);
    return std::string(dir) + name;
}

using testing::fileExists;
using testing::readFile;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ =
            pathBeside((std::string("log-test-") +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log")
                           .c_str());
        std::remove(path_.c_str());
        std::remove((path_ + ".1").c_str());
    }
    void TearDown() override { closeLog(); }
    std::string path_;
};

TEST_F(LogTest, OffUntilOpenedAndAnExistingFileIsTheOptIn) {
    EXPECT_FALSE(logEnabled());
    logLine("never written");
    logFromCallback("never written %lld %lld", 1, 2);
    // The user's way in needs the file to be there already.
    EXPECT_FALSE(openLog(path_.c_str(), true));
    EXPECT_FALSE(logEnabled());
    EXPECT_FALSE(fileExists(path_));

    { std::ofstream create(path_); }
    ASSERT_TRUE(openLog(path_.c_str(), true));
    logLine("first line");
    closeLog();
    EXPECT_FALSE(logEnabled());
    logLine("after close");
    const std::string text = readFile(path_);
    EXPECT_NE(text.find("first line"), std::string::npos);
    EXPECT_EQ(text.find("never written"), std::string::npos);
    EXPECT_EQ(text.find("after close"), std::string::npos);
}

TEST_F(LogTest, LinesCarryTimeThreadAndEventAndCallbackEventsTheirOwnThread) {
    ASSERT_TRUE(openLog(path_.c_str(), false));
    nameThisThread("tester");
    logLine("open %d Hz", 48000);
    // A thread with no name shows its system id alone.
    std::uint64_t otherId = 0;
    Thread* other = startThread(
        [](void* arg) -> unsigned {
            *static_cast<std::uint64_t*>(arg) = currentThreadId();
            logFromCallback("driver message: selector %lld, value %lld", 3, 0);
            return 0;
        },
        &otherId);
    ASSERT_NE(other, nullptr);
    waitOne(threadHandle(other), kInfinite);
    closeThread(other);
    closeLog();
    nameThisThread(nullptr);

    const std::string text = readFile(path_);
    const std::regex own(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[tester \d+\] open 48000 Hz\n)");
    EXPECT_TRUE(std::regex_search(text, own)) << text;
    const std::string fromOther =
        " [" + std::to_string(otherId) + "] driver message: selector 3, value 0\n";
    EXPECT_NE(text.find(fromOther), std::string::npos) << text;
}

TEST_F(LogTest, CountersAreWrittenOnlyWhenTheyChange) {
    std::atomic<std::int64_t> underruns{0};
    ASSERT_TRUE(openLog(path_.c_str(), false));
    watchLogCounter("underruns", &underruns);
    // Unchanged for over a second: nothing to say.
    sleepMs(1300);
    underruns = 3;
    sleepMs(1300);
    underruns = 5;
    // The last change is written when the counter goes away, even within the second.
    unwatchLogCounter(&underruns);
    underruns = 9;
    sleepMs(1300);
    closeLog();
    const std::string text = readFile(path_);
    EXPECT_EQ(text.find("underruns: 0"), std::string::npos) << text;
    EXPECT_NE(text.find("underruns: 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("underruns: 5\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("underruns: 9"), std::string::npos) << text;
}

TEST_F(LogTest, TheFileRotatesAtItsBound) {
    ASSERT_TRUE(openLog(path_.c_str(), false));
    const std::string filler(900, 'x');
    const std::size_t lines = kLogRotateBytes / 900 + 50;
    for (std::size_t i = 0; i < lines; ++i) {
        logLine("%zu %s", i, filler.c_str());
    }
    logLine("last line");
    closeLog();
    const std::string older = readFile(path_ + ".1");
    const std::string current = readFile(path_);
    EXPECT_GE(older.size(), kLogRotateBytes);
    EXPECT_LT(older.size(), kLogRotateBytes + 1024);
    EXPECT_LT(current.size(), kLogRotateBytes);
    EXPECT_NE(current.find("last line"), std::string::npos);
    // Nothing lost at the cut: every numbered line is in one of the two files.
    const auto count = [&filler](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = text.find(filler); at != std::string::npos;
             at = text.find(filler, at + filler.size())) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count(older) + count(current), lines);
}

TEST_F(LogTest, AFullQueueDropsCallbackEventsAndCountsThem) {
    ASSERT_TRUE(openLog(path_.c_str(), false));
    const std::int64_t before = droppedLogEvents();
    // Far more than the queue holds, faster than the log thread's wake-up.
    for (int i = 0; i < 5000; ++i) {
        logFromCallback("event %lld %lld", i, 0);
    }
    closeLog();
    const std::string text = readFile(path_);
    EXPECT_NE(text.find("event 0 0\n"), std::string::npos);
    std::size_t written = 0;
    for (std::size_t at = text.find("] event "); at != std::string::npos;
         at = text.find("] event ", at + 1)) {
        ++written;
    }
    EXPECT_EQ(static_cast<std::int64_t>(written) + droppedLogEvents() - before, 5000);
}

} // namespace
} // namespace quillon::platform
