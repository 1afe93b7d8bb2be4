#pragma once

#include <OstralShellKit/Decoding.h>
#include <OstralShellKit/RingTone.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace ostral {

// How one phone line alerts. Missing keys default differently: a line rings aloud only when
// "audio" says so, but shows on the panel and notifies unless told not to.
struct LinePolicy {
    std::string label;
    bool audio = false;
    RingTone tone = RingTone::recruiting;
    bool panel = true;
    bool notify = true;

    bool operator==(const LinePolicy&) const = default;

    // Fails when "label" is missing or not a string, or when "audio", "panel" or "notify" holds
    // something other than a boolean. A "tone" that names no ring tone is read as recruiting.
    static decode::Result<LinePolicy> decode(const Json& value);
};

// The company-wide switches of the call feature; a missing key means on.
struct ShellFlags {
    bool listener = true;
    bool ring = true;
    bool panel = true;
    bool notify = true;

    static const ShellFlags standard;

    bool operator==(const ShellFlags&) const = default;

    static decode::Result<ShellFlags> decode(const Json& value);
};

inline constexpr ShellFlags ShellFlags::standard{};

// When the shell locks itself after the desk has been idle. The minutes always lie within
// 1 to 240, however the value was made.
struct IdleLockConfig {
    static constexpr int minimumMinutes = 1;
    static constexpr int maximumMinutes = 240;

    bool enabled = true;
    int minutes = 15;

    static const IdleLockConfig standard;

    constexpr IdleLockConfig() = default;
    constexpr IdleLockConfig(bool isEnabled, std::int64_t wantedMinutes)
        : enabled(isEnabled)
        , minutes(static_cast<int>(
              std::clamp<std::int64_t>(wantedMinutes, minimumMinutes, maximumMinutes))) {}

    // The idle time before locking, in seconds.
    double interval() const { return minutes * 60.0; }

    bool operator==(const IdleLockConfig&) const = default;

    // "minutes" must be a whole number; 15.5 fails rather than being rounded.
    static decode::Result<IdleLockConfig> decode(const Json& value);
};

inline constexpr IdleLockConfig IdleLockConfig::standard{};

// The shell configuration shared by every desk, read from the rows of `shell_config`.
struct ShellConfig {
    // A line is known to the shell only when it has a policy here.
    std::map<std::string, LinePolicy> lines;
    ShellFlags flags;
    IdleLockConfig idleLock;

    bool operator==(const ShellConfig&) const = default;

    // The built-in configuration: used before the first load, and the base that rows override.
    static ShellConfig standard();

    // One row of `shell_config`. A row with a known key carries the part its "value" fills;
    // when that value does not read as its type the part is simply absent, and a row with any
    // other key carries nothing.
    struct Row {
        std::string key;
        std::optional<std::map<std::string, LinePolicy>> lines;
        std::optional<ShellFlags> flags;
        std::optional<IdleLockConfig> idleLock;

        bool operator==(const Row&) const = default;

        // Fails only when the row is not an object or has no string "key".
        static decode::Result<Row> decode(const Json& value);
    };

    // The standard configuration with the parts of `rows` laid over it in order, so that a
    // later row wins. A "lines" part replaces the whole map. Fails only when `rows` is not an
    // array of rows; the caller then keeps the configuration it had.
    static decode::Result<ShellConfig> fromRows(const Json& rows);
    static decode::Result<ShellConfig> fromRows(std::string_view jsonText);
};

} // namespace ostral
