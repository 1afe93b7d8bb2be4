// Version texts from the backend's floor and release rows: whatever parses prints back to a
// text that parses to the same version.
#include "FuzzCheck.h"

#include <OstralShellKit/ShellVersion.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto version = ShellVersion::parse(text)) {
        FUZZ_CHECK(version->major >= 0 && version->minor >= 0 && version->patch >= 0);
        FUZZ_CHECK(ShellVersion::parse(version->text()) == version);
    }
    return 0;
}
