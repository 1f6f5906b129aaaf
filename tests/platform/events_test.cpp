// Auto-reset event semantics, the same for unnamed events and for named ones
// set through a second handle (the path a client in another process takes).

#include "platform/platform.h"
#include "test_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::platform {
namespace {

enum class Kind { Unnamed, NamedCreated, NamedOpened };

// One event seen from the side that waits and the side that sets.
struct Event {
    Handle* waiter = nullptr;
    Handle* setter = nullptr;
};

class EventTest : public ::testing::TestWithParam<Kind> {
protected:
    Event make() {
        Event event;
        if (GetParam() == Kind::Unnamed) {
            event.waiter = event.setter = createEvent(nullptr, true);
            owned_.push_back(event.waiter);
        } else {
            const std::string name = test::uniqueName("event");
            event.waiter = createEvent(name.c_str(), true);
            event.setter = GetParam() == Kind::NamedCreated ? createEvent(name.c_str(), false)
                                                            : openEventForSet(name.c_str());
            owned_.push_back(event.waiter);
            owned_.push_back(event.setter);
        }
        EXPECT_NE(event.waiter, nullptr);
        EXPECT_NE(event.setter, nullptr);
        return event;
    }

    void TearDown() override {
        for (Handle* handle : owned_) {
            closeHandle(handle);
        }
    }

private:
    std::vector<Handle*> owned_;
};

TEST_P(EventTest, SetBeforeWaitIsKeptAndTakenOnce) {
    Event event = make();
    EXPECT_EQ(waitOne(event.waiter, 0), kWaitTimeout) << "new events start clear";

    ASSERT_TRUE(setEvent(event.setter));
    EXPECT_EQ(waitOne(event.waiter, 1000), 0);
    EXPECT_EQ(waitOne(event.waiter, 0), kWaitTimeout) << "auto-reset: the wait took the signal";

    ASSERT_TRUE(setEvent(event.setter));
    ASSERT_TRUE(setEvent(event.setter));
    ASSERT_TRUE(setEvent(event.setter));
    EXPECT_EQ(waitOne(event.waiter, 1000), 0);
    EXPECT_EQ(waitOne(event.waiter, 0), kWaitTimeout) << "repeated sets collapse into one";
}

TEST_P(EventTest, WaitAnyReportsFirstSignalledInOrderAndTakesOnlyIt) {
    Event events[3] = {make(), make(), make()};
    Handle* waiters[3] = {events[0].waiter, events[1].waiter, events[2].waiter};

    ASSERT_TRUE(setEvent(events[2].setter));
    ASSERT_TRUE(setEvent(events[1].setter));
    EXPECT_EQ(waitAny(waiters, 3, 1000), 1);
    EXPECT_EQ(waitAny(waiters, 3, 1000), 2) << "the later handle kept its signal";
    EXPECT_EQ(waitAny(waiters, 3, 0), kWaitTimeout);

    ASSERT_TRUE(setEvent(events[0].setter));
    EXPECT_EQ(waitAny(waiters, 3, 0), 0);
}

TEST_P(EventTest, TimeOutsReturnOnTime) {
    Event event = make();
    for (std::uint32_t timeout : {0u, 1u, 60u}) {
        const std::int64_t start = perfCounter();
        EXPECT_EQ(waitOne(event.waiter, timeout), kWaitTimeout);
        const double elapsed = test::elapsedMs(start);
        // Windows may end a wait up to one scheduler tick early.
        EXPECT_GE(elapsed, static_cast<double>(timeout) - 20.0) << timeout;
        EXPECT_LT(elapsed, static_cast<double>(timeout) + 2000.0) << timeout;
    }
    Event other = make();
    Handle* both[2] = {event.waiter, other.waiter};
    EXPECT_EQ(waitAny(both, 2, 30), kWaitTimeout);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventTest,
                         ::testing::Values(Kind::Unnamed, Kind::NamedCreated, Kind::NamedOpened),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             switch (info.param) {
                             case Kind::Unnamed:
                                 return std::string("Unnamed");
                             case Kind::NamedCreated:
                                 return std::string("NamedCreated");
                             case Kind::NamedOpened:
                                 return std::string("NamedOpened");
                             }
                             return std::string();
                         });

TEST(NamedEvent, HandlesOfOneNameShareOneSignal) {
    const std::string name = test::uniqueName("shared");
    Handle* first = createEvent(name.c_str(), true);
    Handle* second = createEvent(name.c_str(), true);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(setEvent(first));
    EXPECT_EQ(waitOne(second, 1000), 0);
    EXPECT_EQ(waitOne(first, 0), kWaitTimeout);

    // The object lives on while any handle is open.
    closeHandle(first);
    ASSERT_TRUE(setEvent(second));
    EXPECT_EQ(waitOne(second, 1000), 0);
    closeHandle(second);
}

TEST(NamedEvent, OpeningForSetFindsOnlyExistingEvents) {
    const std::string name = test::uniqueName("missing");
    EXPECT_EQ(openEventForSet(name.c_str()), nullptr);
    EXPECT_EQ(openEventForSet(nullptr), nullptr);

    Handle* created = createEvent(name.c_str(), true);
    Handle* opened = openEventForSet(name.c_str());
    ASSERT_NE(opened, nullptr);
    closeHandle(opened);
    closeHandle(created);
    EXPECT_EQ(openEventForSet(name.c_str()), nullptr) << "the last close removed it";
}

TEST(Waits, BadArgumentsFailInsteadOfWaiting) {
    Handle* event = createEvent(nullptr, true);
    Handle* withNull[2] = {event, nullptr};
    EXPECT_EQ(waitOne(nullptr, 0), kWaitFailed);
    EXPECT_EQ(waitAny(withNull, 2, 0), kWaitFailed);
    EXPECT_EQ(waitAny(&event, 0, 0), kWaitFailed);
    EXPECT_FALSE(setEvent(nullptr));
    closeHandle(nullptr);
    closeHandle(event);
}

TEST(Waits, PumpingWaitEndsOnSignalOrTimeOut) {
    ensureMessageQueue();
    Handle* event = createEvent(nullptr, true);
    EXPECT_EQ(waitPumpingMessages(event, 20), kWaitTimeout);
    ASSERT_TRUE(setEvent(event));
    EXPECT_EQ(waitPumpingMessages(event, 1000), 0);
    EXPECT_EQ(waitPumpingMessages(event, 0), kWaitTimeout);
    closeHandle(event);
}

TEST(Waits, AlertableWaitOutsideStartedThreadsIsAPlainWait) {
    EXPECT_EQ(currentThread(), nullptr);
    Handle* event = createEvent(nullptr, true);
    ASSERT_TRUE(setEvent(event));
    EXPECT_EQ(waitAlertable(event, 1000), 0);
    EXPECT_EQ(waitAlertable(event, 10), kWaitTimeout);
    closeHandle(event);
}

} // namespace
} // namespace quillon::platform
