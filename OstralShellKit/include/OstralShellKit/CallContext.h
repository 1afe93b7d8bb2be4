#pragma once

#include <OstralShellKit/Decoding.h>

#include <string>
#include <string_view>
#include <vector>

namespace ostral {

// One fact about a caller, as the backend words it ("Candidate", "Jane Doe").
struct CallContextField {
    std::string label;
    std::string value;

    bool operator==(const CallContextField&) const = default;

    static decode::Result<CallContextField> decode(const Json& value);
};

// What the backend knows about the caller of one call, in the backend's order.
struct CallContext {
    std::vector<CallContextField> fields;

    bool operator==(const CallContext&) const = default;

    static decode::Result<CallContext> decode(const Json& value);
    static decode::Result<CallContext> decode(std::string_view jsonText);
};

} // namespace ostral
