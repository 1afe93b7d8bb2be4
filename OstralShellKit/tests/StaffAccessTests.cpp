#include "DecodingCases.h"

#include <OstralShellKit/StaffAccess.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostral {
namespace {

TEST(StaffAccess, AnyNonEmptyRoleAdmits) {
    struct Case {
        std::string name;
        std::string row;
        std::optional<std::string> role;
        bool admitted;
    };
    const std::vector<Case> cases = {
        {"admin role", R"({"portal_role": "admin"})", "admin", true},
        {"an unknown role still admits", R"({"portal_role": "intern"})", "intern", true},
        {"a single space is not trimmed and admits", R"({"portal_role": " "})", " ", true},
        {"empty role denies", R"({"portal_role": ""})", "", false},
        {"null role denies", R"({"portal_role": null})", std::nullopt, false},
        {"missing role denies", R"({"id": "0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6"})", std::nullopt,
         false},
        {"other columns are ignored", R"({"portal_role": "dispatch", "full_name": 3})", "dispatch",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto access = StaffAccess::decode(std::string_view(c.row));
        ASSERT_TRUE(access.hasValue()) << access.error().description();
        EXPECT_EQ(access->portalRole, c.role);
        EXPECT_EQ(access->hasPortalAccess(), c.admitted);
    }
}

TEST(StaffAccess, ARoleThatIsNotTextOrARowThatIsNotAnObjectFails) {
    using Kind = DecodingError::Kind;
    const std::vector<DecodingFailure<>> cases = {
        {"numeric role", R"({"portal_role": 1})", Kind::typeMismatch, "portal_role"},
        {"boolean role", R"({"portal_role": true})", Kind::typeMismatch, "portal_role"},
        {"list of roles", R"({"portal_role": ["admin"]})", Kind::typeMismatch, "portal_role"},
        {"an array of rows", R"([{"portal_role": "admin"}])", Kind::typeMismatch, ""},
        {"not JSON", R"({"portal_role": )", Kind::dataCorrupted, ""},
    };
    expectDecodingFailures(cases, [](std::string_view row) { return StaffAccess::decode(row); });
}

} // namespace
} // namespace ostral
