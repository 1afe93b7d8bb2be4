#pragma once

#include <OstralShellKit/Decoding.h>
#include <OstralShellKit/LineMode.h>
#include <OstralShellKit/ShellConfig.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostral {

// One staff member's row of `staff_shell_prefs`: the lines they answer, where and how loud the
// desk rings, and the lines they have silenced or switched off.
struct StaffShellPrefs {
    std::vector<std::string> lines;
    // An output device UID; none means the system's default output.
    std::optional<std::string> ringDevice;
    // None means full volume.
    std::optional<double> ringVolume;
    // Only silent and off are ever stored: a line without an entry rings.
    std::map<std::string, LineMode> lineModes;

    bool operator==(const StaffShellPrefs&) const = default;

    // Fails when "lines" is missing or not a list of strings, or when "ring_device" or
    // "ring_volume" holds the wrong type. "line_modes" never fails: anything but an object of
    // strings reads as no modes, and entries that are "ring" or name no mode are dropped.
    static decode::Result<StaffShellPrefs> decode(const Json& value);
    static decode::Result<StaffShellPrefs> decode(std::string_view jsonText);

    // The preferences of a staff member who has no row: no lines, default device and volume.
    static StaffShellPrefs empty();

    // The ring volume within 0 to 1; full volume when none is stored or it is not a number, so
    // that a damaged value never keeps the desk from ringing.
    double effectiveRingVolume() const;

    // The staff member's lines that the configuration knows, in stored order.
    std::vector<std::string> configuredLines(const ShellConfig& config) const;

    // The mode stored for `line`; ring when there is none.
    LineMode storedMode(const std::string& line) const;

    // The mode `line` alerts in: a stored silent or off, otherwise silent for a line whose
    // policy has no audio and ring for every other line, known or not.
    LineMode effectiveMode(const std::string& line, const ShellConfig& config) const;

    // The modes a picker offers for one line: a line without audio cannot ring.
    std::vector<LineMode> choices(const std::string& line, const ShellConfig& config) const;

    // The modes, in case order, that at least one of `lineKeys` offers; none for no lines.
    std::vector<LineMode> choices(const std::vector<std::string>& lineKeys,
                                  const ShellConfig& config) const;

    // The one mode that describes all of `lineKeys`, or none when they differ (mixed) or there
    // are no lines. A line without audio agrees with ring and silent unless it is switched off.
    std::optional<LineMode> combinedMode(const std::vector<std::string>& lineKeys,
                                         const ShellConfig& config) const;

    // The stored modes after putting each of `lineKeys` into `mode`. Ring is stored as no
    // entry.
    std::map<std::string, LineMode> settingMode(LineMode mode,
                                                const std::vector<std::string>& lineKeys) const;

    // A short note of silenced and switched-off lines for the status line ("2 lines silenced,
    // 1 off"); none when every configured line rings. Lines without audio are silent by nature
    // and not counted as silenced.
    std::optional<std::string> modeSummary(const ShellConfig& config) const;
};

} // namespace ostral
