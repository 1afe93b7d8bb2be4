#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostral {

// What the desk reports to the other staff: ringing for calls, merely online, or away.
class PresenceStatus {
public:
    enum Value : std::uint8_t { receiving, online, away };

    constexpr PresenceStatus(Value value)
        : value_(value) {}
    constexpr operator Value() const { return value_; }

    static std::optional<PresenceStatus> fromRawValue(std::string_view text);
    // "receiving", "online" or "away": the `status` column of `staff_presence`.
    std::string_view rawValue() const;

    // Away when locked or idle for at least `awaySeconds`; otherwise receiving when the desk
    // receives calls and has lines that ring; otherwise online.
    static PresenceStatus derive(bool locked, bool receivesCalls,
                                 const std::vector<std::string>& lines, double idleSeconds,
                                 double awaySeconds);

private:
    Value value_;
};

} // namespace ostral
