// `install-driver` and `remove-driver`: register or unregister the virtual
// ASIO driver's registrations, so that a machine without audio hardware (or a
// Wine prefix) has drivers to play through.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "install.h"
#include "platform/platform.h"

namespace quillon::ctl {

namespace {

// The driver library built beside quillon-ctl.
std::string defaultDriverFile() {
    char dir[1024] = "";
    platform::executableDirectory(dir, sizeof dir);
    return std::string(dir) + QUILLON_VIRTUAL_DRIVER_FILE;
}

int runInstall(bool install, const std::string& driverFile) {
    const std::string path = driverFile.empty() ? defaultDriverFile() : driverFile;
    std::string error;
    const bool done = install ? virtualdriver::installVirtualDriver(path.c_str(), &error)
                              : virtualdriver::removeVirtualDriver(path.c_str(), &error);
    const char* verb = install ? "install-driver" : "remove-driver";
    if (!done) {
        std::fprintf(stderr, "quillon-ctl %s: %s: %s\n", verb, path.c_str(), error.c_str());
        return 1;
    }
    std::printf("%s the virtual driver's registrations (%s)\n", install ? "installed" : "removed",
                path.c_str());
    return 0;
}

} // namespace

void addInstallCommands(CLI::App& app, int& exitCode) {
    for (const bool install : {true, false}) {
        auto* command = app.add_subcommand(
            install ? "install-driver" : "remove-driver",
            install ? "register the virtual ASIO driver (Windows: the registry, as "
                      "regsvr32 would; Linux: the driver registration folder)"
                    : "remove the virtual ASIO driver's registrations");
        auto file = std::make_shared<std::string>();
        command->add_option("--driver-file", *file,
                            "driver library (default: the virtual driver beside quillon-ctl)");
        command->callback([install, file, &exitCode] { exitCode = runInstall(install, *file); });
    }
}

} // namespace quillon::ctl
