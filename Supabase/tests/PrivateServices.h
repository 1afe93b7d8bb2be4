#pragma once

#include <Support/GObjectPtr.h>

#include <gio/gio.h>

#include <optional>
#include <string>

namespace ostral::supabase::testing {

// A temporary directory, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A private D-Bus session bus without service activation (a name that nobody owns fails at
// once), and optionally gnome-keyring's Secret Service on it. While it lives, the process's
// session bus is this one: DBUS_SESSION_BUS_ADDRESS points at it and libsecret's cached
// connection is dropped on the way in and out.
class PrivateSessionBus {
public:
    // Whether dbus-daemon (and, for the keyring, gnome-keyring-daemon) can be found.
    static bool available(bool withKeyring);

    explicit PrivateSessionBus(bool withKeyring);
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    // Empty when the bus (or the keyring) did not come up; `problem()` says why.
    bool ready() const { return problem_.empty(); }
    const std::string& problem() const { return problem_; }
    const std::string& address() const { return address_; }

    // Stops the keyring and starts it again without unlocking it, as after a log-in that did
    // not unlock it: the login collection exists but stays locked.
    bool restartKeyringLocked();

private:
    bool startKeyring(bool unlock);
    // Whether `name` has an owner on the bus within `seconds` (0: asks once).
    bool waitForName(const char* name, int seconds = 10);

    TempDir dir_;
    std::string address_;
    std::optional<std::string> previousAddress_;
    std::string problem_;
    support::GObjectPtr<GSubprocess> bus_;
    support::GObjectPtr<GSubprocess> keyring_;
};

// Forgets the session bus connection that GLib and libsecret keep for the process.
void dropSessionBusConnection();

} // namespace ostral::supabase::testing
