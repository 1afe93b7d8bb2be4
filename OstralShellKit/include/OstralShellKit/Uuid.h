#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ostral {

// A UUID as 16 bytes. Backend ids travel as canonical 36-character text; the call-alerting
// code writes them in lower case (`lowercased()`), the profile read in upper case.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr Uuid() = default;
    explicit constexpr Uuid(const Bytes& bytes)
        : bytes_(bytes) {}

    // Reads the canonical form: 8-4-4-4-12 hexadecimal digits, either case, and nothing else.
    static std::optional<Uuid> parse(std::string_view text);

    // A new random (version 4) UUID.
    static Uuid random();

    std::string lowercased() const;
    std::string uppercased() const;

    const Bytes& bytes() const { return bytes_; }

    bool operator==(const Uuid&) const = default;
    auto operator<=>(const Uuid&) const = default;

private:
    Bytes bytes_{};
};

} // namespace ostral

template <>
struct std::hash<ostral::Uuid> {
    std::size_t operator()(const ostral::Uuid& uuid) const noexcept {
        std::size_t h = 14695981039346656037ull;
        for (auto b : uuid.bytes()) {
            h = (h ^ b) * 1099511628211ull;
        }
        return h;
    }
};
