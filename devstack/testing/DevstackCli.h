#pragma once

#include "DevstackEnv.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostral::devstack {

// What one run of the devstack command printed and how it ended.
struct CommandResult {
    int exitCode = -1;          // -1 when the command could not be run or did not exit normally
    std::string standardOutput; // what it printed for callers (ids, rows)
    std::string standardError;  // its messages
    bool ok() const { return exitCode == 0; }
};

// The devstack command of this source tree, or the one named by OSTRAL_DEVSTACK_SCRIPT.
std::string devstackScriptPath();

// Runs `devstack <args[0]> --dir <env's dir> <args[1..]>` and waits for it.
CommandResult runDevstack(const DevstackEnv& env, const std::vector<std::string>& args);

// A staff account made for one test.
struct TestUser {
    std::string id; // lower-case UUID text
    std::string email;
    std::string password;
};

struct TestUserOptions {
    std::optional<std::string> portalRole = "staff"; // nullopt: an account without a role
    std::optional<std::string> lines;                // "recruiting,test"; nullopt: no prefs row
};

// Adds an account with a unique email that starts with `prefix` through the command line.
// nullopt when the command failed; `error` then holds its message.
std::optional<TestUser> makeUser(const DevstackEnv& env, std::string_view prefix,
                                 const TestUserOptions& options = {}, std::string* error = nullptr);

// A UUID in lower-case text from the system's random source, for ids and unique names.
std::string randomUuid();

} // namespace ostral::devstack
