#pragma once

#include <OstralShellKit/Decoding.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Reading JSON arrays of records with the same rules as the single keys in Decoding.h.
namespace ostral::decode {

// A JSON array whose every element is read with `read` (a function from `const Json&` to
// `Result<T>`). The first element that fails fails the whole list, its index put before the key
// of the error ("[2].line"); anything but an array is a `typeMismatch` with an empty key.
template <typename T, typename Read>
Result<std::vector<T>> list(const Json& value, Read read) {
    if (!value.is_array()) {
        return Unexpected{
            DecodingError{DecodingError::Kind::typeMismatch, "",
                          std::string("Expected an array but found ") + value.type_name() + "."}};
    }
    std::vector<T> items;
    items.reserve(value.size());
    for (std::size_t index = 0; index < value.size(); ++index) {
        auto item = read(value[index]);
        if (!item) {
            return Unexpected{within("[" + std::to_string(index) + "]", std::move(item).error())};
        }
        items.push_back(std::move(item).value());
    }
    return items;
}

// The same for the array under a required key of `object`: missing is `keyNotFound`, null is
// `valueNotFound`, and the key is put before the error of a bad element ("fields[1].label").
template <typename T, typename Read>
Result<std::vector<T>> requiredList(const Json& object, std::string_view key, Read read) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return Unexpected{DecodingError{DecodingError::Kind::keyNotFound, std::string(key),
                                        "No value associated with this key."}};
    }
    if (found->is_null()) {
        return Unexpected{DecodingError{DecodingError::Kind::valueNotFound, std::string(key),
                                        "The value is null."}};
    }
    auto items = list<T>(*found, read);
    if (!items) {
        return Unexpected{within(key, std::move(items).error())};
    }
    return items;
}

} // namespace ostral::decode
