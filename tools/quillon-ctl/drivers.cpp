// `drivers`: lists the installed ASIO drivers as the server sees them, through
// the real-time channel.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "client/client.h"
#include "commands.h"
#include "json.h"

namespace quillon::ctl {

namespace {

int runDrivers(const Options& options, bool json) {
    client::Connection connection;
    const auto failed = [&connection](const char* step) {
        std::fprintf(stderr, "quillon-ctl drivers: %s: %s\n", step, connection.error.c_str());
        client::disconnect(connection);
        return 1;
    };
    if (!client::startServer(connection, options.serverPath, options.readyTimeoutMs)) {
        return failed("start");
    }
    std::int32_t count = 0;
    if (!client::realTimeCommand(connection, ipc::kRtDriverCount, 0, &count, options.timeoutMs)) {
        return failed("driver count");
    }
    JsonWriter list;
    list.beginArray();
    if (count == 0 && !json) {
        std::printf("no ASIO drivers installed\n");
    }
    for (std::int32_t index = 0; index < count; ++index) {
        std::string name;
        bool found = false;
        if (!client::driverName(connection, index, &name, &found, options.timeoutMs)) {
            return failed("driver name");
        }
        if (!found) {
            // The count and the names come from one list, so a gap is a server fault.
            std::fprintf(stderr, "quillon-ctl drivers: the server has no driver %d of %d\n", index,
                         count);
            client::disconnect(connection);
            return 1;
        }
        if (json) {
            list.beginObject().value("index", index).value("name", name).endObject();
        } else {
            std::printf("%d\t%s\n", index, name.c_str());
        }
    }
    if (json) {
        std::printf("%s\n", list.endArray().text().c_str());
    }
    int exitCode = -1;
    if (!client::quitServer(connection, &exitCode, options.timeoutMs)) {
        return failed("quit");
    }
    client::disconnect(connection);
    if (exitCode != 0) {
        std::fprintf(stderr, "quillon-ctl drivers: the server ended with exit code %d\n", exitCode);
        return 1;
    }
    return 0;
}

} // namespace

void addDriversCommand(CLI::App& app, const Options& options, int& exitCode) {
    auto* command =
        app.add_subcommand("drivers", "list the installed ASIO drivers (index and name)");
    auto json = std::make_shared<bool>(false);
    command->add_flag("--json", *json, "print a JSON array of {index, name}");
    command->callback([&options, &exitCode, json] { exitCode = runDrivers(options, *json); });
}

} // namespace quillon::ctl
