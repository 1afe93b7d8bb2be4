#include "MakeError.h"

#include <Supabase/SessionStore.h>
#include <Support/Awaitables.h>
#include <Support/Log.h>

#include <fmt/format.h>
#include <glib/gstdio.h>
#include <libsecret/secret.h>

#include <cerrno>
#include <cstring>

namespace ostral::supabase {

using support::GErrorPtr;
using support::GObjectPtr;
using support::kAdopt;
using support::Promise;
using support::Task;

namespace {

Error storeError(std::string message) {
    return makeError(Error::Kind::transport, std::move(message));
}

Error storeError(const GErrorPtr& error) {
    return storeError(support::errorMessage(error));
}

} // namespace

// --- memory ---

Task<Result<std::optional<std::string>>> MemorySessionStore::load(std::string key) {
    const auto found = values.find(key);
    co_return found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
}

Task<Result<void>> MemorySessionStore::store(std::string key, std::string value) {
    values[std::move(key)] = std::move(value);
    co_return Result<void>();
}

Task<Result<void>> MemorySessionStore::remove(std::string key) {
    values.erase(key);
    co_return Result<void>();
}

// --- file ---

FileSessionStore::FileSessionStore(std::string directory)
    : directory_(std::move(directory)) {}

std::string FileSessionStore::defaultDirectory() {
    const char* state = g_getenv("XDG_STATE_HOME");
    if (state != nullptr && g_path_is_absolute(state)) {
        return std::string(state) + "/ostral-admin";
    }
    return std::string(g_get_home_dir()) + "/.local/state/ostral-admin";
}

std::string FileSessionStore::pathFor(const std::string& key) const {
    std::string name;
    for (const char c : key) {
        if (g_ascii_isalnum(c) || c == '-' || c == '_') {
            name += c;
        } else {
            name += fmt::format("%{:02X}", static_cast<unsigned char>(c));
        }
    }
    return directory_ + "/" + name + ".json";
}

Task<Result<std::optional<std::string>>> FileSessionStore::load(std::string key) {
    // A session is a few kilobytes; anything far larger is not ours to read into memory.
    constexpr goffset kMaxFileBytes = goffset{1024} * 1024;
    const std::string path = pathFor(key);
    GStatBuf info;
    if (g_stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            co_return std::optional<std::string>();
        }
        co_return storeError(fmt::format("Cannot read {}: {}", path, g_strerror(errno)));
    }
    if (info.st_size > kMaxFileBytes) {
        co_return storeError(fmt::format("{} is too large to be a session", path));
    }
    support::GCharPtr contents;
    gsize length = 0;
    GErrorPtr error;
    if (!g_file_get_contents(path.c_str(), contents.out(), &length, error.out())) {
        if (g_error_matches(error.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT)) {
            co_return std::optional<std::string>();
        }
        co_return storeError(error);
    }
    co_return std::optional<std::string>(std::string(contents.get(), length));
}

Task<Result<void>> FileSessionStore::store(std::string key, std::string value) {
    if (g_mkdir_with_parents(directory_.c_str(), 0700) != 0 ||
        g_chmod(directory_.c_str(), 0700) != 0) {
        co_return storeError(fmt::format("Cannot create {}: {}", directory_, g_strerror(errno)));
    }
    const std::string path = pathFor(key);
    GErrorPtr error;
    // CONSISTENT writes a temporary file beside the target (created with the given mode) and
    // renames it over the target.
    if (!g_file_set_contents_full(path.c_str(), value.data(), static_cast<gssize>(value.size()),
                                  G_FILE_SET_CONTENTS_CONSISTENT, 0600, error.out())) {
        co_return storeError(error);
    }
    co_return Result<void>();
}

Task<Result<void>> FileSessionStore::remove(std::string key) {
    const std::string path = pathFor(key);
    if (g_unlink(path.c_str()) != 0 && errno != ENOENT) {
        co_return storeError(fmt::format("Cannot remove {}: {}", path, g_strerror(errno)));
    }
    co_return Result<void>();
}

