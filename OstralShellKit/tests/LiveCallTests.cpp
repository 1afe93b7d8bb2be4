#include "DecodingCases.h"

#include <OstralShellKit/LiveCall.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace ostral {
namespace {

using namespace std::chrono;
using Kind = DecodingError::Kind;

const Uuid kCallId = *Uuid::parse("0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6");
const Uuid kCandidateId = *Uuid::parse("11111111-2222-4333-8444-555555555555");
const Uuid kFleetCardId = *Uuid::parse("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
const Uuid kMaintenanceCardId = *Uuid::parse("99999999-8888-4777-8666-555555555555");

Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return Date(sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s) +
                milliseconds(ms));
}

Json minimalRow() {
    return Json{{"id", "0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6"},
                {"created_at", "2024-05-01 13:45:10.123456+00"},
                {"line", "recruiting"},
                {"caller_number", "+15551234567"}};
}

LiveCall minimalCall() {
    LiveCall call;
    call.id = kCallId;
    call.createdAt = utc(2024, 5, 1, 13, 45, 10, 123);
    call.line = "recruiting";
    call.callerNumber = "+15551234567";
    return call;
}

TEST(LiveCall, DecodesAFullRowAndIgnoresUnknownKeys) {
    Json row = minimalRow();
    row["candidate_id"] = "11111111-2222-4333-8444-555555555555";
    row["candidate_name"] = "Jane Doe";
    row["fleet_card_id"] = "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE";
    row["fleet_card_name"] = "Truck 12";
    row["maintenance_card_id"] = "99999999-8888-4777-8666-555555555555";
    row["maintenance_card_name"] = "Brakes";
    row["ended_at"] = "2024-05-01T13:45:40Z";
    row["twilio_sid"] = "CA123";
    row["meta"] = Json{{"nested", Json::array({1, 2, 3})}};

    LiveCall expected = minimalCall();
    expected.candidateId = kCandidateId;
    expected.candidateName = "Jane Doe";
    expected.fleetCardId = kFleetCardId;
    expected.fleetCardName = "Truck 12";
    expected.maintenanceCardId = kMaintenanceCardId;
    expected.maintenanceCardName = "Brakes";
    expected.endedAt = utc(2024, 5, 1, 13, 45, 40);

    const auto call = LiveCall::decode(row);
    ASSERT_TRUE(call.hasValue()) << call.error().description();
    EXPECT_EQ(*call, expected);
}

