#include "DevstackCli.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace ostral::devstack {

namespace {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
    void operator()(gchar* text) const { g_free(text); }
};

std::string trimmed(std::string text) {
    const auto notSpace = [](unsigned char c) { return std::isspace(c) == 0; };
    text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
    text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
    return text;
}

// Email addresses allow more, but a prefix made of these keeps the address obviously valid.
std::string emailSafe(std::string_view prefix) {
    std::string safe;
    for (const char c : prefix) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '.' || c == '-' || c == '_') {
            safe += static_cast<char>(std::tolower(byte));
        }
    }
    return safe.empty() ? std::string("user") : safe;
}

} // namespace

std::string devstackScriptPath() {
    if (const char* path = std::getenv("OSTRAL_DEVSTACK_SCRIPT");
        path != nullptr && *path != '\0') {
        return path;
    }
    // This file lives in devstack/testing/, next to the command.
    return (std::filesystem::path(__FILE__).parent_path().parent_path() / "devstack").string();
}

CommandResult runDevstack(const DevstackEnv& env, const std::vector<std::string>& args) {
    CommandResult result;
    const std::string script = devstackScriptPath();
    const std::string dir = env.get("OSTRAL_DEVSTACK_DIR");

    std::vector<const gchar*> argv{script.c_str()};
    for (std::size_t i = 0; i < args.size(); ++i) {
        argv.push_back(args[i].c_str());
        if (i == 0 && !dir.empty()) {
            argv.push_back("--dir");
            argv.push_back(dir.c_str());
        }
    }
    argv.push_back(nullptr);

    GError* rawError = nullptr;
    std::unique_ptr<GSubprocess, GObjectUnref> process(
        g_subprocess_newv(argv.data(),
                          static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                        G_SUBPROCESS_FLAGS_STDERR_PIPE),
                          &rawError));
    std::unique_ptr<GError, GErrorFree> error(rawError);
    if (!process) {
        result.standardError = error ? error->message : "could not start " + script;
        return result;
    }
    gchar* rawOut = nullptr;
    gchar* rawErr = nullptr;
    rawError = nullptr;
    const gboolean finished =
        g_subprocess_communicate_utf8(process.get(), nullptr, nullptr, &rawOut, &rawErr, &rawError);
    std::unique_ptr<gchar, GFree> out(rawOut);
    std::unique_ptr<gchar, GFree> err(rawErr);
    error.reset(rawError);
    result.standardOutput = out ? out.get() : "";
    result.standardError = err ? err.get() : "";
    if (!finished) {
        result.standardError += error ? error->message : "the command's output could not be read";
        g_subprocess_force_exit(process.get());
        g_subprocess_wait(process.get(), nullptr, nullptr);
        return result;
    }
    if (g_subprocess_get_if_exited(process.get()) != FALSE) {
        result.exitCode = g_subprocess_get_exit_status(process.get());
    }
    return result;
}

std::optional<TestUser> makeUser(const DevstackEnv& env, std::string_view prefix,
                                 const TestUserOptions& options, std::string* error) {
    TestUser user;
    user.email = emailSafe(prefix) + "-" + randomUuid().substr(0, 12) + "@ostral.test";
    user.password = "ostral-test-password";

    std::vector<std::string> args{"add-user", user.email, user.password, "--name",
                                  std::string(prefix)};
    if (options.portalRole) {
        args.insert(args.end(), {"--role", *options.portalRole});
    } else {
        args.emplace_back("--no-role");
    }
    if (options.lines) {
        args.insert(args.end(), {"--lines", *options.lines});
    }
    const CommandResult result = runDevstack(env, args);
    user.id = trimmed(result.standardOutput);
    if (!result.ok() || user.id.size() != 36) {
        if (error != nullptr) {
            *error = "devstack add-user failed (exit " + std::to_string(result.exitCode) +
                     "): " + result.standardError;
        }
        return std::nullopt;
    }
    return user;
}

std::string randomUuid() {
    std::unique_ptr<gchar, GFree> uuid(g_uuid_string_random());
    return uuid.get();
}

} // namespace ostral::devstack
