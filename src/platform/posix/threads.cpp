// Threads, queued calls and priorities on Linux.

#include "platform/posix/posix_internal.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <deque>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quillon::platform {

struct Thread {
    // An eventfd written once when the body returns and never drained, so the
    // handle stays signalled like a Windows thread handle.
    Handle exit{Handle::Kind::ThreadExit};
    pthread_t pthread{};
    ThreadMain main = nullptr;
    void* arg = nullptr;
    // The owner's reference and the running thread's; the last one frees.
    std::atomic<int> references{2};
    std::atomic<int> priority{kPriorityNormal};
    std::atomic<pid_t> tid{0};

    // Calls queued for the thread's alertable waits; queueFd wakes them.
    struct Call {
        void (*fn)(void*);
        void* arg;
    };
    std::mutex queueMutex;
    std::deque<Call> queue;
    bool finished = false;
    int queueFd = -1;
};

namespace {

thread_local Thread* currentRecord = nullptr;
// Priority of threads that startThread did not create (the main thread).
thread_local int otherThreadPriority = kPriorityNormal;
std::atomic<int> requestedProcessPriority{static_cast<int>(ProcessPriority::Normal)};

void release(Thread* thread) {
    if (thread->references.fetch_sub(1) == 1) {
        close(thread->exit.waitFd);
        close(thread->queueFd);
        delete thread;
    }
}

// Windows levels to nice values. Lowering nice needs privileges (or an
// RLIMIT_NICE allowance); without them the request is refused and the thread
// keeps running at its normal nice, which is the nearest sound thing.
void applyPriority(pid_t tid, int level) {
    int nice = 0;
    if (level >= kPriorityTimeCritical) {
        nice = -20;
    } else if (level <= -15) {
        nice = 19; // idle
    } else {
        nice = -5 * level;
        nice = nice < -20 ? -20 : (nice > 19 ? 19 : nice);
    }
    // On Linux PRIO_PROCESS with a thread id sets that one thread.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

void* threadStart(void* arg) {
    auto* thread = static_cast<Thread*>(arg);
    currentRecord = thread;
    thread->tid.store(gettid());
    const int level = thread->priority.load();
    if (level != kPriorityNormal) {
        applyPriority(gettid(), level);
    }

    thread->main(thread->arg);

    {
        // Calls queued from now on are refused rather than left unrun.
        std::lock_guard<std::mutex> guard(thread->queueMutex);
        thread->finished = true;
        thread->queue.clear();
    }
    const std::uint64_t one = 1;
    thread->exit.sync.fetch_add(1, std::memory_order_release);
    (void)!write(thread->exit.waitFd, &one, sizeof one);
    currentRecord = nullptr;
    release(thread);
    return nullptr;
}

bool runQueuedCalls() {
    Thread* self = currentRecord;
    std::uint64_t count = 0;
    (void)!read(self->queueFd, &count, sizeof count);
    bool ran = false;
    for (;;) {
        Thread::Call call{};
        {
            std::lock_guard<std::mutex> guard(self->queueMutex);
            if (self->queue.empty()) {
                break;
            }
            call = self->queue.front();
            self->queue.pop_front();
        }
        call.fn(call.arg);
        ran = true;
    }
    return ran;
}

bool hasEnded(Thread* thread) {
    pollfd fd{thread->exit.waitFd, POLLIN, 0};
    return poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN) != 0;
}

} // namespace

Thread* startThread(ThreadMain main, void* arg) {
    if (main == nullptr) {
        return nullptr;
    }
    auto* thread = new Thread;
    thread->main = main;
    thread->arg = arg;
    thread->exit.waitFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread->queueFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (thread->exit.waitFd < 0 || thread->queueFd < 0 ||
        pthread_create(&thread->pthread, nullptr, threadStart, thread) != 0) {
        if (thread->exit.waitFd >= 0) {
            close(thread->exit.waitFd);
        }
        if (thread->queueFd >= 0) {
            close(thread->queueFd);
        }
        delete thread;
        return nullptr;
    }
    return thread;
}

Handle* threadHandle(Thread* thread) {
    return thread == nullptr ? nullptr : &thread->exit;
}

bool terminateThread(Thread* /*thread*/, unsigned /*exitCode*/) {
    // POSIX has no safe way to end another thread: pthread_cancel would unwind
    // (or not) through code holding locks and C++ objects. The caller abandons
    // the thread instead, and it ends with the process.
    return false;
}

void closeThread(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    if (hasEnded(thread)) {
        pthread_join(thread->pthread, nullptr); // its body has returned: brief
    } else {
        pthread_detach(thread->pthread);
    }
    release(thread);
}

bool queueCall(Thread* thread, void (*fn)(void* arg), void* arg) {
    if (thread == nullptr || fn == nullptr) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(thread->queueMutex);
        if (thread->finished) {
            return false;
        }
        thread->queue.push_back({fn, arg});
    }
    const std::uint64_t one = 1;
    (void)!write(thread->queueFd, &one, sizeof one);
    return true;
}

Thread* currentThread() {
    return currentRecord;
}

std::uint64_t currentThreadId() {
    return static_cast<std::uint64_t>(gettid());
}

int waitAlertable(Handle* handle, std::uint32_t timeoutMs) {
    Thread* self = currentRecord;
    if (self == nullptr) {
        return waitOne(handle, timeoutMs); // nothing can be queued to this thread
    }
    return posix::waitHandles(&handle, 1, timeoutMs, self->queueFd, runQueuedCalls);
}

void setThreadPriority(Thread* thread, int level) {
    if (thread == nullptr) {
        return;
    }
    thread->priority.store(level);
    // Before the thread has its id it applies the level itself as it starts.
    const pid_t tid = thread->tid.load();
    if (tid != 0) {
        applyPriority(tid, level);
    }
}

void useStandardFloatPrecision() {}

void setCurrentThreadPriority(int level) {
    if (currentRecord != nullptr) {
        setThreadPriority(currentRecord, level);
        return;
    }
    otherThreadPriority = level;
    applyPriority(gettid(), level);
}

int threadPriority(Thread* thread) {
    return thread == nullptr ? kPriorityNormal : thread->priority.load();
}

int currentThreadPriority() {
    return currentRecord != nullptr ? currentRecord->priority.load() : otherThreadPriority;
}

void setProcessPriority(ProcessPriority priority) {
    // Linux has no process-wide priority class (nice is per thread), so the
    // request is only remembered; thread levels carry what can be applied.
    requestedProcessPriority.store(static_cast<int>(priority));
}

ProcessPriority processPriority() {
    return static_cast<ProcessPriority>(requestedProcessPriority.load());
}

void sleepMs(std::uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace quillon::platform
