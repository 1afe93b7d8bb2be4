#include "PrivateServices.h"

#include <Support/MainContext.h>

#include <fmt/format.h>
#include <glib/gstdio.h>
#include <libsecret/secret.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace ostral::supabase::testing {

using support::GErrorPtr;
using support::GObjectPtr;
using support::kAdopt;

namespace {

// The daemons get a session of their own: gnome-keyring-daemon signals its whole process group
// when it stops, which must not reach the test.
void ownSession(gpointer) {
    setsid();
}

} // namespace

TempDir::TempDir() {
    GErrorPtr error;
    support::GCharPtr path(g_dir_make_tmp("ostral-supabase-XXXXXX", error.out()));
    path_ = path.view();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        const gchar* argv[] = {"rm", "-rf", path_.c_str(), nullptr};
        g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                     nullptr, nullptr, nullptr, nullptr, nullptr);
    }
}

void dropSessionBusConnection() {
    secret_service_disconnect();
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr), kAdopt);
    if (bus) {
        // GLib ends the process when the peer of a shared bus connection goes away, which the
        // tests do on purpose.
        g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
        g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    }
    // The closed connection leaves GLib's cache from the main loop.
    support::runPending();
}

bool PrivateSessionBus::available(bool withKeyring) {
    support::GCharPtr bus(g_find_program_in_path("dbus-daemon"));
    support::GCharPtr keyring(g_find_program_in_path("gnome-keyring-daemon"));
    return bus && (!withKeyring || keyring);
}

PrivateSessionBus::PrivateSessionBus(bool withKeyring) {
    const std::string socket = dir_.path() + "/bus";
    const std::string config = dir_.path() + "/bus.conf";
    std::ofstream(config) << fmt::format(
        R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)",
        socket);
    address_ = "unix:path=" + socket;

    GErrorPtr error;
    const auto launcher =
        support::adoptGObject(g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
            G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE)));
    g_subprocess_launcher_set_child_setup(launcher.get(), &ownSession, nullptr, nullptr);
    bus_.reset(g_subprocess_launcher_spawn(launcher.get(), error.out(), "dbus-daemon",
                                           "--config-file", config.c_str(), "--nofork",
                                           "--nopidfile", nullptr),
               kAdopt);
    if (!bus_) {
        problem_ = "dbus-daemon did not start: " + support::errorMessage(error);
        return;
    }
    if (!waitForName("org.freedesktop.DBus")) {
        problem_ = "the private bus did not answer";
        return;
    }

    if (const char* previous = g_getenv("DBUS_SESSION_BUS_ADDRESS")) {
        previousAddress_ = previous;
    }
    dropSessionBusConnection();
    g_setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
    if (!withKeyring) {
        return;
    }

    if (!startKeyring(true)) {
        return;
    }
}

bool PrivateSessionBus::startKeyring(bool unlock) {
    const std::string home = dir_.path() + "/home";
    const std::string runtime = dir_.path() + "/run";
    g_mkdir_with_parents(home.c_str(), 0700);
    g_mkdir_with_parents(runtime.c_str(), 0700);
    const auto launcher =
        support::adoptGObject(g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
            G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
            G_SUBPROCESS_FLAGS_STDERR_SILENCE)));
    g_subprocess_launcher_set_child_setup(launcher.get(), &ownSession, nullptr, nullptr);
    g_subprocess_launcher_setenv(launcher.get(), "HOME", home.c_str(), TRUE);
    g_subprocess_launcher_setenv(launcher.get(), "XDG_RUNTIME_DIR", runtime.c_str(), TRUE);
    g_subprocess_launcher_setenv(launcher.get(), "DBUS_SESSION_BUS_ADDRESS", address_.c_str(),
                                 TRUE);
    GErrorPtr error;
    if (unlock) {
        keyring_.reset(g_subprocess_launcher_spawn(launcher.get(), error.out(),
                                                   "gnome-keyring-daemon", "--foreground",
                                                   "--unlock", "--components=secrets", nullptr),
                       kAdopt);
    } else {
        keyring_.reset(g_subprocess_launcher_spawn(launcher.get(), error.out(),
                                                   "gnome-keyring-daemon", "--foreground",
                                                   "--components=secrets", nullptr),
                       kAdopt);
    }
    if (!keyring_) {
        problem_ = "gnome-keyring-daemon did not start: " + support::errorMessage(error);
        return false;
    }
    // --unlock reads the password of the login keyring from standard input, up to its end.
    GOutputStream* input = g_subprocess_get_stdin_pipe(keyring_.get());
    if (unlock) {
        const char password[] = "test-password";
        g_output_stream_write_all(input, password, sizeof password - 1, nullptr, nullptr, nullptr);
    }
    g_output_stream_close(input, nullptr, nullptr);
    if (!waitForName("org.freedesktop.secrets")) {
        problem_ = "gnome-keyring-daemon did not take its name on the bus";
        return false;
    }
    return true;
}

bool PrivateSessionBus::restartKeyringLocked() {
    dropSessionBusConnection();
    if (keyring_) {
        g_subprocess_send_signal(keyring_.get(), SIGTERM);
        g_subprocess_wait(keyring_.get(), nullptr, nullptr);
        keyring_.reset();
    }
    // The name leaves the bus as the process goes; wait until it has.
    for (int i = 0; i < 250 && waitForName("org.freedesktop.secrets", 0); ++i) {
        g_usleep(20'000);
    }
    return startKeyring(false);
}

PrivateSessionBus::~PrivateSessionBus() {
    dropSessionBusConnection();
    for (GObjectPtr<GSubprocess>* process : {&keyring_, &bus_}) {
        if (*process) {
            g_subprocess_send_signal(process->get(), SIGTERM);
            g_subprocess_wait(process->get(), nullptr, nullptr);
        }
    }
    if (previousAddress_) {
        g_setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), TRUE);
    } else {
        g_unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

bool PrivateSessionBus::waitForName(const char* name, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    do {
        GObjectPtr<GDBusConnection> connection(
            g_dbus_connection_new_for_address_sync(
                address_.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr),
            kAdopt);
        if (connection) {
            support::GVariantPtr reply(
                g_dbus_connection_call_sync(
                    connection.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                    G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr),
                kAdopt);
            g_dbus_connection_close_sync(connection.get(), nullptr, nullptr);
            gboolean owned = FALSE;
            if (reply) {
                g_variant_get(reply.get(), "(b)", &owned);
            }
            if (owned) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace ostral::supabase::testing
