// `status`: starts a server, checks that both channels answer, and stops it.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "client/client.h"
#include "commands.h"
#include "json.h"

namespace quillon::ctl {

namespace {

// What the run found; -1 for what was not reached.
struct Status {
    bool ready = false;
    std::int32_t playing = -1;
    std::int32_t drivers = -1;
    int exitCode = -1;
    std::string failedStep;
    std::string error;
};

void printJson(const Status& status) {
    JsonWriter json;
    json.beginObject().value("ready", status.ready);
    if (status.playing >= 0) {
        json.value("playing", status.playing);
    }
    if (status.drivers >= 0) {
        json.value("drivers", status.drivers);
    }
    if (status.exitCode >= 0) {
        json.value("exitCode", status.exitCode);
    }
    if (!status.failedStep.empty()) {
        json.value("failedStep", status.failedStep).value("error", status.error);
    }
    std::printf("%s\n", json.endObject().text().c_str());
}

int runStatus(const Options& options, bool json) {
    client::Connection connection;
    Status status;
    const auto say = [json](const char* format, std::int32_t value) {
        if (!json) {
            std::printf(format, value);
        }
    };
    const auto failed = [&](const char* step) {
        std::fprintf(stderr, "quillon-ctl status: %s: %s\n", step, connection.error.c_str());
        status.failedStep = step;
        status.error = connection.error;
        client::disconnect(connection);
        if (json) {
            printJson(status);
        }
        return 1;
    };

    if (!client::startServer(connection, options.serverPath, options.readyTimeoutMs)) {
        return failed("start");
    }
    status.ready = true;
    say("server ready\n", 0);

    if (!client::mainCommand(connection, ipc::kMainQueryPlaying, 0, 0, 0, &status.playing,
                             options.timeoutMs)) {
        return failed("main channel");
    }
    say("main channel answers (playing: %d)\n", status.playing);

    if (!client::realTimeCommand(connection, ipc::kRtDriverCount, 0, &status.drivers,
                                 options.timeoutMs)) {
        return failed("real-time channel");
    }
    say("real-time channel answers (drivers: %d)\n", status.drivers);

    if (!client::quitServer(connection, &status.exitCode, options.timeoutMs)) {
        return failed("quit");
    }
    client::disconnect(connection);
    say("server ended with exit code %d\n", status.exitCode);
    if (json) {
        printJson(status);
    }
    if (status.exitCode != 0) {
        std::fprintf(stderr, "quillon-ctl status: the server ended with exit code %d\n",
                     status.exitCode);
        return 1;
    }
    return 0;
}

} // namespace

void addStatusCommand(CLI::App& app, const Options& options, int& exitCode) {
    auto* command = app.add_subcommand(
        "status", "start the server, check that both channels answer, then quit it");
    auto json = std::make_shared<bool>(false);
    command->add_flag("--json", *json, "print one JSON object instead of lines");
    command->callback([&options, &exitCode, json] { exitCode = runStatus(options, *json); });
}

} // namespace quillon::ctl
