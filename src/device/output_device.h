// The output device: one driver, its double buffers, the per-channel rings
// that the client's writes fill and the driver's callback drains, and the
// position bookkeeping the real-time channel answers from.
#pragma once

#include <cstdint>

#include "device/asio.h"
#include "ipc/shared_block.h"

namespace quillon::platform {
struct Clock;
struct Thread;
} // namespace quillon::platform

namespace quillon::device {

struct DriverList;
struct OutputDevice;

// Main thread, start-up. Never null.
OutputDevice* createOutputDevice(DriverList* drivers, const platform::Clock& clock);
// Main thread, shutdown; closes the device first.
void destroyOutputDevice(OutputDevice* device);
// Main thread; the thread whose priority set-up raises.
void setRealTimeThread(OutputDevice& device, platform::Thread* realTimeThread);
// Real-time thread (command 3). A notifyWindow of 0 keeps the previous window.
void applySettings(OutputDevice& device, const ipc::DeviceSettings& settings);
// Main thread (command 5). Latency in ms, or -1.
std::int32_t openOutput(OutputDevice& device, std::int32_t rate, std::int32_t bits,
                        std::int32_t channels);
// Main thread (command 6).
void closeOutput(OutputDevice& device, bool keepOutputOnClose);
// Main thread (command 2 and shutdown).
void closeDevice(OutputDevice& device);
// Main thread (command 7).
std::int32_t writableBytes(OutputDevice& device);
// Main thread (command 8). 0, or 1 when no stream is open, the count is
// refused, or a pause already holds back bytes that did not fit (nothing drains
// until resume). Bytes that do not fit while paused are kept, never dropped.
std::int32_t writeStream(OutputDevice& device, const std::uint8_t* data, std::int32_t count);
// Main thread (command 9).
std::int32_t isPlaying(OutputDevice& device);
// Main thread (command 2, before closeDevice). In keep-open mode the stream
// still open holds the end of the last track, in the rings and in the
// converter: flushes it and waits until it has played. Returns at once in
// every other case, and gives up when the driver stops taking audio.
void finishPlaying(OutputDevice& device);
// Main thread (command 10).
std::int32_t setPause(OutputDevice& device, std::int32_t pause);
// Main thread (command 11).
void seekTo(OutputDevice& device, std::int32_t ms);
// Real-time thread (command 4) or the driver's callback thread; callback-safe.
// Only records the request: the main thread acts on it at its next command or
// settleResetRequest, so a close never races a main-channel command.
void handleResetRequest(OutputDevice& device);
// Real-time thread (command 12). Never below 0.
std::int32_t outputPositionMs(const OutputDevice& device);
// Real-time thread (command 13).
std::int32_t writtenPositionMs(const OutputDevice& device);
// Main thread, at every command and every wake of its wait: acts on a reset
// request handed over by another thread (closes the device at once between
// streams in keep-open mode, else marks the stream for re-open), and re-reads
// latencies the driver said changed. true when it closed the device.
bool settleResetRequest(OutputDevice& device);

} // namespace quillon::device
