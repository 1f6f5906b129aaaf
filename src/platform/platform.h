// The one seam between Quillon and the operating system.
//
// Everything outside src/platform/ is portable C++20 and reaches the OS only
// through the declarations below. Two backends implement them: win32/ (the
// product) and posix/ (Linux: development, sanitizers, benchmarks). Handles are
// opaque pointers; a null handle means "failed" wherever a handle is returned.
//
// Thread notes use these words: "any" = any thread; "callback-safe" = may be
// called from a driver's buffer-switch callback (no allocation, no blocking
// beyond the lock).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon::platform {

// ---------------------------------------------------------------- waits

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Wait results. A non-negative result is the index of the signalled handle.
inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;
inline constexpr int kWaitIoCompletion = -3; // queued calls ran during an alertable wait
inline constexpr int kWaitMessages = -4;     // internal to the pumping wait; never returned

// Anything that can be waited on: events and threads.
struct Handle;

// ---------------------------------------------------------------- events

// Auto-reset events, initially clear. A set wakes exactly one wait; sets made
// while nobody waits collapse into one pending signal that the next wait takes.
//
// Named events are create-or-open: whichever process comes first creates the
// object and the other side opens the same one. `willWait` tells the backend
// whether this process will wait on the handle (the posix backend keeps the
// receive side of a named event in the one process that waits on it, so a set
// made before that process created the event fails and is not kept); the
// win32 backend ignores it. Unnamed events (name == nullptr) live in-process.
Handle* createEvent(const char* name, bool willWait);
// Opens an existing named event for setting only; null when it does not exist
// (win32) or cannot be addressed (posix).
Handle* openEventForSet(const char* name);
bool setEvent(Handle* event); // any; callback-safe
void closeHandle(Handle* handle);
// Whether this process can wait on the event. false on posix when another
// process already holds its receive side: this handle can then only set it.
bool eventCanWait(Handle* event);

// Waits for one handle. Returns 0, kWaitTimeout or kWaitFailed.
int waitOne(Handle* handle, std::uint32_t timeoutMs);
// Waits for any of `count` handles. When several are signalled, the first in
// array order is reported (and only that one is consumed).
int waitAny(Handle* const* handles, int count, std::uint32_t timeoutMs);

// The main thread's wait: keeps dispatching the calling thread's window
// messages while it waits, restarting the full time-out after each burst.
// Returns 0, kWaitTimeout or kWaitFailed. On posix there is no thread message
// queue, so this is waitOne.
int waitPumpingMessages(Handle* handle, std::uint32_t timeoutMs);
// Gives the calling thread a message queue so that messages posted to it
// before its first wait are kept (posix: nothing to do).
void ensureMessageQueue();

// Alertable wait: runs calls queued to the calling thread (queueCall) while it
// waits. Returns 0 when the handle is signalled, kWaitIoCompletion after queued
// calls ran, kWaitTimeout or kWaitFailed. Only threads started by startThread
// can receive queued calls.
int waitAlertable(Handle* handle, std::uint32_t timeoutMs);

// ---------------------------------------------------------------- threads

struct Thread;
using ThreadMain = unsigned (*)(void* arg);

// Starts a thread at once with default stack; it ends when `main` returns.
Thread* startThread(ThreadMain main, void* arg);
// The thread as a waitable handle: signalled (and staying signalled) once it ended.
// It belongs to the Thread: release it with closeThread, never closeHandle.
Handle* threadHandle(Thread* thread);
// Forcible end. The posix backend cannot end a thread safely and returns false;
// callers then abandon the thread (it ends with the process).
bool terminateThread(Thread* thread, unsigned exitCode);
// Releases the handle; a thread still running is detached.
void closeThread(Thread* thread);
// The bounds every thread of the server is ended within.
inline constexpr std::uint32_t kThreadEndWaitMs = 5000;
inline constexpr std::uint32_t kThreadEndAfterTerminateMs = 3000;
// The bounded end of a thread whose quit signal was given: waits (pumping
// messages) up to waitMs, then forces it and waits afterTerminateMs more.
// true when it is known to have ended. Otherwise (posix cannot force a
// thread) it still runs, and the caller must leave alone what it uses.
bool endThread(Thread* thread, std::uint32_t waitMs = kThreadEndWaitMs,
               std::uint32_t afterTerminateMs = kThreadEndAfterTerminateMs);
// Runs fn(arg) on `thread` inside its next alertable wait, in queue order.
// false when the call cannot be queued (the thread has ended, say), so that a
// caller never waits for a call that will not run.
bool queueCall(Thread* thread, void (*fn)(void* arg), void* arg);
// The Thread record of the calling thread, when startThread created it; else null.
Thread* currentThread();
// The system's id of the calling thread, for diagnostics. Any thread; callback-safe.
std::uint64_t currentThreadId();

// Thread priority levels, the Windows values.
inline constexpr int kPriorityNormal = 0;
inline constexpr int kPriorityAboveNormal = 1;
inline constexpr int kPriorityHighest = 2;
inline constexpr int kPriorityTimeCritical = 15;

