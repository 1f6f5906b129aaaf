// `status`: starts a server, checks that both channels answer, and stops it.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "client/client.h"
#include "ctl/commands.h"

namespace quillon::ctl {

namespace {

int runStatus(const Options& options) {
    client::Connection connection;
    const auto failed = [&connection](const char* step) {
        std::fprintf(stderr, "quillon-ctl status: %s: %s\n", step, connection.error.c_str());
        client::disconnect(connection);
        return 1;
    };

    if (!client::startServer(connection, options.serverPath, options.readyTimeoutMs)) {
        return failed("start");
    }
    std::printf("server ready\n");

    std::int32_t playing = -1;
    if (!client::mainCommand(connection, ipc::kMainQueryPlaying, 0, 0, 0, &playing,
                             options.timeoutMs)) {
        return failed("main channel");
    }
    std::printf("main channel answers (playing: %d)\n", playing);

    std::int32_t drivers = -1;
    if (!client::realTimeCommand(connection, ipc::kRtDriverCount, 0, &drivers, options.timeoutMs)) {
        return failed("real-time channel");
    }
    std::printf("real-time channel answers (drivers: %d)\n", drivers);

    int exitCode = -1;
    if (!client::quitServer(connection, &exitCode, options.timeoutMs)) {
        return failed("quit");
    }
    client::disconnect(connection);
    std::printf("server ended with exit code %d\n", exitCode);
    if (exitCode != 0) {
        std::fprintf(stderr, "quillon-ctl status: the server ended with exit code %d\n", exitCode);
        return 1;
    }
    return 0;
}

} // namespace

void addStatusCommand(CLI::App& app, const Options& options, int& exitCode) {
    auto* command = app.add_subcommand(
        "status", "start the server, check that both channels answer, then quit it");
    command->callback([&options, &exitCode] { exitCode = runStatus(options); });
}

} // namespace quillon::ctl
