// `probe`: what the installed drivers can do, read directly (no server), with
// the server's own driver list and loading code.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "device/driver_list.h"
#include "probe_report.h"

namespace quillon::ctl {

namespace {

struct ProbeOptions {
    std::string driver; // index or name; empty: every driver
    bool json = false;
    double runSeconds = 0;
};

// The entry `wanted` names: its index, its full name or its short name.
std::int32_t findDriver(const device::DriverList& list, const std::string& wanted) {
    char* end = nullptr;
    const long index = std::strtol(wanted.c_str(), &end, 10);
    if (!wanted.empty() && *end == '\0') {
        return device::findDriverEntry(list, static_cast<std::int32_t>(index)) != nullptr
                   ? static_cast<std::int32_t>(index)
                   : -1;
    }
    for (const device::DriverEntry* entry = list.entries; entry != nullptr; entry = entry->next) {
        char cut[32];
        device::shortName(entry->name, cut);
        if (wanted == entry->name || wanted == cut) {
            return entry->index;
        }
    }
    return -1;
}

int runProbe(const ProbeOptions& options) {
    device::DriverList* list = device::readDriverList();
    std::int32_t first = 0;
    std::int32_t last = list->count - 1;
    if (!options.driver.empty()) {
        first = last = findDriver(*list, options.driver);
        if (first < 0) {
            std::fprintf(stderr, "quillon-ctl probe: no driver \"%s\"\n", options.driver.c_str());
            device::freeDriverList(list);
            return 3;
        }
    }
    int exitCode = 0;
    std::string json = "[";
    for (std::int32_t index = first; index <= last; ++index) {
        ProbeReport report;
        if (!probeDriver(*list, index, options.runSeconds, &report)) {
            continue;
        }
        if (!report.loaded || !report.initialised) {
            exitCode = 4;
        }
        if (options.json) {
            json += (json.size() > 1 ? "," : "") + probeJson(report);
        } else {
            std::fputs(probeText(report).c_str(), stdout);
        }
    }
    if (options.json) {
        std::printf("%s]\n", json.c_str());
    } else if (list->count == 0) {
        std::printf("no ASIO drivers installed\n");
    }
    device::freeDriverList(list);
    return exitCode;
}

} // namespace

void addProbeCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<ProbeOptions>();
    auto* command = app.add_subcommand(
        "probe", "load a driver (or every one) and report what it can do; exit 3 for an unknown "
                 "driver, 4 when one cannot be loaded or initialised");
    command->add_option("-d,--driver", options->driver, "driver index or name (default: all)");
    command->add_flag("--json", options->json, "print a JSON array, one object per driver");
    command
        ->add_option("--run", options->runSeconds,
                     "also start the driver (silent) for this many seconds and time its buffer "
                     "switches")
        ->check(CLI::Range(0.0, 3600.0));
    command->callback([options, &exitCode] { exitCode = runProbe(*options); });
}

} // namespace quillon::ctl
