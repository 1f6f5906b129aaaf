#include "platform/log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace quillon::platform {

namespace {

// A callback's event, kept until the log thread writes it.
struct CallbackEvent {
    const char* format;
    long long a, b;
    std::uint64_t threadId;
    const char* threadName;
    std::int64_t ticks; // perfCounter at the call
};

// Bounded multi-producer queue (sequence numbers per cell): producers never
// wait and never allocate; the single consumer is the log thread.
constexpr std::size_t kQueueCells = 512;
struct Cell {
    std::atomic<std::size_t> sequence;
    CallbackEvent event;
};

struct WatchedCounter {
    const char* label = nullptr;
    const std::atomic<std::int64_t>* counter = nullptr;
    std::int64_t reported = 0;
};
constexpr int kMaxWatched = 8;
constexpr std::uint32_t kLogThreadWakeMs = 100;
constexpr std::int64_t kCounterPeriodMs = 1000;

struct Log {
    std::mutex lock; // the file, the counters, opening and closing
    std::FILE* file = nullptr;
    std::string path;
    std::size_t bytes = 0;
    std::atomic<bool> enabled{false};
    Thread* thread = nullptr;
    Handle* wake = nullptr;
    std::atomic<bool> quit{false};
    std::int64_t ticksPerSecond = 0;
    Cell cells[kQueueCells];
    std::atomic<std::size_t> head{0};
    std::size_t tail = 0; // log thread only
    std::atomic<std::int64_t> dropped{0};
    WatchedCounter watched[kMaxWatched];
    std::int64_t lastCounterCheckMs = 0;

    Log() {
        for (std::size_t i = 0; i < kQueueCells; ++i) {
            cells[i].sequence.store(i, std::memory_order_relaxed);
        }
    }
};

Log& theLog() {
    static Log log;
    return log;
}

thread_local const char* tThreadName = nullptr;

// "2026-12-09 05:46:44.123" in UTC, from a count of milliseconds since 1970.
void formatTime(std::int64_t ms, char* out, std::size_t room) {
    const std::int64_t seconds = ms / 1000;
    std::int64_t days = seconds / 86400;
    const std::int64_t inDay = seconds % 86400;
    // Civil date from a day count (proleptic Gregorian, era of 400 years).
    days += 719468;
    const std::int64_t era = days / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    std::snprintf(out, room, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(inDay / 3600),
                  static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60),
                  static_cast<long long>(ms % 1000));
}

std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Under log.lock. Starts a fresh file once this one passed the bound.
void rotateIfFull(Log& log) {
    if (log.bytes < kLogRotateBytes || log.file == nullptr) {
        return;
    }
    std::fclose(log.file);
    const std::string old = log.path + ".1";
    std::remove(old.c_str()); // rename does not replace a file on Windows
    std::rename(log.path.c_str(), old.c_str());
    log.file = std::fopen(log.path.c_str(), "ab");
    log.bytes = 0;
}

// Under log.lock.
void writeLine(Log& log, std::int64_t ms, std::uint64_t threadId, const char* threadName,
               const char* text) {
    if (log.file == nullptr) {
        return;
    }
    char stamp[64];
    formatTime(ms, stamp, sizeof stamp);
    int written = 0;
    if (threadName != nullptr) {
        written = std::fprintf(log.file, "%s [%s %llu] %s\n", stamp, threadName,
                               static_cast<unsigned long long>(threadId), text);
    } else {
        written = std::fprintf(log.file, "%s [%llu] %s\n", stamp,
                               static_cast<unsigned long long>(threadId), text);
    }
    // Flushed line by line: the log is read after a crash or a hang.
    std::fflush(log.file);
    if (written > 0) {
        log.bytes += static_cast<std::size_t>(written);
    }
    rotateIfFull(log);
}

// Log thread. Writes every queued callback event.
void drainQueue(Log& log) {
    const std::int64_t nowTicks = perfCounter();
    const std::int64_t nowMs = wallMs();
    for (;;) {
        Cell& cell = log.cells[log.tail % kQueueCells];
        if (cell.sequence.load(std::memory_order_acquire) != log.tail + 1) {
            break;
        }
        const CallbackEvent event = cell.event;
        cell.sequence.store(log.tail + kQueueCells, std::memory_order_release);
        ++log.tail;
        char text[256];
        std::snprintf(text, sizeof text, event.format, event.a, event.b);
        std::int64_t ms = nowMs;
        if (log.ticksPerSecond > 0) {
            ms -= (nowTicks - event.ticks) * 1000 / log.ticksPerSecond;
        }
        std::lock_guard guard(log.lock);
        writeLine(log, ms, event.threadId, event.threadName, text);
    }
}

