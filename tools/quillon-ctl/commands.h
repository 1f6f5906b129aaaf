// quillon-ctl's commands, one source file each; main.cpp registers them.
#pragma once

#include <cstdint>
#include <string>

namespace CLI {
class App;
}

namespace quillon::ctl {

// Options every command shares.
struct Options {
    std::string serverPath; // empty: next to quillon-ctl
    std::uint32_t timeoutMs = 5000;
    std::uint32_t readyTimeoutMs = 20000;
};

// Each adds its subcommand; the callback stores the exit code in `exitCode`.
void addStatusCommand(CLI::App& app, const Options& options, int& exitCode);
void addDriversCommand(CLI::App& app, const Options& options, int& exitCode);
void addPlayCommand(CLI::App& app, const Options& options, int& exitCode);
void addToneCommand(CLI::App& app, const Options& options, int& exitCode);
void addInstallCommands(CLI::App& app, int& exitCode);
void addProbeCommand(CLI::App& app, int& exitCode);

} // namespace quillon::ctl
