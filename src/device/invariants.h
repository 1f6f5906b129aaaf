// What must hold of an output device whenever the main thread is between two
// commands, and the check that asserts it.
//
// The lifecycle flags (OutputDevice::life), by state (1 set, 0 clear, - either):
//
//                         driver   prepared   stream   driver   driver   paused
//                         Loaded   buffers    Open     Stopped  Running
//                                  halvesLive timer
//                                             Raised
//   closed                  0        0          0        1        0        -
//   driver kept (a)         1        0          0        1        0        -
//   open, not started (b)   1        1          1        1        0        0/1
//   playing                 1        1          1        0        1        0
//   paused while playing    1        1          1        0        0        1
//
//   (a) keep-open mode after a close output that gave the buffers back: the
//       driver stays loaded and initialised for the next stream.
//   (b) after the open, a seek or a format change, until the start rule
//       starts the driver; a pause here stops nothing and only holds the start.
//
// The steps between them:
// - An open loads and prepares the driver when needed, creates its buffers
//   (buffersCreated, then halvesLive under deviceLock), and ends with
//   streamOpen, outputOpen and timerRaised set, paused, resetPending and
//   resetRequested clear.
// - The start rule sets driverRunning, starts the driver and clears
//   driverStopped.
// - A stop (seek, format change, close) clears driverRunning under deviceLock
//   before the driver's stop, then sets driverStopped; abortWrites makes the
//   writes in progress drop what they hold, and the stop's own command clears
//   it again on a stream that stays open.
// - A pause clears driverRunning and stops the driver but leaves
//   driverStopped clear, so the resume knows to start it again; a resume sets
//   driverRunning and starts it.
// - A close output clears outputOpen; in keep-open mode with the output kept
//   the stream stays open and plays on, else the buffers go (closeDriverBuffers
//   clears streamOpen, halvesLive, buffersCreated, timerRaised and prepared), and
//   outside keep-open mode the driver goes too.
// - A reset request (resetRequested, any thread) becomes resetPending at the
//   main thread's next look, or closes the device between keep-open streams;
//   the re-open sets reopening only while it runs.
//
// Flags outside the table:
// - driverLoaded holds exactly while the device holds a driver object.
// - active.keepOpen is the mode taken at preparation; meaningless without a driver.
// - outputOpen is the client's view: set by an open, cleared by close output.
//   A device that closed itself (a failed open or re-open, a reset between
//   streams, a failed command) may leave it set.
// - paused, resetPending and abortWrites may outlive their stream; the next
//   open clears them.
// - resetRequested and latencyChanged are set by other threads at any time.
// - reopening is never set between commands.
//
// With a stream open, under deviceLock: both ring indices lie in the ring, the
// queued frames fit it and lead from the read index to the write index; every
// used channel has its ring, its converter and both halves; the feed formats
// agree with the stream's; the held bytes stay within one payload and a frame;
// a converter, when engaged, is fed 64-bit float at the target rate.
#pragma once

namespace quillon::device {

struct OutputDevice;

// Main thread, between commands; takes deviceLock, allocates nothing. The
// first rule the device breaks, in words, or null when every rule holds.
const char* brokenInvariant(const OutputDevice& device);

// Main thread, after every command. Where the build checks invariants (Debug
// and test builds) a broken rule is logged and ends the process; elsewhere
// nothing is done.
void checkInvariants(const OutputDevice& device);

} // namespace quillon::device
