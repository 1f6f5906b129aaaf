// What a driver can do, read through the server's own driver list and loading
// code: the `probe` command's report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::device {
struct DriverList;
}

namespace quillon::ctl {

struct ProbeChannel {
    std::int32_t channel = 0;
    bool isInput = false;
    std::int32_t group = 0;
    std::int32_t sampleType = 0;
    std::string name;
};

struct ProbeClock {
    std::int32_t index = 0;
    std::int32_t channel = 0;
    std::int32_t group = 0;
    bool current = false;
    std::string name;
};

struct ProbeRate {
    std::int32_t rate = 0;
    bool accepted = false;
};

// The buffer-switch periods seen while the driver ran, in ms.
struct ProbeRun {
    double seconds = 0;
    std::int64_t switches = 0;
    double expectedMs = 0; // preferred size over the current rate
    double meanMs = 0;
    double minMs = 0;
    double maxMs = 0;
    double jitterMs = 0; // standard deviation of the periods
};

struct ProbeReport {
    std::int32_t index = -1;
    std::string listName; // as registered
    bool loaded = false;  // the driver object could be created
    bool initialised = false;
    std::string errorMessage; // getErrorMessage after a failed init
    std::string driverName;
    std::int64_t version = 0;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    std::vector<ProbeChannel> channels; // inputs first
    std::int32_t minBufferSize = 0;
    std::int32_t maxBufferSize = 0;
    std::int32_t preferredBufferSize = 0;
    std::int32_t granularity = 0;
    std::vector<ProbeRate> rates;
    double currentRate = 0;
    std::int32_t inputLatency = 0;
    std::int32_t outputLatency = 0;
    std::vector<ProbeClock> clocks;
    bool outputReady = false;
    // Calls that failed, as "getBufferSize: ASE_NotPresent".
    std::vector<std::string> failures;
    bool ran = false;
    ProbeRun run;
};

// The rates probed, 8 kHz to 384 kHz.
inline constexpr std::int32_t kProbeRates[] = {8000,  11025, 16000,  22050,  32000,  44100, 48000,
                                               88200, 96000, 176400, 192000, 352800, 384000};

// Main thread. Loads the driver at `index`, reads everything it reports and,
// when runSeconds > 0, starts it with silent buffers for that long and times
// its buffer switches. The driver is unloaded again. false when there is no
// entry at `index`; a driver that cannot be loaded or initialised still gets a
// report saying so.
bool probeDriver(device::DriverList& list, std::int32_t index, double runSeconds,
                 ProbeReport* report);

std::string probeText(const ProbeReport& report);
// One JSON object.
std::string probeJson(const ProbeReport& report);

} // namespace quillon::ctl
