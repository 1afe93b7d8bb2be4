// Backend timestamps: whatever parses, written back in the shell's own form, parses to the same
// second.
#include "FuzzCheck.h"

#include <OstralShellKit/SupabaseDate.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto date = SupabaseDate::parse(text)) {
        const auto written = isoTimestamp(*date);
        if (!written.empty() && written.size() == 20) {
            const auto again = SupabaseDate::parse(written);
            FUZZ_CHECK(again.has_value());
            FUZZ_CHECK(*again == std::chrono::floor<std::chrono::seconds>(*date));
        }
    }
    return 0;
}
