// The server's opt-in diagnostic log: one file of lines "time [thread] event".
//
// Off until openLog succeeds; while off every call returns at once and nothing
// is written or started. It sits in the platform layer so that the server, the
// device and the converters can all call it.
//
// Two ways in:
// - logLine, from any thread but a driver's callback: formats and writes at
//   once under the log's own lock (never call it holding the device lock);
// - logFromCallback, callback-safe: stores a fixed format and two numbers in a
//   lock-free queue; the log's own thread formats and writes them, with the
//   time and thread of the call. A full queue drops the event and counts it.
// Counters the callback increments are watched by the log thread, which writes
// "label: N" at most once a second and only when the value changed.
//
// The file is bounded: past kLogRotateBytes it becomes "<file>.1" (replacing an
// older one) and a fresh file starts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quillon::platform {

inline constexpr std::size_t kLogRotateBytes = std::size_t{4} << 20;

// Main thread, start-up. Appends to `path`; with `onlyIfExists` the file must
// already exist (the user's way to opt in). true when the log is on. A second
// call while on changes nothing.
bool openLog(const char* path, bool onlyIfExists);
// Main thread, shutdown. Writes what the queue holds, ends the log thread and
// closes the file; the log is off afterwards.
void closeLog();
// Any thread; callback-safe.
bool logEnabled();

// Any thread except a driver's callback. printf-style; one line, the newline
// is added. Lines longer than 1 KiB are cut.
void logLine(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Callback-safe. `format` must be a string literal taking two long long values
// (%lld), e.g. "driver message: selector %lld, value %lld".
void logFromCallback(const char* format, long long a, long long b);

// Any thread; the name must outlive the thread (a literal). Lines from the
// calling thread then show it beside the thread's system id.
void nameThisThread(const char* name);

// Any thread but the callback. The log thread reads `counter` once a second
// while it is watched; unwatch before the counter goes away. Up to 8 at once.
void watchLogCounter(const char* label, const std::atomic<std::int64_t>* counter);
void unwatchLogCounter(const std::atomic<std::int64_t>* counter);

// Events logFromCallback dropped because the queue was full, since start-up.
std::int64_t droppedLogEvents();

} // namespace quillon::platform
