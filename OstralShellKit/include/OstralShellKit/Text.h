#pragma once

#include <string_view>

namespace ostral::text {

// `text` without the spaces and tabs at either end: the tab and every Unicode space separator
// (U+0020, U+00A0, U+1680, U+2000 to U+200A, U+202F, U+205F, U+3000). Line breaks stay.
std::string_view trimSpacesAndTabs(std::string_view text);

bool isAsciiDigit(char c);

} // namespace ostral::text
