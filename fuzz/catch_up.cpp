// The catch-up response: a JSON array of ringing calls with their ages.
#include <OstralShellKit/CatchUpCall.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto calls = ostral::CatchUpCall::decodeList(text);
    if (!calls) {
        (void)calls.error().description();
    }
    return 0;
}
