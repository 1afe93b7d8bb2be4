// ostral-devstack-server: the local backend's HTTP server, see Server.h.
#include "Jwt.h"
#include "Server.h"

#include <glib-unix.h>
#include <glib.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

const char* const usage =
    "usage: ostral-devstack-server --pg CONNINFO --port N [--port-file F] --jwt-secret S\n"
    "                              --storage-dir D [--confirm-delay-ms MS] [--jwt-expiry SECONDS]\n"
    "       ostral-devstack-server --print-keys --jwt-secret S\n";

bool parseInt(std::string_view text, int low, int high, int& out) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = value;
    return true;
}

gboolean quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char** argv) {
    using namespace ostral::devstack;
    ServerOptions options;
    bool printKeys = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string_view value = hasValue ? argv[i + 1] : "";
        bool ok = true;
        if (argument == "--print-keys") {
            printKeys = true;
            continue;
        }
        if (hasValue && argument == "--pg") {
            options.pgConninfo = value;
        } else if (hasValue && argument == "--port") {
            ok = parseInt(value, 0, 65535, options.port);
        } else if (hasValue && argument == "--port-file") {
            options.portFile = value;
        } else if (hasValue && argument == "--jwt-secret") {
            options.jwtSecret = value;
        } else if (hasValue && argument == "--storage-dir") {
            options.storageDir = value;
        } else if (hasValue && argument == "--confirm-delay-ms") {
            ok = parseInt(value, 0, 600000, options.confirmDelayMs);
        } else if (hasValue && argument == "--jwt-expiry") {
            ok = parseInt(value, 1, 100000000, options.jwtExpirySeconds);
        } else {
            ok = false; // an unknown option, or one without its value
        }
        if (!ok) {
            std::fprintf(stderr, "bad argument %s\n%s", argv[i], usage);
            return 2;
        }
        ++i;
    }
    if (options.jwtSecret.empty()) {
        std::fprintf(stderr, "--jwt-secret is required\n%s", usage);
        return 2;
    }
    if (printKeys) {
        std::printf("anon=%s\nservice_role=%s\n", Jwt::anonKey(options.jwtSecret).c_str(),
                    Jwt::serviceKey(options.jwtSecret).c_str());
        return 0;
    }
    if (options.pgConninfo.empty() || options.storageDir.empty()) {
        std::fprintf(stderr, "--pg and --storage-dir are required\n%s", usage);
        return 2;
    }

    auto server = Server::start(options);
    if (!server) {
        std::fprintf(stderr, "ostral-devstack-server: %s\n", server.error().c_str());
        return 1;
    }
    std::fprintf(stderr, "ostral-devstack-server listening on http://127.0.0.1:%d\n",
                 (*server)->port());
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_unix_signal_add(SIGTERM, quit, loop);
    g_unix_signal_add(SIGINT, quit, loop);
    g_main_loop_run(loop);
    server->reset();
    g_main_loop_unref(loop);
    std::fprintf(stderr, "ostral-devstack-server stopped\n");
    return 0;
}