TEST(LiveCall, ReadsMissingNullAndUnreadableOptionalsAsAbsent) {
    struct Case {
        std::string name;
        Json extra;
    };
    const std::vector<Case> cases = {
        {"only the required keys", Json::object()},
        {"every optional key null", Json{{"candidate_id", nullptr},
                                         {"candidate_name", nullptr},
                                         {"fleet_card_id", nullptr},
                                         {"fleet_card_name", nullptr},
                                         {"maintenance_card_id", nullptr},
                                         {"maintenance_card_name", nullptr},
                                         {"ended_at", nullptr}}},
        {"an end time that is not a date", Json{{"ended_at", "soon"}}},
        {"an empty end time", Json{{"ended_at", ""}}},
        {"an end time without a zone", Json{{"ended_at", "2024-05-01T13:45:40"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json row = minimalRow();
        row.update(c.extra);
        const auto call = LiveCall::decode(row);
        ASSERT_TRUE(call.hasValue()) << call.error().description();
        EXPECT_EQ(*call, minimalCall());
    }
}

TEST(LiveCall, FailsOnAMissingOrUnreadableField) {
    const std::vector<FieldFailure> cases = {
        {"no id", "id", std::nullopt, Kind::keyNotFound, ""},
        {"null id", "id", Json(nullptr), Kind::valueNotFound, ""},
        {"id that is not a UUID", "id", Json("abc"), Kind::dataCorrupted, ""},
        {"id that is a number", "id", Json(42), Kind::typeMismatch, ""},
        {"no created_at", "created_at", std::nullopt, Kind::keyNotFound, ""},
        {"null created_at", "created_at", Json(nullptr), Kind::valueNotFound, ""},
        {"created_at as a word", "created_at", Json("yesterday"), Kind::dataCorrupted, "yesterday"},
        {"created_at without a zone", "created_at", Json("2024-05-01T13:45:10"),
         Kind::dataCorrupted, "2024-05-01T13:45:10"},
        {"created_at as a number", "created_at", Json(1714571110), Kind::typeMismatch, ""},
        {"no line", "line", std::nullopt, Kind::keyNotFound, ""},
        {"line as a number", "line", Json(3), Kind::typeMismatch, ""},
        {"no caller number", "caller_number", std::nullopt, Kind::keyNotFound, ""},
        {"caller number as a number", "caller_number", Json(15551234567), Kind::typeMismatch, ""},
        {"candidate id abc", "candidate_id", Json("abc"), Kind::dataCorrupted, ""},
        {"candidate id as a number", "candidate_id", Json(7), Kind::typeMismatch, ""},
        {"candidate name as a boolean", "candidate_name", Json(true), Kind::typeMismatch, ""},
        {"fleet card id in braces", "fleet_card_id", Json("{aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee}"),
         Kind::dataCorrupted, ""},
        {"fleet card name as an array", "fleet_card_name", Json::array(), Kind::typeMismatch, ""},
        {"maintenance card id empty", "maintenance_card_id", Json(""), Kind::dataCorrupted, ""},
        {"maintenance card name as an object", "maintenance_card_name", Json::object(),
         Kind::typeMismatch, ""},
        {"end time as a number", "ended_at", Json(1714571140), Kind::typeMismatch, ""},
    };
    expectFieldFailures(minimalRow(), cases, [](const Json& row) { return LiveCall::decode(row); });
}

TEST(LiveCall, RefusesAnythingButAnObject) {
    for (const Json& value : {Json::array({minimalRow()}), Json("row"), Json(nullptr), Json(1)}) {
        const auto call = LiveCall::decode(value);
        ASSERT_FALSE(call.hasValue());
        EXPECT_EQ(call.error().kind, Kind::typeMismatch);
        EXPECT_EQ(call.error().key, "");
    }
}

TEST(LiveCall, DecodesFromText) {
    const auto call = LiveCall::decode(std::string_view(minimalRow().dump()));
    ASSERT_TRUE(call.hasValue());
    EXPECT_EQ(*call, minimalCall());

    const auto broken = LiveCall::decode(std::string_view("{\"id\": "));
    ASSERT_FALSE(broken.hasValue());
    EXPECT_EQ(broken.error().kind, Kind::dataCorrupted);
    EXPECT_EQ(broken.error().key, "");
}

TEST(LiveCall, BuildsFromARealtimeRecordOrGivesNothing) {
    auto record = minimalRow().get<std::map<std::string, Json>>();
    record["candidate_name"] = nullptr;
    record["seq"] = 12;
    record["tags"] = Json::array({"a", Json{{"b", false}}});
    EXPECT_EQ(LiveCall::fromRecord(record), minimalCall());

    struct Case {
        std::string name;
        std::string key;
        std::optional<Json> value;
    };
    const std::vector<Case> failures = {
        {"no line column", "line", std::nullopt},
        {"no id column", "id", std::nullopt},
        {"unparsable created_at", "created_at", Json("yesterday")},
        {"candidate id of the wrong type", "candidate_id", Json(1.5)},
    };
    for (const auto& c : failures) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LiveCall::fromRecord(withField(record, c.key, c.value)), std::nullopt);
    }
    EXPECT_EQ(LiveCall::fromRecord({}), std::nullopt);
}

TEST(LiveCall, DisplayNameIsTheFirstNonEmptyName) {
    using Name = std::optional<std::string>;
    struct Case {
        std::string name;
        Name candidate, fleet, maintenance;
        Name expected;
    };
    const std::vector<Case> cases = {
        {"candidate first", "Jane", "Truck 12", "Brakes", "Jane"},
        {"empty candidate name skipped", "", "Truck 12", "Brakes", "Truck 12"},
        {"absent candidate and fleet names", std::nullopt, std::nullopt, "Brakes", "Brakes"},
        {"empty fleet name skipped", std::nullopt, "", "Brakes", "Brakes"},
        {"all empty", "", "", "", std::nullopt},
        {"all absent", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {"a space is a name", " ", "Truck 12", std::nullopt, " "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LiveCall call = minimalCall();
        call.candidateName = c.candidate;
        call.fleetCardName = c.fleet;
        call.maintenanceCardName = c.maintenance;
        EXPECT_EQ(call.displayName(), c.expected);
    }
}

TEST(LiveCall, PortalPathFollowsTheFirstMatchedIdInLowerCase) {
    using Id = std::optional<Uuid>;
    struct Case {
        std::string name;
        Id candidate, fleet, maintenance;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"candidate before fleet card", kCandidateId, kFleetCardId, kMaintenanceCardId,
         "/recruiting?candidate=11111111-2222-4333-8444-555555555555"},
        {"fleet card, written in lower case", std::nullopt, kFleetCardId, kMaintenanceCardId,
         "/fleet?card=aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"maintenance card", std::nullopt, std::nullopt, kMaintenanceCardId,
         "/maintenance?card=99999999-8888-4777-8666-555555555555"},
        {"no id", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LiveCall call = minimalCall();
        call.candidateId = c.candidate;
        call.fleetCardId = c.fleet;
        call.maintenanceCardId = c.maintenance;
        EXPECT_EQ(call.portalPath(), c.expected);
    }
}

TEST(LiveCall, PortalPathIgnoresNamesWithoutIds) {
    LiveCall call = minimalCall();
    call.candidateName = "Jane";
    call.fleetCardName = "Truck 12";
    EXPECT_EQ(call.portalPath(), std::nullopt);
}

TEST(LiveCall, PortalPathWritesAnUpperCaseIdFromTheBackendInLowerCase) {
    Json row = minimalRow();
    row["fleet_card_id"] = "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE";
    const auto call = LiveCall::decode(row);
    ASSERT_TRUE(call.hasValue());
    EXPECT_EQ(call->portalPath(), "/fleet?card=aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
}

} // namespace
} // namespace ostral
