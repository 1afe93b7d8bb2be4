#include <OstralShellKit/Uuid.h>

#include <gtest/gtest.h>

#include <unordered_set>

namespace ostral {
namespace {

TEST(Uuid, ReadsCanonicalTextInEitherCase) {
    const auto lower = Uuid::parse("0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6");
    const auto upper = Uuid::parse("0B6E1F2A-3B4C-4D5E-8F90-A1B2C3D4E5F6");
    ASSERT_TRUE(lower.has_value());
    ASSERT_TRUE(upper.has_value());
    EXPECT_EQ(*lower, *upper);
    EXPECT_EQ(upper->lowercased(), "0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6");
    EXPECT_EQ(lower->uppercased(), "0B6E1F2A-3B4C-4D5E-8F90-A1B2C3D4E5F6");
}

TEST(Uuid, RefusesEverythingButTheCanonicalForm) {
    const char* refused[] = {
        "",
        "abc",
        "0b6e1f2a3b4c4d5e8f90a1b2c3d4e5f6",       // no hyphens
        "{0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6}", // braces
        "0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f",    // one digit short
        "0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6a",  // one digit too many
        "0b6e1f2a-3b4c-4d5e-8f9-0a1b2c3d4e5f6",   // hyphen misplaced
        "0b6e1f2g-3b4c-4d5e-8f90-a1b2c3d4e5f6",   // not hexadecimal
        " 0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6",  // leading space
    };
    for (const char* text : refused) {
        EXPECT_FALSE(Uuid::parse(text).has_value()) << text;
    }
}

TEST(Uuid, RandomIdsAreVersion4AndDistinct) {
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid id = Uuid::random();
        EXPECT_EQ(id.lowercased()[14], '4');
        EXPECT_NE(std::string("89ab").find(id.lowercased()[19]), std::string::npos);
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_EQ(Uuid::parse(id.lowercased()), id);
    }
}

} // namespace
} // namespace ostral
