#pragma once

#include <OstralShellKit/Decoding.h>
#include <OstralShellKit/LiveCall.h>

#include <string_view>
#include <vector>

namespace ostral {

// A call that the catch-up query reports as still ringing, with the age the backend computed for
// it. The row is the live call's own object with "age_seconds" beside its columns.
struct CatchUpCall {
    LiveCall call;
    double ageSeconds = 0;

    bool operator==(const CatchUpCall&) const = default;

    static decode::Result<CatchUpCall> decode(const Json& value);

    // The catch-up answer: an array of rows. One bad row fails the whole answer, and the error
    // names it ("[2].line").
    static decode::Result<std::vector<CatchUpCall>> decodeList(const Json& value);
    static decode::Result<std::vector<CatchUpCall>> decodeList(std::string_view jsonText);
};

} // namespace ostral
