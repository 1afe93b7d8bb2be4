#include "RestQuery.h"

#include <cctype>
#include <limits>

namespace ostral::devstack {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string decodeComponent(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() + 0 && hexDigit(text[i + 1]) >= 0 &&
                   hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

Failure<RestParseError> failure(std::string_view what, std::string_view text, std::size_t column,
                                std::string details) {
    return Failure{RestParseError{"\"failed to parse " + std::string(what) + " (" +
                                      std::string(text) + ")\" (line 1, column " +
                                      std::to_string(column + 1) + ")",
                                  std::move(details)}};
}

std::string shown(char c) {
    if (static_cast<unsigned char>(c) < 0x20) {
        return "control character";
    }
    return std::string("\"") + c + "\"";
}

// Characters that end a plain name in select, order and column lists.
bool isNameDelimiter(char c) {
    return c == ',' || c == '.' || c == ':' || c == '(' || c == ')' || c == '"' || c == '\0' ||
           std::isspace(static_cast<unsigned char>(c)) || c == '-' || c == '>' || c == '!';
}

// Reads a name at `pos`: either "quoted" (with "" or \" for a quote) or plain characters.
std::optional<std::string> readName(std::string_view text, std::size_t& pos) {
    if (pos < text.size() && text[pos] == '"') {
        std::string name;
        ++pos;
        while (pos < text.size()) {
            const char c = text[pos];
            if (c == '\\' && pos + 1 < text.size()) {
                name += text[pos + 1];
                pos += 2;
            } else if (c == '"') {
                if (pos + 1 < text.size() && text[pos + 1] == '"') {
                    name += '"';
                    pos += 2;
                } else {
                    ++pos;
                    if (name.empty()) {
                        return std::nullopt;
                    }
                    return name;
                }
            } else {
                name += c;
                ++pos;
            }
        }
        return std::nullopt;
    }
    const std::size_t start = pos;
    while (pos < text.size() && !isNameDelimiter(text[pos])) {
        ++pos;
    }
    if (pos == start) {
        return std::nullopt;
    }
    return std::string(text.substr(start, pos - start));
}

std::vector<std::string_view> splitTopLevel(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == '(') {
            ++depth;
        } else if (!quoted && c == ')') {
            --depth;
        } else if (!quoted && depth == 0 && c == separator) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::optional<FilterOperator> operatorNamed(std::string_view name) {
    static constexpr std::pair<std::string_view, FilterOperator> operators[] = {
        {"eq", FilterOperator::eq},     {"neq", FilterOperator::neq},
        {"gt", FilterOperator::gt},     {"gte", FilterOperator::gte},
        {"lt", FilterOperator::lt},     {"lte", FilterOperator::lte},
        {"like", FilterOperator::like}, {"ilike", FilterOperator::ilike},
        {"is", FilterOperator::is},     {"in", FilterOperator::in},
    };
    for (const auto& [text, op] : operators) {
        if (text == name) {
            return op;
        }
    }
    return std::nullopt;
}

Outcome<std::vector<std::string>, RestParseError>
parseInList(std::string_view whole, std::size_t offset, std::string_view list) {
    if (list.size() < 2 || list.front() != '(' || list.back() != ')') {
        return failure("filter", whole, offset,
                       "unexpected end of input expecting \"(\" and \")\"");
    }
    std::vector<std::string> values;
    const std::string_view inner = list.substr(1, list.size() - 2);
    if (inner.empty()) {
        return values;
    }
    std::size_t pos = 0;
    while (true) {
        std::string value;
        if (pos < inner.size() && inner[pos] == '"') {
            ++pos;
            bool closed = false;
            while (pos < inner.size()) {
                const char c = inner[pos];
                if (c == '\\' && pos + 1 < inner.size()) {
                    value += inner[pos + 1];
                    pos += 2;
                } else if (c == '"') {
                    ++pos;
                    closed = true;
                    break;
                } else {
                    value += c;
                    ++pos;
                }
            }
            if (!closed) {
                return failure("filter", whole, offset + 1 + pos,
                               "unexpected end of input expecting \"\\\"\"");
            }
            if (pos < inner.size() && inner[pos] != ',') {
                return failure("filter", whole, offset + 1 + pos,
                               "unexpected " + shown(inner[pos]) + " expecting \",\" or \")\"");
            }
        } else {
            while (pos < inner.size() && inner[pos] != ',') {
                if (inner[pos] == '(' || inner[pos] == ')' || inner[pos] == '"') {
                    return failure("filter", whole, offset + 1 + pos,
                                   "unexpected " + shown(inner[pos]) + " expecting \",\" or \")\"");
                }
                value += inner[pos];
                ++pos;
            }
        }
        values.push_back(std::move(value));
        if (pos >= inner.size()) {
            break;
        }
        ++pos; // the comma
    }
    return values;
}

} // namespace

QueryParams parseQueryString(std::string_view raw) {
    QueryParams params;
    std::size_t start = 0;
    while (start <= raw.size()) {
        auto end = raw.find('&', start);
        if (end == std::string_view::npos) {
            end = raw.size();
        }
        const auto piece = raw.substr(start, end - start);
        if (!piece.empty()) {
            const auto equals = piece.find('=');
            if (equals == std::string_view::npos) {
                params.emplace_back(decodeComponent(piece), std::string());
            } else {
                params.emplace_back(decodeComponent(piece.substr(0, equals)),
                                    decodeComponent(piece.substr(equals + 1)));
            }
        }
        start = end + 1;
    }
    return params;
}

Outcome<Filter, RestParseError> parseFilter(std::string_view column, std::string_view value) {
    Filter filter;
    filter.column = std::string(column);
    std::string_view rest = value;
    std::size_t offset = 0;
    if (rest.substr(0, 4) == "not.") {
        filter.negated = true;
        rest.remove_prefix(4);
        offset = 4;
    }
    const auto dot = rest.find('.');
    if (dot == std::string_view::npos) {
        std::size_t letters = 0;
        while (letters < rest.size() && std::isalpha(static_cast<unsigned char>(rest[letters]))) {
            ++letters;
        }
        return failure(
            "filter", value, offset + letters,
            letters < rest.size()
                ? "unexpected " + shown(rest[letters]) + " expecting \".\""
                : std::string("unexpected end of input expecting operator (eq, gt, ...)"));
    }
    const auto op = operatorNamed(rest.substr(0, dot));
    if (!op) {
        return failure("filter", value, offset,
                       "unknown operator \"" + std::string(rest.substr(0, dot)) + "\"");
    }
    filter.op = *op;
    const std::string_view operand = rest.substr(dot + 1);
    const std::size_t operandOffset = offset + dot + 1;
    switch (filter.op) {
    case FilterOperator::in: {
        auto values = parseInList(value, operandOffset, operand);
        if (!values) {
            return Failure{std::move(values).error()};
        }
        filter.values = std::move(values).value();
        break;
    }
    case FilterOperator::is: {
        const std::string word = lowerCase(operand);
        if (word != "null" && word != "not_null" && word != "true" && word != "false" &&
            word != "unknown") {
            return failure("filter", value, operandOffset,
                           "unexpected \"" + std::string(operand.substr(0, 1)) +
                               "\" expecting null or trilean value (unknown, true, false)");
        }
        filter.values.push_back(word);
        break;
    }
    case FilterOperator::like:
    case FilterOperator::ilike: {
        std::string pattern(operand);
        for (auto& c : pattern) {
            if (c == '*') {
                c = '%';
            }
        }
        filter.values.push_back(std::move(pattern));
        break;
    }
    default:
        filter.values.emplace_back(operand);
        break;
    }
    return filter;
}

Outcome<std::vector<SelectItem>, RestParseError> parseSelect(std::string_view text) {
    std::vector<SelectItem> items;
    if (trim(text).empty()) {
        items.push_back(SelectItem{"*", std::nullopt, std::nullopt});
        return items;
    }
    std::size_t base = 0;
    for (const auto part : splitTopLevel(text, ',')) {
        const std::string_view item = part;
        std::size_t pos = 0;
        while (pos < item.size() && std::isspace(static_cast<unsigned char>(item[pos]))) {
            ++pos;
        }
        SelectItem selected;
        if (pos < item.size() && item[pos] == '*') {
            selected.column = "*";
            ++pos;
        } else {
            auto first = readName(item, pos);
            if (!first) {
                return failure(
                    "select parameter", text, base + pos,
                    pos < item.size()
                        ? "unexpected " + shown(item[pos]) +
                              " expecting field name (* or [a..z0..9_$])"
                        : std::string(
                              "unexpected end of input expecting field name (* or [a..z0..9_$])"));
            }
            // `alias:column`, but not the `::` of a cast.
            if (pos < item.size() && item[pos] == ':' &&
                (pos + 1 >= item.size() || item[pos + 1] != ':')) {
                ++pos;
                selected.alias = std::move(first);
                first = readName(item, pos);
                if (!first) {
                    return failure(
                        "select parameter", text, base + pos,
                        "unexpected end of input expecting field name (* or [a..z0..9_$])");
                }
            }
            selected.column = std::move(*first);
            if (item.substr(pos, 2) == "::") {
                pos += 2;
                const std::size_t start = pos;
                while (pos < item.size() &&
                       (std::isalnum(static_cast<unsigned char>(item[pos])) || item[pos] == '_')) {
                    ++pos;
                }
                if (pos == start) {
                    return failure("select parameter", text, base + pos,
                                   "unexpected end of input expecting cast type");
                }
                selected.cast = std::string(item.substr(start, pos - start));
            }
        }
        while (pos < item.size() && std::isspace(static_cast<unsigned char>(item[pos]))) {
            ++pos;
        }
        if (pos < item.size()) {
            const char c = item[pos];
            return failure("select parameter", text, base + pos,
                           c == '('
                               ? std::string("embedded resources are not supported")
                               : "unexpected " + shown(c) + " expecting \",\" or end of input");
        }
        items.push_back(std::move(selected));
        base += part.size() + 1;
    }
    return items;
}

Outcome<std::vector<OrderTerm>, RestParseError> parseOrder(std::string_view text) {
    std::vector<OrderTerm> terms;
    std::size_t base = 0;
    for (const auto part : splitTopLevel(text, ',')) {
        std::size_t pos = 0;
        auto name = readName(part, pos);
        if (!name) {
            return failure("order", text, base + pos,
                           "unexpected end of input expecting field name");
        }
        OrderTerm term;
        term.column = std::move(*name);
        while (pos < part.size()) {
            if (part[pos] != '.') {
                return failure("order", text, base + pos,
                               "unexpected " + shown(part[pos]) + " expecting \".\" or \",\"");
            }
            ++pos;
            const std::size_t start = pos;
            while (pos < part.size() && part[pos] != '.') {
                ++pos;
            }
            const std::string_view word = part.substr(start, pos - start);
            if (word == "asc") {
                term.descending = false;
            } else if (word == "desc") {
                term.descending = true;
            } else if (word == "nullsfirst") {
                term.nullsFirst = true;
            } else if (word == "nullslast") {
                term.nullsFirst = false;
            } else {
                return failure(
                    "order", text, base + start,
                    "unexpected \"" + std::string(word) +
                        "\" expecting \"asc\", \"desc\", \"nullsfirst\" or \"nullslast\"");
            }
        }
        terms.push_back(std::move(term));
        base += part.size() + 1;
    }
    return terms;
}

Outcome<std::vector<std::string>, RestParseError> parseColumnList(std::string_view text) {
    std::vector<std::string> names;
    std::size_t base = 0;
    for (const auto part : splitTopLevel(text, ',')) {
        const std::string_view item = trim(part);
        std::size_t pos = 0;
        auto name = readName(item, pos);
        if (!name || pos != item.size()) {
            return failure("columns", text, base + pos,
                           pos < item.size()
                               ? "unexpected " + shown(item[pos]) + " expecting \",\""
                               : std::string("unexpected end of input expecting column name"));
        }
        names.push_back(std::move(*name));
        base += part.size() + 1;
    }
    return names;
}

std::optional<std::int64_t> parseCount(std::string_view text) {
    if (text.empty() || text.size() > 18) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

Outcome<TableQuery, RestParseError> parseTableQuery(const QueryParams& params) {
    TableQuery query;
    for (const auto& [name, value] : params) {
        if (name.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
            return Failure{RestParseError{"\"failed to parse query parameter\"",
                                          std::string("unexpected null character")}};
        }
        if (name == "select") {
            auto select = parseSelect(value);
            if (!select) {
                return Failure{std::move(select).error()};
            }
            query.select = std::move(select).value();
        } else if (name == "order") {
            auto order = parseOrder(value);
            if (!order) {
                return Failure{std::move(order).error()};
            }
            query.order = std::move(order).value();
        } else if (name == "limit" || name == "offset") {
            const auto count = parseCount(value);
            if (!count) {
                std::string message = "\"failed to parse " + name;
                message += " parameter (" + value + ")\" (line 1, column 1)";
                return Failure{RestParseError{std::move(message),
                                              std::string("expecting a non-negative integer")}};
            }
            (name == "limit" ? query.limit : query.offset) = *count;
        } else if (name == "on_conflict" || name == "columns") {
            auto columns = parseColumnList(value);
            if (!columns) {
                return Failure{std::move(columns).error()};
            }
            (name == "on_conflict" ? query.onConflict : query.columns) = std::move(columns).value();
        } else if (name == "apikey") {
            continue;
        } else {
            auto filter = parseFilter(name, value);
            if (!filter) {
                return Failure{std::move(filter).error()};
            }
            query.filters.push_back(std::move(filter).value());
        }
    }
    return query;
}

Preferences parsePreferences(const std::vector<std::string>& headerValues) {
    Preferences preferences;
    for (const auto& header : headerValues) {
        for (const auto part : splitTopLevel(header, ',')) {
            const std::string_view item = trim(part);
            const auto equals = item.find('=');
            if (equals == std::string_view::npos) {
                continue;
            }
            const std::string_view key = trim(item.substr(0, equals));
            const std::string_view value = trim(item.substr(equals + 1));
            if (key == "return") {
                if (value == "minimal") {
                    preferences.returning = ReturnPreference::minimal;
                } else if (value == "representation") {
                    preferences.returning = ReturnPreference::representation;
                } else if (value == "headers-only") {
                    preferences.returning = ReturnPreference::headersOnly;
                }
            } else if (key == "resolution") {
                if (value == "merge-duplicates") {
                    preferences.resolution = ResolutionPreference::mergeDuplicates;
                } else if (value == "ignore-duplicates") {
                    preferences.resolution = ResolutionPreference::ignoreDuplicates;
                }
            } else if (key == "count") {
                preferences.countExact = value == "exact";
            } else if (key == "missing") {
                preferences.missingDefault = value == "default";
            }
        }
    }
    return preferences;
}

std::string quoteIdentifier(std::string_view name) {
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
    return out;
}

} // namespace ostral::devstack
