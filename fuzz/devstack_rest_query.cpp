// The local backend's readers of request text: query strings with filters, select and order
// lists, Prefer headers and bearer tokens. Whatever the input, they answer with a value or a
// parse error; quoted identifiers stay one identifier, and base64url round-trips.
#include "FuzzCheck.h"

#include <Jwt.h>
#include <RestQuery.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// A quoted identifier is one token: it starts and ends with a quote and every inner quote is
// doubled.
bool isOneIdentifier(const std::string& quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
        return false;
    }
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted[i] == '"') {
            if (quoted[i + 1] != '"' || i + 2 >= quoted.size()) {
                return false;
            }
            ++i;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ostral::devstack;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // First line: Prefer header values separated by '|'; the rest: a query string.
    const auto newline = input.find('\n');
    const std::string_view prefer = input.substr(0, newline);
    const std::string_view query =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    std::vector<std::string> headers;
    std::size_t start = 0;
    while (start <= prefer.size()) {
        auto bar = prefer.find('|', start);
        if (bar == std::string_view::npos) {
            bar = prefer.size();
        }
        headers.emplace_back(prefer.substr(start, bar - start));
        start = bar + 1;
    }
    (void)parsePreferences(headers);

    const auto params = parseQueryString(query);
    if (auto table = parseTableQuery(params)) {
        for (const auto& filter : table->filters) {
            FUZZ_CHECK(isOneIdentifier(quoteIdentifier(filter.column)));
            FUZZ_CHECK(filter.op == FilterOperator::in || filter.values.size() == 1);
        }
        if (table->select) {
            for (const auto& item : *table->select) {
                FUZZ_CHECK(!item.column.empty());
                FUZZ_CHECK(isOneIdentifier(quoteIdentifier(item.column)));
            }
        }
        FUZZ_CHECK(!table->limit || *table->limit >= 0);
        FUZZ_CHECK(!table->offset || *table->offset >= 0);
    } else {
        FUZZ_CHECK(!table.error().message.empty());
    }
    for (const auto& [name, value] : params) {
        (void)parseFilter(name, value);
        (void)parseSelect(value);
        (void)parseOrder(value);
        (void)parseColumnList(value);
        (void)parseCount(value);
    }

    const std::string text(input);
    if (const auto decoded = base64UrlDecode(text)) {
        FUZZ_CHECK(base64UrlEncode(*decoded) == text);
    }
    FUZZ_CHECK(base64UrlDecode(base64UrlEncode(text)) == text);
    (void)Jwt::verify(text, "fuzz-secret", 1800000000);
    return 0;
}