// Log thread, under log.lock.
void reportCounters(Log& log) {
    const std::int64_t now = wallMs();
    if (now - log.lastCounterCheckMs < kCounterPeriodMs) {
        return;
    }
    log.lastCounterCheckMs = now;
    for (WatchedCounter& watched : log.watched) {
        if (watched.counter == nullptr) {
            continue;
        }
        const std::int64_t value = watched.counter->load(std::memory_order_relaxed);
        if (value != watched.reported) {
            watched.reported = value;
            char text[128];
            std::snprintf(text, sizeof text, "%s: %lld", watched.label,
                          static_cast<long long>(value));
            writeLine(log, now, currentThreadId(), tThreadName, text);
        }
    }
}

unsigned logThreadMain(void* arg) {
    Log& log = *static_cast<Log*>(arg);
    nameThisThread("log");
    for (;;) {
        const bool quitting = log.quit.load();
        drainQueue(log);
        {
            std::lock_guard guard(log.lock);
            reportCounters(log);
        }
        if (quitting) {
            return 0;
        }
        waitOne(log.wake, kLogThreadWakeMs);
    }
}

} // namespace

bool openLog(const char* path, bool onlyIfExists) {
    Log& log = theLog();
    std::lock_guard guard(log.lock);
    if (log.file != nullptr) {
        return true;
    }
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    if (onlyIfExists) {
        std::FILE* probe = std::fopen(path, "rb");
        if (probe == nullptr) {
            return false;
        }
        std::fclose(probe);
    }
    log.file = std::fopen(path, "ab");
    if (log.file == nullptr) {
        return false;
    }
    log.path = path;
    std::fseek(log.file, 0, SEEK_END);
    const long size = std::ftell(log.file);
    log.bytes = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (!perfFrequency(&log.ticksPerSecond)) {
        log.ticksPerSecond = 0;
    }
    log.lastCounterCheckMs = wallMs();
    log.quit = false;
    // Kept for the life of the process: a callback that saw the log on may
    // still set it after a close.
    if (log.wake == nullptr) {
        log.wake = createEvent(nullptr, true);
    }
    if (log.wake != nullptr) {
        log.thread = startThread(logThreadMain, &log);
    }
    // Without its thread the log still takes lines; callback events are then
    // written at close.
    log.enabled = true;
    return true;
}

void closeLog() {
    Log& log = theLog();
    if (!log.enabled.exchange(false)) {
        return;
    }
    if (log.thread != nullptr) {
        log.quit = true;
        setEvent(log.wake);
        waitOne(threadHandle(log.thread), kInfinite);
        closeThread(log.thread);
        log.thread = nullptr;
    }
    drainQueue(log);
    std::lock_guard guard(log.lock);
    std::fclose(log.file);
    log.file = nullptr;
}

bool logEnabled() {
    return theLog().enabled.load(std::memory_order_relaxed);
}

void logLine(const char* format, ...) {
    Log& log = theLog();
    if (!log.enabled.load(std::memory_order_relaxed)) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard guard(log.lock);
    writeLine(log, wallMs(), currentThreadId(), tThreadName, text);
}

void logFromCallback(const char* format, long long a, long long b) {
    Log& log = theLog();
    // Acquire: the wake event was made before the log was switched on.
    if (!log.enabled.load(std::memory_order_acquire)) {
        return;
    }
    std::size_t position = log.head.load(std::memory_order_relaxed);
    Cell* cell = nullptr;
    for (;;) {
        cell = &log.cells[position % kQueueCells];
        const std::size_t sequence = cell->sequence.load(std::memory_order_acquire);
        const auto lag = static_cast<std::ptrdiff_t>(sequence - position);
        if (lag == 0) {
            if (log.head.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                break;
            }
        } else if (lag < 0) {
            log.dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        } else {
            position = log.head.load(std::memory_order_relaxed);
        }
    }
    cell->event = CallbackEvent{format, a, b, currentThreadId(), tThreadName, perfCounter()};
    cell->sequence.store(position + 1, std::memory_order_release);
    // Written soon, so the line lands near the main thread's lines around it.
    if (log.wake != nullptr) {
        setEvent(log.wake);
    }
}

void nameThisThread(const char* name) {
    tThreadName = name;
}

void watchLogCounter(const char* label, const std::atomic<std::int64_t>* counter) {
    Log& log = theLog();
    std::lock_guard guard(log.lock);
    for (WatchedCounter& watched : log.watched) {
        if (watched.counter == nullptr) {
            watched = WatchedCounter{label, counter, counter->load()};
            return;
        }
    }
}

void unwatchLogCounter(const std::atomic<std::int64_t>* counter) {
    Log& log = theLog();
    std::lock_guard guard(log.lock);
    for (WatchedCounter& watched : log.watched) {
        if (watched.counter == counter) {
            // Its last change still gets its line.
            const std::int64_t value = counter->load();
            if (value != watched.reported && log.file != nullptr) {
                char text[128];
                std::snprintf(text, sizeof text, "%s: %lld", watched.label,
                              static_cast<long long>(value));
                writeLine(log, wallMs(), currentThreadId(), tThreadName, text);
            }
            watched = WatchedCounter{};
        }
    }
}

std::int64_t droppedLogEvents() {
    return theLog().dropped.load();
}

} // namespace quillon::platform
