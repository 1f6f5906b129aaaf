// A random-command client against the real server process, with the virtual
// driver loaded and its faults armed at random. Two threads send random codes
// and arguments on both channels at once; the driver's own thread sends reset
// messages. Every few thousand commands the server is told to quit and must
// end with exit code 0; then a new one is started.
//
//   quillon_fuzz [--commands N] [--seed S] [--answer-limit-ms T]
//
// Seed 0 (the default) picks a new seed, printed first, so that any failure
// can be run again with --seed. Exit code 0: no crash, no hang, every quit
// clean. A command unanswered after the answer limit counts as a hang; a
// write, which rightly lasts as long as its audio plays, counts as one only
// once the driver has made no buffer switch for that long.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "common/virtual_control_block.h"
#include "install.h"
#include "ipc/shared_block.h"
#include "platform/platform.h"
#include "virtual_control.h"

namespace client = quillon::client;
namespace ipc = quillon::ipc;
namespace platform = quillon::platform;
namespace vd = quillon::virtualdriver;

namespace {

constexpr std::uint32_t kReadyMs = 60000;
// Commands between two server restarts.
constexpr long kRound = 2500;
// A write of a whole payload of slow audio plays for minutes; this caps it.
constexpr std::uint32_t kWriteCeilingMs = 30 * 60 * 1000;

struct Options {
    long commands = 20000;
    std::uint64_t seed = 0;
    std::uint32_t answerLimitMs = 60000;
};

using Rng = std::mt19937_64;

template <typename T> T pick(Rng& rng, std::initializer_list<T> values) {
    std::uniform_int_distribution<std::size_t> d(0, values.size() - 1);
    return *(values.begin() + d(rng));
}
std::int32_t between(Rng& rng, std::int32_t lo, std::int32_t hi) {
    return std::uniform_int_distribution<std::int32_t>(lo, hi)(rng);
}
bool chance(Rng& rng, int percent) {
    return between(rng, 0, 99) < percent;
}
std::int32_t anyInt(Rng& rng) {
    return static_cast<std::int32_t>(rng());
}

// The longest answer seen per main code, and a failure flag both threads share.
struct Record {
    std::mutex mutex;
    std::int64_t longestMs[16] = {};
    std::int64_t longestOtherMs = 0;
    // The longest time a write waited while the driver made no buffer switch.
    std::atomic<std::int64_t> longestStallMs{0};
    std::atomic<bool> failed{false};
    std::string failure;
    // Proof that the run reached the driver: opens that answered a latency
    // and writes that were taken.
    std::atomic<long> opened{0};
    std::atomic<long> accepted{0};

    void answered(std::int32_t code, std::int64_t ms) {
        std::lock_guard<std::mutex> guard(mutex);
        std::int64_t& slot = code >= 0 && code < 16 ? longestMs[code] : longestOtherMs;
        slot = std::max(slot, ms);
    }
    void fail(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex);
        if (!failed.exchange(true)) {
            failure = what;
        }
    }
};

class Fuzzer {
public:
    Fuzzer(const Options& options, vd::Control* control)
        : options_(options), control_(control), rng_(options.seed) {}

    bool run() {
        long sent = 0;
        int round = 0;
        while (sent < options_.commands && !record_.failed) {
            const long count = std::min(kRound, options_.commands - sent);
            if (!runRound(count, rng_())) {
                break;
            }
            sent += count;
            ++round;
            std::printf("round %d: %ld commands sent\n", round, sent);
            std::fflush(stdout);
        }
        report(sent);
        return !record_.failed;
    }

private:
    // One server lifetime: start, fuzz both channels, quit with exit code 0.
    bool runRound(long count, std::uint64_t seed) {
        disarm();
        client::Connection c;
        if (!client::startServer(c, {}, kReadyMs)) {
            record_.fail("start: " + c.error);
            return false;
        }
        std::int32_t drivers = 0;
        client::realTimeCommand(c, ipc::kRtDriverCount, 0, &drivers, options_.answerLimitMs);
        drivers_ = drivers;

        std::atomic<bool> mainDone{false};
        std::thread realTime([&, seed] {
            Rng rng(seed ^ 0x9E3779B97F4A7C15ull);
            while (!mainDone && !record_.failed) {
                realTimeStep(c, rng);
            }
        });
        std::thread watchdog([&] { watchWrites(c, mainDone); });
        Rng rng(seed);
        for (long i = 0; i < count && !record_.failed; ++i) {
            // Faults come and go, so most of the time some driver still plays.
            if (chance(rng, 2)) {
                armFaults(rng);
            } else if (chance(rng, 6) && control_ != nullptr) {
                vd::Faults& f = control_->slots[between(rng, 0, vd::kRegistrationCount - 1)].faults;
                std::memset(static_cast<void*>(&f), 0, sizeof f);
            }
            mainStep(c, rng);
        }
        mainDone = true;
        realTime.join();
        watchdog.join();
        disarm();
        if (!record_.failed) {
            int exitCode = -1;
            const auto start = std::chrono::steady_clock::now();
            if (!client::quitServer(c, &exitCode, options_.answerLimitMs)) {
                record_.fail("quit: " + c.error);
            } else if (exitCode != 0) {
                record_.fail("quit ended the server with exit code " + std::to_string(exitCode));
            }
            record_.answered(ipc::kMainQuit, sinceMs(start));
        }
        client::disconnect(c);
        return !record_.failed;
    }

