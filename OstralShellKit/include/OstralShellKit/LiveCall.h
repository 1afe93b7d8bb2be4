#pragma once

#include <OstralShellKit/Date.h>
#include <OstralShellKit/Decoding.h>
#include <OstralShellKit/Uuid.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostral {

// One row of the backend table `live_calls`: a call ringing, or just rung, on a company line.
struct LiveCall {
    Uuid id;
    Date createdAt;
    std::string line;
    std::string callerNumber;
    std::optional<Uuid> candidateId;
    std::optional<std::string> candidateName;
    std::optional<Uuid> fleetCardId;
    std::optional<std::string> fleetCardName;
    std::optional<Uuid> maintenanceCardId;
    std::optional<std::string> maintenanceCardName;
    std::optional<Date> endedAt;

    bool operator==(const LiveCall&) const = default;

    // Reads a row. A "created_at" that is not a backend timestamp fails as `dataCorrupted` with
    // the raw text; an "ended_at" that is not one gives no end time and is no error.
    static decode::Result<LiveCall> decode(const Json& value);
    static decode::Result<LiveCall> decode(std::string_view jsonText);

    // A call from a realtime change record (column name -> JSON value); none when the record
    // lacks a required column or holds an unreadable one. Why is not reported.
    static std::optional<LiveCall> fromRecord(const std::map<std::string, Json>& record);

    // The first of the candidate, fleet card and maintenance card names that is present and
    // not empty.
    std::optional<std::string> displayName() const;

    // The portal path of the record the call matched, ids in lower case.
    std::optional<std::string> portalPath() const;
};

} // namespace ostral
