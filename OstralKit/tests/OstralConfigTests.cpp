#include <OstralKit/OstralBrand.h>
#include <OstralKit/OstralBuildSettings.h>
#include <OstralKit/OstralConfig.h>

#include <gtest/gtest.h>

namespace ostral {
namespace {

// The URLs are split into parts and put together again unchanged, whatever the build passed.
TEST(OstralConfig, URLsKeepTheBuildsText) {
    EXPECT_EQ(OstralConfig::backendURL().text(), build::backendURL);
    EXPECT_EQ(OstralConfig::portalOrigin().text(), build::portalOrigin);
    EXPECT_FALSE(OstralConfig::backendURL().host.empty());
}

TEST(OstralConfig, HostAndStorageKeyFollowTheBackendURL) {
    EXPECT_EQ(OstralConfig::backendHost(), OstralConfig::backendURL().host);
    const std::string& host = OstralConfig::backendHost();
    const std::string ref = host.substr(0, host.find('.'));
    EXPECT_EQ(OstralConfig::sessionStorageKey(), "sb-" + ref + "-auth-token");
    EXPECT_FALSE(OstralConfig::anonKey().empty());
}

TEST(OstralBrand, Colours) {
    EXPECT_EQ(OstralBrand::navy.red, 30);
    EXPECT_EQ(OstralBrand::navy.green, 58);
    EXPECT_EQ(OstralBrand::navy.blue, 95);
    EXPECT_EQ(OstralBrand::navy.hex, "#1E3A5F");
    EXPECT_EQ(OstralBrand::blue.red, 37);
    EXPECT_EQ(OstralBrand::blue.green, 99);
    EXPECT_EQ(OstralBrand::blue.blue, 235);
    EXPECT_EQ(OstralBrand::blue.hex, "#2563EB");
}

} // namespace
} // namespace ostral