    // Buffer switches of every registration so far: the driver's progress.
    std::int64_t switches() const {
        std::int64_t sum = 0;
        for (const vd::Slot& slot : control_->slots) {
            sum += slot.status.bufferSwitches.load();
        }
        return sum;
    }

    // While a write is outstanding, a driver that makes no buffer switch for
    // the answer limit leaves the server nothing to wait for: that is a hang.
    // The server is killed, so the waiting write ends and the round fails.
    void watchWrites(client::Connection& c, const std::atomic<bool>& mainDone) {
        if (control_ == nullptr) {
            return;
        }
        std::int64_t last = switches();
        auto progress = std::chrono::steady_clock::now();
        while (!mainDone && !record_.failed) {
            platform::sleepMs(50);
            const std::int64_t now = switches();
            if (now != last || !writing_) {
                last = now;
                progress = std::chrono::steady_clock::now();
                continue;
            }
            const std::int64_t stalled = sinceMs(progress);
            std::int64_t longest = record_.longestStallMs.load();
            while (stalled > longest &&
                   !record_.longestStallMs.compare_exchange_weak(longest, stalled)) {
            }
            if (stalled > options_.answerLimitMs) {
                record_.fail("a write got no answer while the driver made no buffer switch for " +
                             std::to_string(stalled) + " ms");
                platform::killProcess(c.process);
                return;
            }
        }
    }

    static std::int64_t sinceMs(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    }

    void mainStep(client::Connection& c, Rng& rng) {
        // Opens and closes rarer than the commands that act on an open stream.
        std::int32_t code =
            pick<std::int32_t>(rng, {5, 5, 6, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8, 9, 9, 10, 11});
        std::int32_t a1 = 0, a2 = 0, a3 = 0;
        switch (code) {
        case ipc::kMainOpen:
            a1 = chance(rng, 90)
                     ? pick<std::int32_t>(rng, {44100, 44100, 48000, 48000, 96000})
                     : pick<std::int32_t>(rng, {0, -1, 1, 8000, 22050, INT_MAX, anyInt(rng)});
            a2 = chance(rng, 90) ? pick<std::int32_t>(rng, {16, 16, 24, 32, -32, -64, 8})
                                 : pick<std::int32_t>(rng, {0, 12, -16, 64, anyInt(rng)});
            a3 = chance(rng, 90) ? pick<std::int32_t>(rng, {2, 2, 2, 1, 8})
                                 : pick<std::int32_t>(rng, {0, -1, 3, 9, 64, anyInt(rng)});
            break;
        case ipc::kMainWrite:
            break; // below
        case ipc::kMainPause:
            a1 = pick<std::int32_t>(rng, {0, 1, 0, 1, -1, anyInt(rng)});
            break;
        case ipc::kMainSeek:
            a1 = chance(rng, 80) ? between(rng, 0, 60000)
                                 : pick<std::int32_t>(rng, {-1, INT_MIN, INT_MAX, anyInt(rng)});
            break;
        default:
            break;
        }
        if (chance(rng, 3)) {
            code = chance(rng, 50) ? between(rng, -3, 20) : anyInt(rng);
            if (code == ipc::kMainQuit) {
                code = 3;
            }
            a1 = anyInt(rng);
            a2 = anyInt(rng);
            a3 = anyInt(rng);
        }
        std::int32_t result = 0;
        const auto start = std::chrono::steady_clock::now();
        bool answered = false;
        if (code == ipc::kMainWrite) {
            // Mostly whole frames of a plausible size; now and then a count
            // that is not, or one outside the payload area.
            std::int32_t count = between(rng, 0, 8192) * pick<std::int32_t>(rng, {4, 4, 2, 8, 6});
            if (chance(rng, 10)) {
                count = pick<std::int32_t>(rng, {-1, INT_MIN, INT_MAX, 3, 1, 65537,
                                                 static_cast<std::int32_t>(ipc::kPayloadSize),
                                                 static_cast<std::int32_t>(ipc::kPayloadSize) + 1});
            }
            // Noise straight into the payload; past 64 KiB whatever the block holds.
            const std::size_t fill =
                std::min<std::size_t>(count > 0 ? static_cast<std::size_t>(count) : 0, 1 << 16);
            for (std::size_t i = 0; i < fill; ++i) {
                c.block[ipc::kPayload + i] = static_cast<std::uint8_t>(rng() >> 56);
            }
            writing_ = true;
            answered =
                client::writeAudio(c, nullptr, count, &result,
                                   control_ != nullptr ? kWriteCeilingMs : options_.answerLimitMs);
            writing_ = false;
        } else {
            answered = client::mainCommand(c, code, a1, a2, a3, &result, options_.answerLimitMs);
        }
        record_.answered(code, sinceMs(start));
        if (answered && code == ipc::kMainOpen && result >= 0) {
            ++record_.opened;
        } else if (answered && code == ipc::kMainWrite && result == 0) {
            ++record_.accepted;
        }
        if (!answered) {
            record_.fail("main code " + std::to_string(code) + " (" + std::to_string(a1) + ", " +
                         std::to_string(a2) + ", " + std::to_string(a3) + "): " + c.error);
        }
    }