// --- Secret Service ---

namespace {

const SecretSchema* sessionSchema() {
    static const SecretSchema* const schema =
        secret_schema_new("com.ostral.admin.Session", SECRET_SCHEMA_NONE, "key",
                          SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
    return schema;
}

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using AttributesPtr = support::UniqueCPtr<GHashTable, HashTableUnref>;

AttributesPtr attributesFor(const std::string& key) {
    return AttributesPtr(secret_attributes_build(sessionSchema(), "key", key.c_str(), nullptr));
}

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = support::UniqueCPtr<SecretValue, SecretValueUnref>;

} // namespace

struct SecretServiceSessionStore::State {
    GObjectPtr<SecretService> service;
    std::optional<Promise<Result<void>>> opened;
};

namespace {

Task<Result<void>> connectAndUnlock(GObjectPtr<SecretService>& service) {
    GErrorPtr error;
    const GObjectPtr<GAsyncResult> got = co_await support::gioAsync(
        [](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            secret_service_get(static_cast<SecretServiceFlags>(SECRET_SERVICE_OPEN_SESSION |
                                                               SECRET_SERVICE_LOAD_COLLECTIONS),
                               cancellable, callback, userData);
        });
    service.reset(secret_service_get_finish(got.get(), error.out()), kAdopt);
    if (!service) {
        co_return storeError(error);
    }
    const GObjectPtr<GAsyncResult> found = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            secret_collection_for_alias(service.get(), SECRET_COLLECTION_DEFAULT,
                                        SECRET_COLLECTION_NONE, cancellable, callback, userData);
        });
    GObjectPtr<SecretCollection> collection(
        secret_collection_for_alias_finish(found.get(), error.out()), kAdopt);
    if (!collection) {
        co_return storeError(error ? support::errorMessage(error)
                                   : std::string("The Secret Service has no default collection"));
    }
    if (!secret_collection_get_locked(collection.get())) {
        co_return Result<void>();
    }
    GList objects{collection.get(), nullptr, nullptr};
    const GObjectPtr<GAsyncResult> unlocked = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            secret_service_unlock(service.get(), &objects, cancellable, callback, userData);
        });
    GList* unlockedObjects = nullptr;
    const gint count =
        secret_service_unlock_finish(service.get(), unlocked.get(), &unlockedObjects, error.out());
    g_list_free_full(unlockedObjects, g_object_unref);
    if (count < 1) {
        co_return storeError(error ? support::errorMessage(error)
                                   : std::string("The default keyring stays locked"));
    }
    co_return Result<void>();
}

} // namespace

SecretServiceSessionStore::SecretServiceSessionStore()
    : state_(std::make_shared<State>()) {}

SecretServiceSessionStore::~SecretServiceSessionStore() = default;

namespace {

Task<void> openService(std::shared_ptr<SecretServiceSessionStore::State> state,
                       Promise<Result<void>> done) {
    GObjectPtr<SecretService> service;
    Result<void> outcome = co_await connectAndUnlock(service);
    if (outcome) {
        state->service = std::move(service);
    }
    done.set(std::move(outcome));
}

} // namespace

Task<Result<void>> SecretServiceSessionStore::open() {
    const std::shared_ptr<State> state = state_;
    if (!state->opened) {
        state->opened.emplace();
        // Spawned on its own, so that a caller that gives up does not leave later callers
        // waiting for an answer that never comes.
        support::spawn(openService(state, *state->opened));
    }
    co_return co_await state->opened->value();
}

Task<Result<std::optional<std::string>>> SecretServiceSessionStore::load(std::string key) {
    const std::shared_ptr<State> state = state_;
    Result<void> opened = co_await open();
    if (!opened) {
        co_return std::move(opened).error();
    }
    const AttributesPtr attributes = attributesFor(key);
    const GObjectPtr<GAsyncResult> result = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            secret_service_lookup(state->service.get(), sessionSchema(), attributes.get(),
                                  cancellable, callback, userData);
        });
    GErrorPtr error;
    const SecretValuePtr value(
        secret_service_lookup_finish(state->service.get(), result.get(), error.out()));
    if (error) {
        co_return storeError(error);
    }
    if (!value) {
        co_return std::optional<std::string>();
    }
    gsize length = 0;
    const gchar* data = secret_value_get(value.get(), &length);
    co_return std::optional<std::string>(std::string(data, length));
}

