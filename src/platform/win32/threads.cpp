// Threads, queued calls (APCs) and priorities on Windows.

#include "platform/platform.h"

#include <atomic>
#include <process.h>
#include <windows.h>

namespace quillon::platform {

struct Thread {
    HANDLE handle = nullptr;
    ThreadMain main = nullptr;
    void* arg = nullptr;
    // The owner's reference and the running thread's; the last one frees.
    std::atomic<int> references{2};
    std::atomic<int> priority{kPriorityNormal};
};

namespace {

thread_local Thread* currentRecord = nullptr;

void release(Thread* thread) {
    if (thread->references.fetch_sub(1) == 1) {
        delete thread;
    }
}

// Started through the runtime so that its per-thread state exists; returning
// ends the thread through _endthreadex with the body's exit code.
unsigned __stdcall threadStart(void* arg) {
    auto* thread = static_cast<Thread*>(arg);
    currentRecord = thread;
    const unsigned code = thread->main(thread->arg);
    currentRecord = nullptr;
    release(thread);
    return code;
}

struct QueuedCall {
    void (*fn)(void*);
    void* arg;
};

void CALLBACK runQueuedCall(ULONG_PTR parameter) {
    auto* call = reinterpret_cast<QueuedCall*>(parameter);
    call->fn(call->arg);
    delete call;
}

} // namespace

Thread* startThread(ThreadMain main, void* arg) {
    if (main == nullptr) {
        return nullptr;
    }
    auto* thread = new Thread;
    thread->main = main;
    thread->arg = arg;
    unsigned id = 0;
    thread->handle =
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, threadStart, thread, 0, &id));
    if (thread->handle == nullptr) {
        delete thread;
        return nullptr;
    }
    return thread;
}

Handle* threadHandle(Thread* thread) {
    return thread == nullptr ? nullptr : reinterpret_cast<Handle*>(thread->handle);
}

bool terminateThread(Thread* thread, unsigned exitCode) {
    // The thread's own reference is never released: the record stays behind,
    // a small price next to a thread that would not end.
    return thread != nullptr && TerminateThread(thread->handle, exitCode) != 0;
}

void closeThread(Thread* thread) {
    if (thread == nullptr) {
        return;
    }
    CloseHandle(thread->handle);
    release(thread);
}

bool queueCall(Thread* thread, void (*fn)(void* arg), void* arg) {
    if (thread == nullptr || fn == nullptr) {
        return false;
    }
    // A call queued to an ended thread would never run and its caller would
    // wait for it forever.
    if (WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0) {
        return false;
    }
    auto* call = new QueuedCall{fn, arg};
    if (QueueUserAPC(runQueuedCall, thread->handle, reinterpret_cast<ULONG_PTR>(call)) == 0) {
        delete call;
        return false;
    }
    return true;
}

Thread* currentThread() {
    return currentRecord;
}

std::uint64_t currentThreadId() {
    return GetCurrentThreadId();
}

void setThreadPriority(Thread* thread, int level) {
    if (thread != nullptr) {
        thread->priority.store(level);
        SetThreadPriority(thread->handle, level);
    }
}

void useStandardFloatPrecision() {
#if defined(__x86_64__) || defined(__i386__)
    const unsigned short controlWord = 0x27F; // 53-bit precision, exceptions masked
    __asm__ volatile("fldcw %0" : : "m"(controlWord));
#endif
}

void setCurrentThreadPriority(int level) {
    if (currentRecord != nullptr) {
        currentRecord->priority.store(level);
    }
    SetThreadPriority(GetCurrentThread(), level);
}

int threadPriority(Thread* thread) {
    return thread == nullptr ? kPriorityNormal : thread->priority.load();
}

int currentThreadPriority() {
    if (currentRecord != nullptr) {
        return currentRecord->priority.load();
    }
    const int level = GetThreadPriority(GetCurrentThread());
    return level == THREAD_PRIORITY_ERROR_RETURN ? kPriorityNormal : level;
}

void setProcessPriority(ProcessPriority priority) {
    DWORD priorityClass = NORMAL_PRIORITY_CLASS;
    if (priority == ProcessPriority::High) {
        priorityClass = HIGH_PRIORITY_CLASS;
    } else if (priority == ProcessPriority::Realtime) {
        priorityClass = REALTIME_PRIORITY_CLASS;
    }
    SetPriorityClass(GetCurrentProcess(), priorityClass);
}

ProcessPriority processPriority() {
    // Without the privilege Windows grants HIGH for REALTIME; report what holds.
    switch (GetPriorityClass(GetCurrentProcess())) {
    case HIGH_PRIORITY_CLASS:
        return ProcessPriority::High;
    case REALTIME_PRIORITY_CLASS:
        return ProcessPriority::Realtime;
    default:
        return ProcessPriority::Normal;
    }
}

void sleepMs(std::uint32_t ms) {
    Sleep(ms);
}

} // namespace quillon::platform