    void realTimeStep(client::Connection& c, Rng& rng) {
        const std::int32_t code = chance(rng, 5) ? anyInt(rng)
                                  // Settings and resets are rare: each one reshapes the next open.
                                  : chance(rng, 4)
                                      ? pick<std::int32_t>(rng, {3, 3, 4})
                                      : pick<std::int32_t>(rng, {0, 1, 12, 12, 13, 13, 2});
        bool answered = true;
        if (code == ipc::kRtSettings) {
            ipc::DeviceSettings s;
            s.driverIndex = chance(rng, 90) ? between(rng, 0, std::max(0, drivers_ - 1))
                                            : pick<std::int32_t>(rng, {-1, drivers_, INT_MIN});
            s.processPriority = between(rng, 0, 3);
            s.threadPriority = between(rng, 0, 4);
            s.bufferMultiplier = chance(rng, 95) ? between(rng, 0, 4) : anyInt(rng);
            s.firstChannel =
                chance(rng, 90) ? pick<std::int32_t>(rng, {0, 0, 0, 1, 2}) : anyInt(rng);
            s.keepDriverOpen = chance(rng, 30);
            s.monoToStereo = chance(rng, 30);
            s.inputMonitor = chance(rng, 30);
            s.resampleEnable = chance(rng, 30);
            s.resamplerPriority = between(rng, 0, 3);
            s.resampleRate = chance(rng, 95) ? pick<std::int32_t>(rng, {44100, 48000, 96000})
                                             : pick<std::int32_t>(rng, {0, -1, 1, anyInt(rng)});
            // The highest qualities design long filters: keep them rare.
            s.resampleQuality = chance(rng, 95) ? between(rng, 0, 2)
                                                : pick<std::int32_t>(rng, {3, 4, -1, anyInt(rng)});
            answered = client::sendSettings(c, s, options_.answerLimitMs);
        } else {
            std::int32_t result = 0;
            const std::int32_t arg = code == ipc::kRtDriverName && chance(rng, 80)
                                         ? between(rng, -1, drivers_)
                                         : anyInt(rng);
            answered = client::realTimeCommand(c, code, arg, &result, options_.answerLimitMs);
        }
        if (!answered) {
            record_.fail("real-time code " + std::to_string(code) + ": " + c.error);
        }
        platform::sleepMs(static_cast<std::uint32_t>(between(rng, 0, 2)));
    }

