#pragma once

#include <map>
#include <optional>
#include <string>

namespace ostral::devstack {

// The running local backend as its start script describes it in `<run dir>/env`
// (KEY=VALUE lines). Tests find that file through the OSTRAL_DEVSTACK_ENV variable.
struct DevstackEnv {
    std::map<std::string, std::string> values;

    // Reads the file named by OSTRAL_DEVSTACK_ENV; nullopt when unset or unreadable.
    static std::optional<DevstackEnv> load();
    static std::optional<DevstackEnv> loadFile(const std::string& path);

    // The value of `key`, or "" when absent.
    std::string get(const std::string& key) const;
};

} // namespace ostral::devstack