Task<Result<void>> SecretServiceSessionStore::store(std::string key, std::string value) {
    const std::shared_ptr<State> state = state_;
    Result<void> opened = co_await open();
    if (!opened) {
        co_return opened;
    }
    const AttributesPtr attributes = attributesFor(key);
    const SecretValuePtr secret(
        secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain"));
    const std::string label = fmt::format("Ostral Admin session ({})", key);
    const GObjectPtr<GAsyncResult> result = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            secret_service_store(state->service.get(), sessionSchema(), attributes.get(),
                                 SECRET_COLLECTION_DEFAULT, label.c_str(), secret.get(),
                                 cancellable, callback, userData);
        });
    GErrorPtr error;
    if (!secret_service_store_finish(state->service.get(), result.get(), error.out())) {
        co_return storeError(error);
    }
    co_return Result<void>();
}

Task<Result<void>> SecretServiceSessionStore::remove(std::string key) {
    const std::shared_ptr<State> state = state_;
    Result<void> opened = co_await open();
    if (!opened) {
        co_return opened;
    }
    const AttributesPtr attributes = attributesFor(key);
    const GObjectPtr<GAsyncResult> result = co_await support::gioAsync(
        [&](GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
            secret_service_clear(state->service.get(), sessionSchema(), attributes.get(),
                                 cancellable, callback, userData);
        });
    GErrorPtr error;
    // FALSE without an error means there was nothing to remove.
    if (!secret_service_clear_finish(state->service.get(), result.get(), error.out()) && error) {
        co_return storeError(error);
    }
    co_return Result<void>();
}

// --- default ---

DefaultSessionStore::DefaultSessionStore(std::shared_ptr<SecretServiceSessionStore> secrets,
                                         std::shared_ptr<FileSessionStore> files)
    : secrets_(std::move(secrets))
    , files_(std::move(files)) {}

namespace {

Task<void> chooseStore(std::shared_ptr<SecretServiceSessionStore> secrets,
                       std::shared_ptr<FileSessionStore> files,
                       Promise<std::shared_ptr<SessionStore>> done) {
    const Result<void> opened = co_await secrets->open();
    if (opened) {
        done.set(secrets);
        co_return;
    }
    support::Logger(support::kAppSubsystem, "session")
        .error("no Secret Service answers ({}); the session is kept in {} instead",
               opened.error().description(), files->directory());
    done.set(files);
}

} // namespace

Task<std::shared_ptr<SessionStore>> DefaultSessionStore::choose() {
    if (!choice_) {
        choice_.emplace();
        support::spawn(chooseStore(secrets_, files_, *choice_));
    }
    std::shared_ptr<SessionStore> store = co_await choice_->value();
    chosen_ = store.get();
    co_return store;
}

Task<Result<std::optional<std::string>>> DefaultSessionStore::load(std::string key) {
    const std::shared_ptr<SessionStore> store = co_await choose();
    co_return co_await store->load(std::move(key));
}

Task<Result<void>> DefaultSessionStore::store(std::string key, std::string value) {
    const std::shared_ptr<SessionStore> store = co_await choose();
    co_return co_await store->store(std::move(key), std::move(value));
}

Task<Result<void>> DefaultSessionStore::remove(std::string key) {
    const std::shared_ptr<SessionStore> store = co_await choose();
    co_return co_await store->remove(std::move(key));
}

std::shared_ptr<SessionStore> makeDefaultSessionStore() {
    return std::make_shared<DefaultSessionStore>(
        std::make_shared<SecretServiceSessionStore>(),
        std::make_shared<FileSessionStore>(FileSessionStore::defaultDirectory()));
}

} // namespace ostral::supabase
