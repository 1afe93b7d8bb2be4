#include <OstralShellKit/LiveCall.h>
#include <OstralShellKit/SupabaseDate.h>

#include <initializer_list>
#include <utility>

namespace ostral {

namespace {

// Runs the decoders of a record's fields in order, keeping the first error; once one has failed
// the rest are not run.
class FieldReader {
public:
    template <typename T, typename Read>
    void read(T& field, Read decodeField) {
        if (failure_) {
            return;
        }
        auto result = decodeField();
        if (result) {
            field = std::move(result).value();
        } else {
            failure_ = std::move(result).error();
        }
    }

    const std::optional<DecodingError>& failure() const { return failure_; }

private:
    std::optional<DecodingError> failure_;
};

decode::Result<Date> requiredDate(const Json& row, std::string_view key) {
    auto text = decode::requiredString(row, key);
    if (!text) {
        return Unexpected{std::move(text).error()};
    }
    if (auto date = SupabaseDate::parse(*text)) {
        return *date;
    }
    return Unexpected{decode::corrupted(key, Json(*text))};
}

// An end time the backend wrote in a shape we cannot read is taken as no end time: the call's
// ringing window still closes it.
decode::Result<std::optional<Date>> lenientOptionalDate(const Json& row, std::string_view key) {
    auto text = decode::optionalString(row, key);
    if (!text) {
        return Unexpected{std::move(text).error()};
    }
    if (!text->has_value()) {
        return std::optional<Date>{};
    }
    return SupabaseDate::parse(**text);
}

std::optional<std::string>
firstNonEmpty(std::initializer_list<const std::optional<std::string>*> names) {
    for (const auto* name : names) {
        if (name->has_value() && !(*name)->empty()) {
            return **name;
        }
    }
    return std::nullopt;
}

} // namespace

decode::Result<LiveCall> LiveCall::decode(const Json& value) {
    auto object = decode::object(value);
    if (!object) {
        return Unexpected{std::move(object).error()};
    }
    const Json& row = **object;
    LiveCall call;
    FieldReader reader;
    reader.read(call.id, [&] { return decode::requiredUuid(row, "id"); });
    reader.read(call.createdAt, [&] { return requiredDate(row, "created_at"); });
    reader.read(call.line, [&] { return decode::requiredString(row, "line"); });
    reader.read(call.callerNumber, [&] { return decode::requiredString(row, "caller_number"); });
    reader.read(call.candidateId, [&] { return decode::optionalUuid(row, "candidate_id"); });
    reader.read(call.candidateName, [&] { return decode::optionalString(row, "candidate_name"); });
    reader.read(call.fleetCardId, [&] { return decode::optionalUuid(row, "fleet_card_id"); });
    reader.read(call.fleetCardName, [&] { return decode::optionalString(row, "fleet_card_name"); });
    reader.read(call.maintenanceCardId,
                [&] { return decode::optionalUuid(row, "maintenance_card_id"); });
    reader.read(call.maintenanceCardName,
                [&] { return decode::optionalString(row, "maintenance_card_name"); });
    reader.read(call.endedAt, [&] { return lenientOptionalDate(row, "ended_at"); });
    if (reader.failure()) {
        return Unexpected{*reader.failure()};
    }
    return call;
}

decode::Result<LiveCall> LiveCall::decode(std::string_view jsonText) {
    return decode::fromText(jsonText, [](const Json& value) { return decode(value); });
}

std::optional<LiveCall> LiveCall::fromRecord(const std::map<std::string, Json>& record) {
    Json row = Json::object();
    for (const auto& [column, value] : record) {
        row[column] = value;
    }
    auto call = decode(row);
    if (!call) {
        return std::nullopt;
    }
    return std::move(call).value();
}

std::optional<std::string> LiveCall::displayName() const {
    return firstNonEmpty({&candidateName, &fleetCardName, &maintenanceCardName});
}

std::optional<std::string> LiveCall::portalPath() const {
    if (candidateId) {
        return "/recruiting?candidate=" + candidateId->lowercased();
    }
    if (fleetCardId) {
        return "/fleet?card=" + fleetCardId->lowercased();
    }
    if (maintenanceCardId) {
        return "/maintenance?card=" + maintenanceCardId->lowercased();
    }
    return std::nullopt;
}

} // namespace ostral
