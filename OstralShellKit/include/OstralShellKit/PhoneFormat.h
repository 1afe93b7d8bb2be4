#pragma once

#include <string>
#include <string_view>

namespace ostral::PhoneFormat {

// A North American E.164 number ("+1" and exactly ten ASCII digits) as "(555) 123-4567"; any
// other text, the empty one included, unchanged.
std::string display(std::string_view number);

} // namespace ostral::PhoneFormat
