#pragma once

#include <OstralShellKit/Date.h>

#include <optional>
#include <string_view>

// Reading the backend's timestamps. PostgreSQL's text form (2024-05-01 13:45:10.123456+00) and
// the REST interface's ISO 8601 form (2024-05-01T13:45:10.123456+00:00) are both accepted, to the
// millisecond; anything else gives no date.
namespace ostral::SupabaseDate {

std::optional<Date> parse(std::string_view text);

} // namespace ostral::SupabaseDate
