#include "probe_report.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/asio.h"
#include "device/driver_list.h"
#include "json.h"
#include "platform/platform.h"

namespace quillon::ctl {

namespace {

using namespace asio;

std::string errorText(ASIOError error) {
    if (const char* name = errorName(error)) {
        return name;
    }
    return std::to_string(static_cast<long long>(error));
}

std::string typeText(std::int32_t type) {
    if (const char* name = sampleTypeName(type)) {
        return name;
    }
    return "unknown (" + std::to_string(type) + ")";
}

// Drivers write fixed-size text fields; one that leaves no terminator must not
// make us read past them.
std::string fieldText(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}

bool check(ProbeReport& report, const char* call, ASIOError error) {
    if (error == ASE_OK || error == ASE_SUCCESS) {
        return true;
    }
    report.failures.push_back(std::string(call) + ": " + errorText(error));
    return false;
}

// The run's state, shared with the driver's thread through the callbacks,
// which carry no context of their own. Sized before start: the callback only
// stores into it.
struct RunState {
    std::vector<std::int64_t> ticks;
    std::atomic<std::size_t> count{0};
    std::vector<ASIOBufferInfo> buffers;
    std::size_t halfBytes[64] = {};
    IASIO* driver = nullptr;
    bool outputReady = false;
};
RunState* gRun = nullptr;

void onBufferSwitch(AsioLong index, ASIOBool) {
    RunState* run = gRun;
    if (run == nullptr || (index != 0 && index != 1)) {
        return;
    }
    const std::size_t at = run->count.load(std::memory_order_relaxed);
    if (at < run->ticks.size()) {
        run->ticks[at] = platform::perfCounter();
        run->count.store(at + 1, std::memory_order_release);
    }
    // Silence: nothing is played while the periods are timed.
    for (std::size_t c = 0; c < run->buffers.size(); ++c) {
        if (void* half = run->buffers[c].buffers[index]) {
            std::memset(half, 0, run->halfBytes[c]);
        }
    }
    if (run->outputReady) {
        run->driver->outputReady();
    }
}

void onRateChange(ASIOSampleRate) {}

AsioLong onMessage(AsioLong selector, AsioLong value, void*, double*) {
    switch (selector) {
    case kAsioSelectorSupported:
        return value == kAsioEngineVersion ? 1 : 0;
    case kAsioEngineVersion:
        return 2;
    default:
        return 0;
    }
}

ASIOTime* onTimeInfo(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}

void runDriver(IASIO& driver, ProbeReport& report, double seconds) {
    std::int64_t frequency = 0;
    if (!platform::perfFrequency(&frequency) || frequency <= 0 || report.outputs < 1 ||
        report.preferredBufferSize < 1) {
        report.failures.push_back("run: no outputs, no buffer size or no clock to time with");
        return;
    }
    RunState run;
    run.driver = &driver;
    run.outputReady = report.outputReady;
    const std::int32_t channels = report.outputs < 64 ? report.outputs : 64;
    for (std::int32_t c = 0; c < channels; ++c) {
        run.buffers.push_back(ASIOBufferInfo{0, c, {nullptr, nullptr}});
        std::int32_t type = -1;
        for (const ProbeChannel& info : report.channels) {
            if (!info.isInput && info.channel == c) {
                type = info.sampleType;
            }
        }
        run.halfBytes[c] = static_cast<std::size_t>(report.preferredBufferSize) *
                           static_cast<std::size_t>(sampleTypeBytes(type));
    }
    const double rate = report.currentRate > 0 ? report.currentRate : 44100;
    // Room for every switch the run can see, twice over for a driver faster than it says.
    const double expected = seconds * rate / report.preferredBufferSize;
    run.ticks.resize(static_cast<std::size_t>(2 * expected) + 64);
    ASIOCallbacks callbacks{onBufferSwitch, onRateChange, onMessage, onTimeInfo};
    gRun = &run;
    if (!check(report, "createBuffers",
               driver.createBuffers(run.buffers.data(), channels, report.preferredBufferSize,
                                    &callbacks))) {
        gRun = nullptr;
        return;
    }
    for (std::int32_t c = 0; c < channels; ++c) {
        for (void* half : run.buffers[static_cast<std::size_t>(c)].buffers) {
            if (half != nullptr) {
                std::memset(half, 0, run.halfBytes[c]);
            }
        }
    }
    if (check(report, "start", driver.start())) {
        // Wait with the message pump running: some drivers post to their host.
        platform::Handle* never = platform::createEvent(nullptr, true);
        if (never != nullptr) {
            platform::waitPumpingMessages(never, static_cast<std::uint32_t>(seconds * 1000));
            platform::closeHandle(never);
        } else {
            platform::sleepMs(static_cast<std::uint32_t>(seconds * 1000));
        }
        check(report, "stop", driver.stop());
    }
    check(report, "disposeBuffers", driver.disposeBuffers());
    gRun = nullptr;

    report.ran = true;
    report.run.seconds = seconds;
    report.run.expectedMs = 1000.0 * report.preferredBufferSize / rate;
    const std::size_t count = run.count.load(std::memory_order_acquire);
    report.run.switches = static_cast<std::int64_t>(count);
    if (count < 2) {
        return;
    }
    double sum = 0;
    double sumSquares = 0;
    double least = 1e300;
    double most = 0;
    for (std::size_t i = 1; i < count; ++i) {
        const double ms = 1000.0 * static_cast<double>(run.ticks[i] - run.ticks[i - 1]) /
                          static_cast<double>(frequency);
        sum += ms;
        sumSquares += ms * ms;
        least = ms < least ? ms : least;
        most = ms > most ? ms : most;
    }
    const double n = static_cast<double>(count - 1);
    report.run.meanMs = sum / n;
    const double variance = sumSquares / n - report.run.meanMs * report.run.meanMs;
    report.run.jitterMs = variance > 0 ? std::sqrt(variance) : 0;
    report.run.minMs = least;
    report.run.maxMs = most;
}

void readChannels(IASIO& driver, ProbeReport& report) {
    for (int input = 1; input >= 0; --input) {
        const std::int32_t total = input != 0 ? report.inputs : report.outputs;
        for (std::int32_t c = 0; c < total; ++c) {
            ASIOChannelInfo info{};
            info.channel = c;
            info.isInput = input;
            const std::string call =
                std::string("getChannelInfo(") + (input ? "in " : "out ") + std::to_string(c) + ")";
            if (!check(report, call.c_str(), driver.getChannelInfo(&info))) {
                continue;
            }
            report.channels.push_back(ProbeChannel{
                c, input != 0, static_cast<std::int32_t>(info.channelGroup),
                static_cast<std::int32_t>(info.type), fieldText(info.name, sizeof info.name)});
        }
    }
}

void readDriver(IASIO& driver, ProbeReport& report) {
    char name[33] = {};
    driver.getDriverName(name);
    report.driverName = fieldText(name, 32);
    report.version = driver.getDriverVersion();

    AsioLong inputs = 0;
    AsioLong outputs = 0;
    if (check(report, "getChannels", driver.getChannels(&inputs, &outputs))) {
        report.inputs = static_cast<std::int32_t>(inputs);
        report.outputs = static_cast<std::int32_t>(outputs);
    }
    readChannels(driver, report);

    AsioLong least = 0, most = 0, preferred = 0, granularity = 0;
    if (check(report, "getBufferSize",
              driver.getBufferSize(&least, &most, &preferred, &granularity))) {
        report.minBufferSize = static_cast<std::int32_t>(least);
        report.maxBufferSize = static_cast<std::int32_t>(most);
        report.preferredBufferSize = static_cast<std::int32_t>(preferred);
        report.granularity = static_cast<std::int32_t>(granularity);
    }
    for (const std::int32_t rate : kProbeRates) {
        report.rates.push_back(ProbeRate{rate, driver.canSampleRate(rate) == ASE_OK});
    }
    ASIOSampleRate current = 0;
    if (check(report, "getSampleRate", driver.getSampleRate(&current))) {
        report.currentRate = current;
    }
    AsioLong inputLatency = 0, outputLatency = 0;
    if (check(report, "getLatencies", driver.getLatencies(&inputLatency, &outputLatency))) {
        report.inputLatency = static_cast<std::int32_t>(inputLatency);
        report.outputLatency = static_cast<std::int32_t>(outputLatency);
    }
    ASIOClockSource clocks[32] = {};
    AsioLong clockCount = 32;
    if (check(report, "getClockSources", driver.getClockSources(clocks, &clockCount))) {
        const AsioLong shown = clockCount < 0 ? 0 : (clockCount > 32 ? 32 : clockCount);
        for (AsioLong i = 0; i < shown; ++i) {
            report.clocks.push_back(ProbeClock{
                static_cast<std::int32_t>(clocks[i].index),
                static_cast<std::int32_t>(clocks[i].associatedChannel),
                static_cast<std::int32_t>(clocks[i].associatedGroup),
                clocks[i].isCurrentSource != 0, fieldText(clocks[i].name, sizeof clocks[i].name)});
        }
    }
    report.outputReady = driver.outputReady() == ASE_OK;
}

} // namespace

bool probeDriver(device::DriverList& list, std::int32_t index, double runSeconds,
                 ProbeReport* report) {
    const device::DriverEntry* entry = device::findDriverEntry(list, index);
    if (entry == nullptr) {
        return false;
    }
    *report = ProbeReport{};
    report->index = index;
    report->listName = entry->name;
    IASIO* driver = nullptr;
    report->loaded = device::loadDriverByIndex(list, index, &driver) && driver != nullptr;
    if (!report->loaded) {
        return true;
    }
    report->initialised = driver->init(nullptr) != 0;
    if (!report->initialised) {
        char text[125] = {};
        driver->getErrorMessage(text);
        report->errorMessage = fieldText(text, 124);
    } else {
        readDriver(*driver, *report);
        if (runSeconds > 0) {
            runDriver(*driver, *report, runSeconds);
        }
    }
    device::unloadDriver(list);
    return true;
}

std::string probeText(const ProbeReport& r) {
    std::string out;
    char line[512];
    const auto add = [&out, &line](const char* format, auto... args) {
        std::snprintf(line, sizeof line, format, args...);
        out += line;
    };
    add("driver %d: %s\n", r.index, r.listName.c_str());
    if (!r.loaded) {
        out += "  could not be loaded\n";
        return out;
    }
    if (!r.initialised) {
        add("  init failed: %s\n", r.errorMessage.c_str());
        return out;
    }
    add("  name %s, version %lld\n", r.driverName.c_str(), static_cast<long long>(r.version));
    add("  channels: %d in, %d out\n", r.inputs, r.outputs);
    for (const ProbeChannel& c : r.channels) {
        add("    %s %d: %s, %s, group %d\n", c.isInput ? "in " : "out", c.channel, c.name.c_str(),
            typeText(c.sampleType).c_str(), c.group);
    }
    add("  buffer sizes: min %d, max %d, preferred %d, granularity %d\n", r.minBufferSize,
        r.maxBufferSize, r.preferredBufferSize, r.granularity);
    out += "  rates accepted:";
    for (const ProbeRate& rate : r.rates) {
        if (rate.accepted) {
            add(" %d", rate.rate);
        }
    }
    add("\n  current rate: %g\n", r.currentRate);
    add("  latencies: input %d, output %d frames\n", r.inputLatency, r.outputLatency);
    out += "  clock sources:\n";
    for (const ProbeClock& c : r.clocks) {
        add("    %d: %s%s\n", c.index, c.name.c_str(), c.current ? " (current)" : "");
    }
    add("  outputReady: %s\n", r.outputReady ? "supported" : "not supported");
    for (const std::string& failure : r.failures) {
        add("  failed: %s\n", failure.c_str());
    }
    if (r.ran) {
        add("  run %.1f s: %lld buffer switches, period mean %.3f ms (expected %.3f), min %.3f, "
            "max %.3f, jitter %.3f ms\n",
            r.run.seconds, static_cast<long long>(r.run.switches), r.run.meanMs, r.run.expectedMs,
            r.run.minMs, r.run.maxMs, r.run.jitterMs);
    }
    return out;
}

namespace {

// An array under `key` holding one object for each item, its members written by `members`.
template <typename Item, typename Members>
void objectArray(JsonWriter& json, const char* key, const std::vector<Item>& items,
                 Members members) {
    json.beginArray(key);
    for (const Item& item : items) {
        json.beginObject();
        members(json, item);
        json.endObject();
    }
    json.endArray();
}

} // namespace

std::string probeJson(const ProbeReport& r) {
    JsonWriter json;
    json.beginObject();
    json.value("index", r.index).value("name", r.listName).value("loaded", r.loaded);
    json.value("initialised", r.initialised);
    if (!r.initialised) {
        json.value("error", r.errorMessage);
    } else {
        json.value("driverName", r.driverName).value("version", r.version);
        json.value("inputs", r.inputs).value("outputs", r.outputs);
        objectArray(json, "channels", r.channels, [](JsonWriter& j, const ProbeChannel& c) {
            j.value("channel", c.channel).value("input", c.isInput).value("name", c.name);
            j.value("sampleType", c.sampleType)
                .value("sampleTypeName", sampleTypeName(c.sampleType));
            j.value("group", c.group);
        });
        json.beginObject("bufferSize")
            .value("min", r.minBufferSize)
            .value("max", r.maxBufferSize)
            .value("preferred", r.preferredBufferSize)
            .value("granularity", r.granularity)
            .endObject();
        json.beginArray("ratesAccepted");
        for (const ProbeRate& rate : r.rates) {
            if (rate.accepted) {
                json.value(nullptr, rate.rate);
            }
        }
        json.endArray();
        json.value("currentRate", r.currentRate);
        json.beginObject("latency")
            .value("input", r.inputLatency)
            .value("output", r.outputLatency)
            .endObject();
        objectArray(json, "clockSources", r.clocks, [](JsonWriter& j, const ProbeClock& c) {
            j.value("index", c.index).value("name", c.name).value("current", c.current);
            j.value("channel", c.channel).value("group", c.group);
        });
        json.value("outputReady", r.outputReady);
        json.beginArray("failures");
        for (const std::string& failure : r.failures) {
            json.value(nullptr, failure);
        }
        json.endArray();
        if (r.ran) {
            json.beginObject("run")
                .value("seconds", r.run.seconds)
                .value("bufferSwitches", r.run.switches)
                .value("expectedPeriodMs", r.run.expectedMs)
                .value("meanPeriodMs", r.run.meanMs)
                .value("minPeriodMs", r.run.minMs)
                .value("maxPeriodMs", r.run.maxMs)
                .value("jitterMs", r.run.jitterMs)
                .endObject();
        }
    }
    json.endObject();
    return json.text();
}

} // namespace quillon::ctl
