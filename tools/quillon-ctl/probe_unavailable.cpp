// `probe` in a 32-bit quillon-ctl: drivers are 64-bit and load only into a
// 64-bit process, so the command says where to find it.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "commands.h"

namespace quillon::ctl {

void addProbeCommand(CLI::App& app, int& exitCode) {
    auto* command = app.add_subcommand("probe", "(64-bit quillon-ctl only)");
    command->allow_extras();
    command->callback([&exitCode] {
        std::fprintf(stderr, "quillon-ctl probe: drivers load into 64-bit processes only; use "
                             "the 64-bit quillon-ctl\n");
        exitCode = 1;
    });
}

} // namespace quillon::ctl