    // Faults for the driver's next calls. Values stay within what the server
    // must survive in bounded time: short stalls, reset messages, odd layouts.
    void armFaults(Rng& rng) {
        if (control_ == nullptr) {
            return;
        }
        vd::Faults& f = control_->slots[between(rng, 0, vd::kRegistrationCount - 1)].faults;
        switch (between(rng, 0, 9)) {
        case 0:
            f.failInit = chance(rng, 50);
            break;
        case 1:
            f.refuseRates = chance(rng, 50);
            break;
        case 2:
        case 3:
            // From the driver's thread: reset request, buffer size or latency change.
            f.messageValue = 0;
            f.messageAfterSwitches = between(rng, 0, 40);
            f.messageSelector = pick<std::int32_t>(rng, {3, 4, 6, 3, 1, 2, 99});
            break;
        case 4:
            f.lateSwitchMs = between(rng, 0, 30);
            f.lateSwitchCount = between(rng, 0, 8);
            break;
        case 5:
            f.stopWaitsForCallback = chance(rng, 50);
            break;
        case 6:
            f.channels = chance(rng, 70) ? pick<std::int32_t>(rng, {0, 1, 2, 4, 8})
                                         : pick<std::int32_t>(rng, {-1, 100000, INT_MAX});
            break;
        case 7:
            f.preferredBufferSize = chance(rng, 70)
                                        ? pick<std::int32_t>(rng, {0, 64, 256, 1024, 4096})
                                        : pick<std::int32_t>(rng, {-1, 1, INT_MAX});
            break;
        case 8:
            f.outputLatency = chance(rng, 70) ? pick<std::int32_t>(rng, {0, 64, 512, 2048})
                                              : pick<std::int32_t>(rng, {-1, INT_MAX});
            break;
        default:
            f.overrideSampleType = chance(rng, 50);
            f.sampleType = pick<std::int32_t>(rng, {16, 17, 18, 19, 20, 24, 27, 0, 3, 5, 99});
            break;
        }
    }

    void disarm() {
        if (control_ != nullptr) {
            for (vd::Slot& slot : control_->slots) {
                std::memset(static_cast<void*>(&slot.faults), 0, sizeof slot.faults);
            }
        }
    }

    void report(long sent) {
        std::printf("%ld commands, seed %llu: %s\n", sent,
                    static_cast<unsigned long long>(options_.seed),
                    record_.failed ? record_.failure.c_str() : "no crash, no hang, clean quits");
        std::printf("longest main answers (ms):");
        for (int code = 0; code < 16; ++code) {
            if (record_.longestMs[code] > 0) {
                std::printf(" %d:%lld", code, static_cast<long long>(record_.longestMs[code]));
            }
        }
        std::printf(" other:%lld\n", static_cast<long long>(record_.longestOtherMs));
        std::printf("longest wait of a write while the driver made no buffer switch: %lld ms\n",
                    static_cast<long long>(record_.longestStallMs.load()));
        std::printf("opens that succeeded: %ld, writes taken: %ld\n", record_.opened.load(),
                    record_.accepted.load());
    }

    Options options_;
    vd::Control* control_;
    Rng rng_;
    Record record_;
    std::int32_t drivers_ = 0;
    std::atomic<bool> writing_{false};
};

std::string besideExecutable(const char* file) {
    char dir[1024] = "";
    platform::executableDirectory(dir, sizeof dir);
    return std::string(dir) + file;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--commands") == 0) {
            options.commands = std::strtol(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            options.seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--answer-limit-ms") == 0) {
            options.answerLimitMs =
                static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (options.seed == 0) {
        options.seed = static_cast<std::uint64_t>(
                           std::chrono::system_clock::now().time_since_epoch().count()) |
                       1u;
    }
    std::printf("quillon_fuzz --seed %llu --commands %ld\n",
                static_cast<unsigned long long>(options.seed), options.commands);
    std::fflush(stdout);

    // Opened before any driver object, and kept: on Linux the block goes with
    // the mapping of the process that created it.
    platform::SharedMemory* memory = quillon::testing::openVirtualControl();
    vd::Control* control = quillon::testing::controlIn(memory);

    const std::string driver = besideExecutable(QUILLON_VIRTUAL_DRIVER_FILE);
    std::string error;
    if (!vd::installVirtualDriver(driver.c_str(), &error)) {
        std::fprintf(stderr, "cannot install the virtual driver: %s\n", error.c_str());
        return 2;
    }
    Fuzzer fuzzer(options, control);
    const bool ok = fuzzer.run();
    vd::removeVirtualDriver(driver.c_str(), nullptr);
    if (memory != nullptr) {
        platform::closeSharedMemory(memory);
    }
    return ok ? 0 : 1;
}
