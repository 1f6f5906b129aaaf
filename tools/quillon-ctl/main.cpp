#include <CLI/CLI.hpp>

#include "commands.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    CLI::App app{"quillon-ctl: start, query and stop the Quillon audio server"};
    app.require_subcommand(1);
    quillon::ctl::Options options;
    app.add_option("--server", options.serverPath,
                   "quillon-server executable (default: next to quillon-ctl)");
    app.add_option("--timeout", options.timeoutMs, "time-out for each command, in ms")
        ->capture_default_str();
    app.add_option("--ready-timeout", options.readyTimeoutMs,
                   "time-out for the server to become ready, in ms")
        ->capture_default_str();
    // Set at once, so the server any command starts inherits it.
    app.add_option("--log", "log file for the server this command starts (sets QUILLON_LOG)")
        ->each([](const std::string& path) {
            quillon::platform::setEnvironment("QUILLON_LOG", path.c_str());
        });

    int exitCode = 0;
    quillon::ctl::addStatusCommand(app, options, exitCode);
    quillon::ctl::addDriversCommand(app, options, exitCode);
    quillon::ctl::addPlayCommand(app, options, exitCode);
    quillon::ctl::addToneCommand(app, options, exitCode);
    quillon::ctl::addInstallCommands(app, exitCode);
    quillon::ctl::addProbeCommand(app, exitCode);

    CLI11_PARSE(app, argc, argv);
    return exitCode;
}
