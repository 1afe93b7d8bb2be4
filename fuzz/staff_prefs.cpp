// A staff member's preference row, and the line-mode functions over it.
#include "FuzzCheck.h"

#include <OstralShellKit/ShellConfig.h>
#include <OstralShellKit/StaffShellPrefs.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto prefs = StaffShellPrefs::decode(text);
    if (!prefs) {
        (void)prefs.error().description();
        return 0;
    }
    for (const auto& [line, mode] : prefs->lineModes) {
        FUZZ_CHECK(mode != LineMode::ring);
    }
    const double volume = prefs->effectiveRingVolume();
    FUZZ_CHECK(volume >= 0.0 && volume <= 1.0);

    static const ShellConfig config = ShellConfig::standard();
    const auto lines = prefs->configuredLines(config);
    (void)prefs->combinedMode(lines, config);
    (void)prefs->choices(prefs->lines, config);
    (void)prefs->modeSummary(config);
    for (const auto& line : prefs->lines) {
        (void)prefs->effectiveMode(line, config);
    }
    const auto modes = prefs->settingMode(LineMode::ring, prefs->lines);
    for (const auto& line : prefs->lines) {
        FUZZ_CHECK(modes.find(line) == modes.end());
    }
    return 0;
}
