// Threads, queued calls, cross-thread wake-ups, the lock and priorities.

#include "platform/platform.h"
#include "test_names.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace quillon::platform {
namespace {

// ---------------------------------------------------------------- thread handles

struct Gate {
    Handle* go;
    std::atomic<bool> sawOwnRecord{false};
};

unsigned waitForGate(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    gate->sawOwnRecord = currentThread() != nullptr;
    waitOne(gate->go, kInfinite);
    return 0;
}

TEST(Thread, HandleBecomesSignalledAtExitAndStaysSo) {
    Gate gate{createEvent(nullptr, true)};
    Thread* thread = startThread(waitForGate, &gate);
    ASSERT_NE(thread, nullptr);
    Handle* handle = threadHandle(thread);
    EXPECT_EQ(waitOne(handle, 50), kWaitTimeout) << "signalled while still running";

    ASSERT_TRUE(setEvent(gate.go));
    EXPECT_EQ(waitOne(handle, 10000), 0);
    EXPECT_EQ(waitOne(handle, 0), 0) << "a thread handle is not auto-reset";
    Handle* both[2] = {gate.go, handle};
    EXPECT_EQ(waitAny(both, 2, 0), 1);
    EXPECT_TRUE(gate.sawOwnRecord);
    closeThread(thread);
    closeHandle(gate.go);
}

struct Relay {
    Handle* go;
    Handle* done;
};

unsigned relay(void* arg) {
    auto* relay = static_cast<Relay*>(arg);
    waitOne(relay->go, kInfinite);
    setEvent(relay->done);
    return 0;
}

TEST(Thread, ClosingARunningThreadLeavesItRunning) {
    Relay pair{createEvent(nullptr, true), createEvent(nullptr, true)};
    Thread* thread = startThread(relay, &pair);
    ASSERT_NE(thread, nullptr);
    closeThread(thread);
    ASSERT_TRUE(setEvent(pair.go));
    EXPECT_EQ(waitOne(pair.done, 10000), 0);
    sleepMs(50); // let it return before its events go
    closeHandle(pair.go);
    closeHandle(pair.done);
}

// ---------------------------------------------------------------- queued calls

struct Worker {
    Handle* ready = createEvent(nullptr, true);
    Handle* gate = createEvent(nullptr, true);
    Handle* quit = createEvent(nullptr, true);
    Handle* done = createEvent(nullptr, true);
    std::vector<int> order;      // touched only on the worker thread
    int ranBeforeAlertable = -1; // read after the thread ended
    std::vector<int> results;    // alertable wait results, in order
    ~Worker() {
        for (Handle* handle : {ready, gate, quit, done}) {
            closeHandle(handle);
        }
    }
};

struct Call {
    Worker* worker;
    int value;
    bool last;
};

void recordCall(void* arg) {
    auto* call = static_cast<Call*>(arg);
    call->worker->order.push_back(call->value);
    if (call->last) {
        setEvent(call->worker->done);
    }
}

unsigned workerMain(void* arg) {
    auto* worker = static_cast<Worker*>(arg);
    setEvent(worker->ready);
    waitOne(worker->gate, kInfinite); // plain wait: queued calls must not run here
    worker->ranBeforeAlertable = static_cast<int>(worker->order.size());
    for (;;) {
        const int result = waitAlertable(worker->quit, kInfinite);
        worker->results.push_back(result);
        if (result != kWaitIoCompletion) {
            return 0;
        }
    }
}

TEST(QueuedCalls, RunInOrderInsideAlertableWaitsOnly) {
    Worker worker;
    Thread* thread = startThread(workerMain, &worker);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(waitOne(worker.ready, 10000), 0);

    Call calls[] = {{&worker, 1, false}, {&worker, 2, false}, {&worker, 3, true}};
    for (Call& call : calls) {
        ASSERT_TRUE(queueCall(thread, recordCall, &call));
    }
    sleepMs(50); // time for a wrongly run call to show
    ASSERT_TRUE(setEvent(worker.gate));
    ASSERT_EQ(waitOne(worker.done, 10000), 0);

    Call later{&worker, 4, true};
    ASSERT_TRUE(queueCall(thread, recordCall, &later));
    ASSERT_EQ(waitOne(worker.done, 10000), 0);

    ASSERT_TRUE(setEvent(worker.quit));
    ASSERT_EQ(waitOne(threadHandle(thread), 10000), 0);
    EXPECT_EQ(worker.ranBeforeAlertable, 0);
    EXPECT_EQ(worker.order, (std::vector<int>{1, 2, 3, 4}));
    ASSERT_GE(worker.results.size(), 2u);
    EXPECT_EQ(worker.results.front(), kWaitIoCompletion);
    EXPECT_EQ(worker.results.back(), 0) << "the quit event ends the loop";

    // Nothing may be queued to a thread that has ended: its caller would wait forever.
    Call orphan{&worker, 5, true};
    EXPECT_FALSE(queueCall(thread, recordCall, &orphan));
    EXPECT_FALSE(queueCall(nullptr, recordCall, &orphan));
    closeThread(thread);
}

// ---------------------------------------------------------------- cross-thread wake-ups

// Two threads bounce a token through two events; a lost or doubled wake-up
// shows as a time-out or a count mismatch.
struct PingPong {
    Handle* ping;
    Handle* pingSetter;
    Handle* pong;
    Handle* pongSetter;
    int rounds;
    std::atomic<int> answered{0};
};

unsigned answerPings(void* arg) {
    auto* game = static_cast<PingPong*>(arg);
    for (int i = 0; i < game->rounds; ++i) {
        if (waitOne(game->ping, 10000) != 0) {
            return 1;
        }
        ++game->answered;
        setEvent(game->pongSetter);
    }
    return 0;
}

void playPingPong(Handle* ping, Handle* pingSetter, Handle* pong, Handle* pongSetter) {
    PingPong game{ping, pingSetter, pong, pongSetter, 2000};
    Thread* thread = startThread(answerPings, &game);
    ASSERT_NE(thread, nullptr);
    for (int i = 0; i < game.rounds; ++i) {
        ASSERT_TRUE(setEvent(game.pingSetter));
        ASSERT_EQ(waitOne(game.pong, 10000), 0) << "round " << i;
    }
    EXPECT_EQ(waitOne(threadHandle(thread), 10000), 0);
    EXPECT_EQ(game.answered.load(), game.rounds);
    EXPECT_EQ(waitOne(game.pong, 0), kWaitTimeout);
    closeThread(thread);
}

TEST(CrossThread, UnnamedEventsNeverLoseAWakeUp) {
    Handle* ping = createEvent(nullptr, true);
    Handle* pong = createEvent(nullptr, true);
    playPingPong(ping, ping, pong, pong);
    closeHandle(ping);
    closeHandle(pong);
}

TEST(CrossThread, NamedEventsNeverLoseAWakeUp) {
    const std::string pingName = test::uniqueName("ping");
    const std::string pongName = test::uniqueName("pong");
    Handle* ping = createEvent(pingName.c_str(), true);
    Handle* pong = createEvent(pongName.c_str(), true);
    Handle* pingSetter = createEvent(pingName.c_str(), false);
    Handle* pongSetter = openEventForSet(pongName.c_str());
    playPingPong(ping, pingSetter, pong, pongSetter);
    for (Handle* handle : {ping, pong, pingSetter, pongSetter}) {
        closeHandle(handle);
    }
}

// Many threads wait on one event; each set releases exactly one of them.
struct Crowd {
    Handle* event;
    Handle* quit;
    std::atomic<int> woken{0};
};

unsigned joinCrowd(void* arg) {
    auto* crowd = static_cast<Crowd*>(arg);
    Handle* handles[2] = {crowd->quit, crowd->event};
    for (;;) {
        const int result = waitAny(handles, 2, 10000);
        if (result != 1) {
            return 0;
        }
        ++crowd->woken;
    }
}

TEST(CrossThread, EachSetReleasesOneOfSeveralWaiters) {
    Crowd crowd{createEvent(nullptr, true), createEvent(nullptr, true)};
    // The quit event is set once and seen by all, so it must stay set: a
    // thread handle serves, since it is never reset.
    Gate gate{createEvent(nullptr, true)};
    Thread* quitter = startThread(waitForGate, &gate);
    closeHandle(crowd.quit);
    crowd.quit = threadHandle(quitter);

    Thread* threads[4];
    for (Thread*& thread : threads) {
        thread = startThread(joinCrowd, &crowd);
        ASSERT_NE(thread, nullptr);
    }
    constexpr int kSets = 200;
    for (int i = 0; i < kSets; ++i) {
        ASSERT_TRUE(setEvent(crowd.event));
        // Wait until it was taken, so sets never collapse.
        for (int spin = 0; crowd.woken.load() <= i && spin < 10000; ++spin) {
            sleepMs(1);
        }
        ASSERT_EQ(crowd.woken.load(), i + 1);
    }
    ASSERT_TRUE(setEvent(gate.go));
    for (Thread* thread : threads) {
        EXPECT_EQ(waitOne(threadHandle(thread), 10000), 0);
        closeThread(thread);
    }
    EXPECT_EQ(crowd.woken.load(), kSets);
    closeThread(quitter);
    closeHandle(crowd.event);
    closeHandle(gate.go);
}

// ---------------------------------------------------------------- lock

struct Counter {
    Lock* lock;
    long value = 0; // guarded by lock only
};

unsigned countUnderLock(void* arg) {
    auto* counter = static_cast<Counter*>(arg);
    for (int i = 0; i < 20000; ++i) {
        enterLock(counter->lock);
        enterLock(counter->lock); // recursion, as nested device calls do
        ++counter->value;
        leaveLock(counter->lock);
        leaveLock(counter->lock);
    }
    return 0;
}

TEST(Lock, ExcludesOtherThreads) {
    Counter counter{createLock()};
    Thread* threads[3];
    for (Thread*& thread : threads) {
        thread = startThread(countUnderLock, &counter);
        ASSERT_NE(thread, nullptr);
    }
    for (Thread* thread : threads) {
        EXPECT_EQ(waitOne(threadHandle(thread), 60000), 0);
        closeThread(thread);
    }
    EXPECT_EQ(counter.value, 3 * 20000);
    destroyLock(counter.lock);
}

// ---------------------------------------------------------------- priorities

unsigned raiseOwnPriority(void* arg) {
    setCurrentThreadPriority(kPriorityTimeCritical);
    *static_cast<int*>(arg) = currentThreadPriority();
    setCurrentThreadPriority(kPriorityNormal);
    return 0;
}

TEST(Priority, RequestedLevelsAreReported) {
    Gate gate{createEvent(nullptr, true)};
    Thread* thread = startThread(waitForGate, &gate);
    ASSERT_NE(thread, nullptr);
    for (int level : {kPriorityAboveNormal, kPriorityHighest, kPriorityNormal}) {
        setThreadPriority(thread, level);
        EXPECT_EQ(threadPriority(thread), level);
    }
    setEvent(gate.go);
    waitOne(threadHandle(thread), 10000);
    closeThread(thread);
    closeHandle(gate.go);

    int seen = -100;
    Thread* self = startThread(raiseOwnPriority, &seen);
    ASSERT_NE(self, nullptr);
    ASSERT_EQ(waitOne(threadHandle(self), 10000), 0);
    EXPECT_EQ(seen, kPriorityTimeCritical);
    closeThread(self);

    setProcessPriority(ProcessPriority::High);
    EXPECT_EQ(processPriority(), ProcessPriority::High);
    setProcessPriority(ProcessPriority::Normal);
    EXPECT_EQ(processPriority(), ProcessPriority::Normal);
}

// ---------------------------------------------------------------- messages across threads

// Window messages posted while the owning thread sits in the pumping wait are
// kept for the window, not lost to the dispatching, and the wait still ends on
// its own signal.
struct Notifier {
    WindowId window;
    Handle* finished;
    int count;
};

unsigned notifyThenFinish(void* arg) {
    auto* notifier = static_cast<Notifier*>(arg);
    for (int i = 0; i < notifier->count; ++i) {
        postWindowMessage(notifier->window, kWmCommand, 40047, i);
        sleepMs(5);
    }
    setEvent(notifier->finished);
    return 0;
}

TEST(MessageWindow, PumpingWaitKeepsMessagesForTheWindow) {
    ensureMessageQueue();
    const WindowId window = createMessageWindow();
    ASSERT_NE(window, 0u);
    Notifier notifier{window, createEvent(nullptr, true), 5};
    Thread* thread = startThread(notifyThenFinish, &notifier);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(waitPumpingMessages(notifier.finished, 30000), 0);
    for (int i = 0; i < notifier.count; ++i) {
        WindowMessage message{};
        ASSERT_TRUE(receiveWindowMessage(window, 1000, &message)) << i;
        EXPECT_EQ(message.wParam, 40047u);
        EXPECT_EQ(message.lParam, i);
    }
    EXPECT_EQ(waitOne(threadHandle(thread), 10000), 0);
    closeThread(thread);
    closeHandle(notifier.finished);
    destroyMessageWindow(window);
}

} // namespace
} // namespace quillon::platform
