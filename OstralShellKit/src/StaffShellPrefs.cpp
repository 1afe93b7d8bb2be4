#include <OstralShellKit/ListDecoding.h>
#include <OstralShellKit/StaffShellPrefs.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace ostral {

namespace {

// The stored modes are read as a map of strings as a whole: an object holding anything but
// strings is not such a map, and counts as no modes at all rather than as a damaged row.
std::map<std::string, LineMode> decodeLineModes(const Json& object) {
    std::map<std::string, LineMode> modes;
    const auto found = object.find("line_modes");
    if (found == object.end() || !found->is_object()) {
        return modes;
    }
    for (const auto& [line, modeValue] : found->items()) {
        if (!modeValue.is_string()) {
            return {};
        }
        const auto mode = LineMode::fromRawValue(modeValue.get_ref<const std::string&>());
        if (mode && *mode != LineMode::ring) {
            modes.insert_or_assign(line, *mode);
        }
    }
    return modes;
}

const LinePolicy* policyOf(const ShellConfig& config, const std::string& line) {
    const auto found = config.lines.find(line);
    return found == config.lines.end() ? nullptr : &found->second;
}

// A line without audio is one the configuration knows and keeps quiet; an unknown line counts
// as audible.
bool isWithoutAudio(const ShellConfig& config, const std::string& line) {
    const LinePolicy* policy = policyOf(config, line);
    return policy != nullptr && !policy->audio;
}

std::string countPhrase(std::size_t count) {
    return count == 1 ? "1 line" : std::to_string(count) + " lines";
}

} // namespace

decode::Result<StaffShellPrefs> StaffShellPrefs::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return decode::failureOf(object);
    }
    auto lines = decode::requiredList<std::string>(value, "lines", decode::string);
    if (!lines) {
        return decode::failureOf(lines);
    }
    auto ringDevice = decode::optionalString(value, "ring_device");
    if (!ringDevice) {
        return decode::failureOf(ringDevice);
    }
    auto ringVolume = decode::optionalDouble(value, "ring_volume");
    if (!ringVolume) {
        return decode::failureOf(ringVolume);
    }
    return StaffShellPrefs{std::move(lines).value(), std::move(ringDevice).value(), *ringVolume,
                           decodeLineModes(value)};
}

decode::Result<StaffShellPrefs> StaffShellPrefs::decode(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decode(value); });
}

StaffShellPrefs StaffShellPrefs::empty() {
    return StaffShellPrefs{};
}

double StaffShellPrefs::effectiveRingVolume() const {
    const double volume = ringVolume.value_or(1.0);
    if (std::isnan(volume)) {
        return 1.0;
    }
    return std::clamp(volume, 0.0, 1.0);
}

std::vector<std::string> StaffShellPrefs::configuredLines(const ShellConfig& config) const {
    std::vector<std::string> configured;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(configured),
                 [&config](const std::string& line) { return config.lines.contains(line); });
    return configured;
}

LineMode StaffShellPrefs::storedMode(const std::string& line) const {
    const auto found = lineModes.find(line);
    return found == lineModes.end() ? LineMode(LineMode::ring) : found->second;
}

LineMode StaffShellPrefs::effectiveMode(const std::string& line, const ShellConfig& config) const {
    const LineMode stored = storedMode(line);
    if (stored == LineMode::silent || stored == LineMode::off) {
        return stored;
    }
    return isWithoutAudio(config, line) ? LineMode::silent : LineMode::ring;
}

std::vector<LineMode> StaffShellPrefs::choices(const std::string& line,
                                               const ShellConfig& config) const {
    if (isWithoutAudio(config, line)) {
        return {LineMode::silent, LineMode::off};
    }
    return {LineMode::allCases.begin(), LineMode::allCases.end()};
}

std::vector<LineMode> StaffShellPrefs::choices(const std::vector<std::string>& lineKeys,
                                               const ShellConfig& config) const {
    std::vector<LineMode> offered;
    for (const LineMode mode : LineMode::allCases) {
        const bool anyOffers = std::any_of(lineKeys.begin(), lineKeys.end(), [&](const auto& line) {
            const auto modes = choices(line, config);
            return std::find(modes.begin(), modes.end(), mode) != modes.end();
        });
        if (anyOffers) {
            offered.push_back(mode);
        }
    }
    return offered;
}

std::optional<LineMode> StaffShellPrefs::combinedMode(const std::vector<std::string>& lineKeys,
                                                      const ShellConfig& config) const {
    std::vector<LineMode> audible;
    std::vector<LineMode> withoutAudio;
    for (const auto& line : lineKeys) {
        (isWithoutAudio(config, line) ? withoutAudio : audible).push_back(storedMode(line));
    }
    const auto isOff = [](LineMode mode) { return mode == LineMode::off; };

    if (!audible.empty()) {
        const LineMode first = audible.front();
        const bool allSame = std::all_of(audible.begin(), audible.end(),
                                         [first](LineMode mode) { return mode == first; });
        if (!allSame) {
            return std::nullopt;
        }
        // A line without audio is silent by nature, so it agrees with ringing and silent
        // lines; only its being switched off (or not) can set it apart.
        if (first == LineMode::off) {
            if (std::all_of(withoutAudio.begin(), withoutAudio.end(), isOff)) {
                return LineMode::off;
            }
            return std::nullopt;
        }
        if (std::none_of(withoutAudio.begin(), withoutAudio.end(), isOff)) {
            return first;
        }
        return std::nullopt;
    }
    if (!withoutAudio.empty()) {
        if (std::all_of(withoutAudio.begin(), withoutAudio.end(), isOff)) {
            return LineMode::off;
        }
        if (std::none_of(withoutAudio.begin(), withoutAudio.end(), isOff)) {
            return LineMode::silent;
        }
    }
    return std::nullopt;
}

std::map<std::string, LineMode>
StaffShellPrefs::settingMode(LineMode mode, const std::vector<std::string>& lineKeys) const {
    std::map<std::string, LineMode> modes = lineModes;
    for (const auto& line : lineKeys) {
        if (mode == LineMode::ring) {
            modes.erase(line);
        } else {
            modes.insert_or_assign(line, mode);
        }
    }
    return modes;
}

std::optional<std::string> StaffShellPrefs::modeSummary(const ShellConfig& config) const {
    const std::vector<std::string> configured = configuredLines(config);
    if (configured.empty()) {
        return std::nullopt;
    }
    std::size_t off = 0;
    std::size_t silenced = 0;
    for (const auto& line : configured) {
        const LineMode mode = storedMode(line);
        if (mode == LineMode::off) {
            ++off;
        } else if (mode == LineMode::silent && !isWithoutAudio(config, line)) {
            ++silenced;
        }
    }
    if (off == configured.size()) {
        return "All lines off";
    }
    if (silenced > 0 && off == 0) {
        return countPhrase(silenced) + " silenced";
    }
    if (silenced > 0) {
        return countPhrase(silenced) + " silenced, " + std::to_string(off) + " off";
    }
    if (off > 0) {
        return countPhrase(off) + " off";
    }
    return std::nullopt;
}

} // namespace ostral
