#pragma once

#include <OstralShellKit/Decoding.h>

#include <string>
#include <string_view>
#include <vector>

namespace ostral {

// One published release (a row of `app_releases`). The version stays text: a row whose version
// does not parse is still a release, and the floor decision skips it.
struct MacRelease {
    std::string channel;
    std::string version;
    bool mandatory = false;

    bool operator==(const MacRelease&) const = default;

    // All three keys are required, with exactly these JSON types: string, string, boolean.
    static decode::Result<MacRelease> decode(const Json& value);
    static decode::Result<MacRelease> decode(std::string_view jsonText);

    // An array of rows; one bad row fails the whole list, and the error names it ("[1].version").
    static decode::Result<std::vector<MacRelease>> decodeList(const Json& value);
    static decode::Result<std::vector<MacRelease>> decodeList(std::string_view jsonText);
};

} // namespace ostral
