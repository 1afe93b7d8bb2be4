// The caller's context returned by the backend for one call.
#include <OstralShellKit/CallContext.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto context = ostral::CallContext::decode(text);
    if (!context) {
        (void)context.error().description();
    }
    return 0;
}
