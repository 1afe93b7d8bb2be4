// Live-call rows as the realtime feed delivers them: JSON text decoded directly, and the same
// object handed over as a change record, which must give the same call.
#include "FuzzCheck.h"

#include <OstralShellKit/LiveCall.h>
#include <OstralShellKit/PhoneFormat.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto json = decode::parse(text);
    if (!json) {
        FUZZ_CHECK(!LiveCall::decode(text));
        return 0;
    }
    auto call = LiveCall::decode(*json);
    if (json->is_object()) {
        std::map<std::string, Json> record;
        for (const auto& [key, value] : json->items()) {
            record.emplace(key, value);
        }
        auto fromRecord = LiveCall::fromRecord(record);
        FUZZ_CHECK(fromRecord.has_value() == call.hasValue());
        FUZZ_CHECK(!fromRecord || *fromRecord == *call);
    }
    if (call) {
        (void)call->displayName();
        if (auto path = call->portalPath()) {
            for (char c : *path) {
                FUZZ_CHECK(!(c >= 'A' && c <= 'F'));
            }
        }
        (void)PhoneFormat::display(call->callerNumber);
    } else {
        (void)call.error().description();
    }
    return 0;
}
