#include <OstralShellKit/ListDecoding.h>
#include <OstralShellKit/ShellConfig.h>

#include <utility>

namespace ostral {

namespace {

// Copies the failure of a decoding step into a result of another type.
// The value of an optional boolean key, `fallback` when it is missing or null.
decode::Result<bool> boolOr(const Json& object, std::string_view key, bool fallback) {
    auto value = decode::optionalBool(object, key);
    if (!value) {
        return decode::failureOf(value);
    }
    return value->value_or(fallback);
}

decode::Result<std::map<std::string, LinePolicy>> decodeLines(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return decode::failureOf(object);
    }
    std::map<std::string, LinePolicy> lines;
    for (const auto& [key, policyValue] : value.items()) {
        auto policy = LinePolicy::decode(policyValue);
        if (!policy) {
            return Unexpected{decode::within(key, policy.error())};
        }
        lines.insert_or_assign(key, std::move(policy).value());
    }
    return lines;
}

} // namespace

decode::Result<LinePolicy> LinePolicy::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return decode::failureOf(object);
    }
    auto label = decode::requiredString(value, "label");
    if (!label) {
        return decode::failureOf(label);
    }
    auto audio = boolOr(value, "audio", false);
    if (!audio) {
        return decode::failureOf(audio);
    }
    auto panel = boolOr(value, "panel", true);
    if (!panel) {
        return decode::failureOf(panel);
    }
    auto notify = boolOr(value, "notify", true);
    if (!notify) {
        return decode::failureOf(notify);
    }
    RingTone tone = RingTone::recruiting;
    if (auto found = value.find("tone"); found != value.end() && found->is_string()) {
        tone = RingTone::fromRawValue(found->get_ref<const std::string&>())
                   .value_or(RingTone::recruiting);
    }
    return LinePolicy{std::move(label).value(), *audio, tone, *panel, *notify};
}

decode::Result<ShellFlags> ShellFlags::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return decode::failureOf(object);
    }
    ShellFlags flags;
    const std::pair<std::string_view, bool ShellFlags::*> fields[] = {
        {"listener", &ShellFlags::listener},
        {"ring", &ShellFlags::ring},
        {"panel", &ShellFlags::panel},
        {"notify", &ShellFlags::notify},
    };
    for (const auto& [key, field] : fields) {
        auto flag = boolOr(value, key, true);
        if (!flag) {
            return decode::failureOf(flag);
        }
        flags.*field = *flag;
    }
    return flags;
}

decode::Result<IdleLockConfig> IdleLockConfig::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return decode::failureOf(object);
    }
    auto enabled = boolOr(value, "enabled", true);
    if (!enabled) {
        return decode::failureOf(enabled);
    }
    auto minutes = decode::optionalInt(value, "minutes");
    if (!minutes) {
        return decode::failureOf(minutes);
    }
    return IdleLockConfig(*enabled, minutes->value_or(standard.minutes));
}

ShellConfig ShellConfig::standard() {
    ShellConfig config;
    config.lines = {
        {"recruiting", LinePolicy{"Recruiting", true, RingTone::recruiting, true, true}},
        {"tamrell_fleet", LinePolicy{"Tamrell Fleet", true, RingTone::fleet, true, true}},
        {"sablon_fleet", LinePolicy{"Vossane Fleet", true, RingTone::fleet, true, true}},
        {"maintenance", LinePolicy{"Maintenance", false, RingTone::fleet, true, true}},
        {"test", LinePolicy{"Test line", true, RingTone::recruiting, true, true}},
    };
    config.flags = ShellFlags::standard;
    config.idleLock = IdleLockConfig::standard;
    return config;
}

decode::Result<ShellConfig::Row> ShellConfig::Row::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return decode::failureOf(object);
    }
    auto key = decode::requiredString(value, "key");
    if (!key) {
        return decode::failureOf(key);
    }
    Row row;
    row.key = std::move(key).value();
    // A missing "value" reads like null: none of the parts can be made from it.
    static const Json null;
    const auto found = value.find("value");
    const Json& content = found == value.end() ? null : *found;
    if (row.key == "lines") {
        if (auto lines = decodeLines(content)) {
            row.lines = std::move(lines).value();
        }
    } else if (row.key == "flags") {
        if (auto flags = ShellFlags::decode(content)) {
            row.flags = *flags;
        }
    } else if (row.key == "idle_lock") {
        if (auto idleLock = IdleLockConfig::decode(content)) {
            row.idleLock = *idleLock;
        }
    }
    return row;
}

decode::Result<ShellConfig> ShellConfig::fromRows(const Json& rows) {
    auto decoded = decode::list<Row>(rows, [](const Json& row) { return Row::decode(row); });
    if (!decoded) {
        return decode::failureOf(decoded);
    }
    ShellConfig config = standard();
    for (auto& row : *decoded) {
        if (row.lines) {
            config.lines = std::move(*row.lines);
        }
        if (row.flags) {
            config.flags = *row.flags;
        }
        if (row.idleLock) {
            config.idleLock = *row.idleLock;
        }
    }
    return config;
}

decode::Result<ShellConfig> ShellConfig::fromRows(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return fromRows(value); });
}

} // namespace ostral
