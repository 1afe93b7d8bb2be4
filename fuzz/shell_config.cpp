// The rows of the company-wide shell configuration, and what the call registry makes of them.
#include "FuzzCheck.h"

#include <OstralShellKit/CallRegistry.h>
#include <OstralShellKit/ShellConfig.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto config = ShellConfig::fromRows(text);
    if (!config) {
        (void)config.error().description();
        return 0;
    }
    FUZZ_CHECK(config->idleLock.minutes >= 1 && config->idleLock.minutes <= 240);

    CallRegistry registry;
    std::set<std::string> lines;
    const Date now = dateFromUnixSeconds(1714571110);
    std::uint8_t serial = 0;
    for (const auto& [key, policy] : config->lines) {
        Uuid::Bytes id{};
        id[15] = ++serial;
        LiveCall call{Uuid(id), now, key, "+15551234567", {}, {}, {}, {}, {}, {}, {}};
        registry.insert(call, now, 0);
        lines.insert(key);
    }
    auto output = registry.output(*config, lines, {});
    FUZZ_CHECK(output.panel.size() <= registry.active.size());
    FUZZ_CHECK(output.notify.size() <= registry.active.size());
    return 0;
}
