#pragma once

#include <Supabase/Error.h>
#include <Support/Promise.h>
#include <Support/Task.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

// Where the auth client keeps the session between launches: text values by key. Failures are
// errors of kind transport (the store could not be reached or written) with the system's
// message.
namespace ostral::supabase {

class SessionStore {
public:
    virtual ~SessionStore() = default;

    // The value under `key`; nullopt when there is none.
    virtual support::Task<Result<std::optional<std::string>>> load(std::string key) = 0;
    virtual support::Task<Result<void>> store(std::string key, std::string value) = 0;
    // Removing a key that holds nothing succeeds.
    virtual support::Task<Result<void>> remove(std::string key) = 0;
};

// Values in memory, for tests; shared by copies of the pointer only.
class MemorySessionStore final : public SessionStore {
public:
    support::Task<Result<std::optional<std::string>>> load(std::string key) override;
    support::Task<Result<void>> store(std::string key, std::string value) override;
    support::Task<Result<void>> remove(std::string key) override;

    std::map<std::string, std::string> values;
};

// One file per key in `directory` (created 0700 when missing), each written 0600 through a
// temporary file that is renamed over the old one, so a crash leaves the old value or the new
// one, never a mix. Key characters other than letters, digits, '-' and '_' are escaped in the
// file name.
class FileSessionStore final : public SessionStore {
public:
    explicit FileSessionStore(std::string directory);

    // $XDG_STATE_HOME/ostral-admin (~/.local/state/ostral-admin when the variable is unset).
    static std::string defaultDirectory();

    support::Task<Result<std::optional<std::string>>> load(std::string key) override;
    support::Task<Result<void>> store(std::string key, std::string value) override;
    support::Task<Result<void>> remove(std::string key) override;

    std::string pathFor(const std::string& key) const;
    const std::string& directory() const noexcept { return directory_; }

private:
    std::string directory_;
};

// The Secret Service (gnome-keyring, KWallet, KeePassXC) on the session bus, through libsecret:
// items of the schema "com.ostral.admin.Session" with the attribute "key", in the default
// collection.
class SecretServiceSessionStore final : public SessionStore {
public:
    SecretServiceSessionStore();
    ~SecretServiceSessionStore() override;

    // Connects to the service and makes sure the default collection exists and is unlocked
    // (asking the service to unlock it, which may prompt the user). Runs once; later calls get
    // the first outcome. Every other operation calls it first.
    support::Task<Result<void>> open();

    support::Task<Result<std::optional<std::string>>> load(std::string key) override;
    support::Task<Result<void>> store(std::string key, std::string value) override;
    support::Task<Result<void>> remove(std::string key) override;

    // The connection, shared with the tasks that outlive a call.
    struct State;

private:
    std::shared_ptr<State> state_;
};

// The Secret Service when one answers, otherwise the file store: the choice is made once, at
// the first operation, and a fallback is logged once as a warning.
class DefaultSessionStore final : public SessionStore {
public:
    DefaultSessionStore(std::shared_ptr<SecretServiceSessionStore> secrets,
                        std::shared_ptr<FileSessionStore> files);

    support::Task<Result<std::optional<std::string>>> load(std::string key) override;
    support::Task<Result<void>> store(std::string key, std::string value) override;
    support::Task<Result<void>> remove(std::string key) override;

    // The store in use; nullptr until the first operation has chosen.
    SessionStore* chosen() const noexcept { return chosen_; }

private:
    support::Task<std::shared_ptr<SessionStore>> choose();

    std::shared_ptr<SecretServiceSessionStore> secrets_;
    std::shared_ptr<FileSessionStore> files_;
    SessionStore* chosen_ = nullptr;
    std::optional<support::Promise<std::shared_ptr<SessionStore>>> choice_;
};

// The store the application uses: the Secret Service, falling back to the file store in
// FileSessionStore::defaultDirectory().
std::shared_ptr<SessionStore> makeDefaultSessionStore();

} // namespace ostral::supabase
