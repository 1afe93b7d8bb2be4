#include <OstralShellKit/CallChannelTopic.h>

#include <gtest/gtest.h>

namespace ostral {
namespace {

TEST(CallChannelTopic, NamesTheUserAndTheStartInLowerCase) {
    const Uuid user = *Uuid::parse("0B6E1F2A-3B4C-4D5E-8F90-A1B2C3D4E5F6");
    const Uuid instance = *Uuid::parse("1F2A3B4C-5D6E-4F70-8182-93A4B5C6D7E8");
    EXPECT_EQ(CallChannelTopic::topic(user, instance),
              "mac-calls-0b6e1f2a-3b4c-4d5e-8f90-a1b2c3d4e5f6-1f2a3b4c");
}

} // namespace
} // namespace ostral
