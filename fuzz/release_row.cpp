// A published release row, and the floor decision over it.
#include "FuzzCheck.h"

#include <OstralShellKit/MacRelease.h>
#include <OstralShellKit/UpdateFloor.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto release = MacRelease::decode(text);
    if (!release) {
        (void)release.error().description();
        return 0;
    }
    const ShellVersion running{1, 4, 0};
    const auto required = UpdateFloor::requiredVersion(running, release->version, {*release});
    FUZZ_CHECK(!required || running < *required);
    (void)UpdateFloor::isNewer(running, *release);
    return 0;
}