// Priority changes are best effort: on posix raising priority needs privileges,
// and a refusal is not an error. The last requested level is remembered and
// reported by threadPriority so callers and tests can see what was asked.
void setThreadPriority(Thread* thread, int level);
void setCurrentThreadPriority(int level);
int threadPriority(Thread* thread);
int currentThreadPriority();

// Gives the calling thread the floating-point precision every Windows thread
// starts with. Wine starts a process's first thread at x87 extended precision,
// where the runtime's sin, exp and pow round differently, so the same
// conversion would give other bits on it than on any later thread. Nothing to
// do on posix.
void useStandardFloatPrecision();

enum class ProcessPriority { Normal, High, Realtime };
void setProcessPriority(ProcessPriority priority);
ProcessPriority processPriority();

void sleepMs(std::uint32_t ms);

// ---------------------------------------------------------------- lock

// A recursive lock for the device state shared with the driver's callback;
// on posix with priority inheritance, so the callback is not held up behind a
// preempted holder.
struct Lock;
Lock* createLock();
void destroyLock(Lock* lock);
void enterLock(Lock* lock); // callback-safe
void leaveLock(Lock* lock); // callback-safe

// ---------------------------------------------------------------- clock

// High-resolution counter. false when the system has none.
bool perfFrequency(std::int64_t* ticksPerSecond);
std::int64_t perfCounter(); // callback-safe
// Millisecond timer, the fall-back when there is no high-resolution counter.
std::uint32_t timerMinPeriodMs();
// Raises the system timer's resolution (and with it the length of a short
// sleep) to `ms` until the matching end; calls nest. Nothing to do on posix.
void timerBeginPeriod(std::uint32_t ms);
void timerEndPeriod(std::uint32_t ms);
std::uint32_t timerMs(); // wraps after 2^32 ms

// ---------------------------------------------------------------- shared memory

// A named block of shared memory, create-or-open, mapped whole with write
// access, zero-filled when new. On posix the process that created the name
// removes it when it closes its mapping, as the object would vanish on Windows
// once its creator and clients are gone.
struct SharedMemory;
SharedMemory* openSharedMemory(const char* name, std::size_t size);
void* sharedMemoryData(SharedMemory* memory);
void closeSharedMemory(SharedMemory* memory);

// ---------------------------------------------------------------- windows and messages

// A client window that receives posted notifications. On Windows a message-only
// window; on posix an addressable mailbox named by the handle value, so that a
// server can notify a client process in the same way.
using WindowId = std::uint64_t;
struct WindowMessage {
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};
inline constexpr std::uint32_t kWmCommand = 0x0111;

WindowId createMessageWindow(); // 0 on failure
void destroyMessageWindow(WindowId window);
bool postWindowMessage(WindowId window, std::uint32_t message, std::uint64_t wParam,
                       std::int64_t lParam);
// Takes the next message posted to `window`, waiting up to timeoutMs. Must be
// called on the thread that created the window.
bool receiveWindowMessage(WindowId window, std::uint32_t timeoutMs, WindowMessage* out);

// ---------------------------------------------------------------- processes

struct Process;
// Starts `path`; `args` is an optional null-terminated list of further
// arguments (not argv[0]). Null on failure.
Process* spawnProcess(const char* path, const char* const* args = nullptr);
// Waits for the process to end. true with its exit code, false on time-out.
bool waitProcess(Process* process, std::uint32_t timeoutMs, int* exitCode);
void killProcess(Process* process);
void closeProcess(Process* process);
// Process ids as the system numbers them.
std::uint64_t processId(Process* process);
std::uint64_t currentProcessId();
// The process that started the calling one; 0 when unknown.
std::uint64_t parentProcessId();
// A handle that is signalled, and stays so, once process `id` has ended.
// Null when it cannot be watched: no such process, no rights, or, with
// `olderOnly`, a process started after the calling one (so not the one that
// started it: its id was reused). Release with closeHandle.
Handle* watchProcess(std::uint64_t id, bool olderOnly = false);

// Held by one live process at a time per name, and let go when released or
// when the process ends however it ends. Null when another process holds it.
struct InstanceLock;
InstanceLock* acquireInstanceLock(const char* name);
void releaseInstanceLock(InstanceLock* lock);

// Directory of the running executable, with a trailing separator.
bool executableDirectory(char* out, std::size_t size);
char pathSeparator();

// ---------------------------------------------------------------- dynamic libraries

// Loads a shared library (a DLL on Windows); null on failure.
void* loadLibrary(const char* path);
// The address of an exported symbol; null when missing.
void* librarySymbol(void* library, const char* name);
void freeLibrary(void* library);

// ---------------------------------------------------------------- environment

// Copies the variable's value; false when unset or too long.
bool getEnvironment(const char* name, char* out, std::size_t size);
// Sets the variable for this process and the processes it starts; a null
// value removes it. false on failure.
bool setEnvironment(const char* name, const char* value);

// ---------------------------------------------------------------- console

// True when standard output is an interactive terminal (progress lines redraw
// in place there; a pipe or file gets plain lines).
bool stdoutIsTerminal();

} // namespace quillon::platform
