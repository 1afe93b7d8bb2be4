#include "DevstackEnv.h"

#include <cstdlib>
#include <fstream>

namespace ostral::devstack {

std::optional<DevstackEnv> DevstackEnv::load() {
    const char* path = std::getenv("OSTRAL_DEVSTACK_ENV");
    if (path == nullptr || *path == '\0') {
        return std::nullopt;
    }
    return loadFile(path);
}

std::optional<DevstackEnv> DevstackEnv::loadFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        return std::nullopt;
    }
    DevstackEnv env;
    std::string line;
    while (std::getline(file, line)) {
        const auto equals = line.find('=');
        if (line.empty() || line.front() == '#' || equals == std::string::npos) {
            continue;
        }
        env.values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return env;
}

std::string DevstackEnv::get(const std::string& key) const {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

} // namespace ostral::devstack
