#include "platform/feature_flags.h"

#include <gtest/gtest.h>

namespace zor::platform {
namespace {

TEST(FeatureFlagsTest, DefaultLookupKnowsOnlyExactRegisteredNames) {
  const struct {
    const char* name;
    uint32_t id;
  } cases[] = {
      {"crash-handler", 0xCB93B017},
      {"Crash-Handler", 0},
      {"crash-handler ", 0},
      {"crash", 0},
      {"", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetDefaultFeatureIdLookup().GetId(c.name), c.id) << c.name;
  }
  EXPECT_EQ(GetDefaultFeatureIdLookup().GetId(kCrashHandlerFeature), kCrashHandlerFeatureId);
}

TEST(FeatureFlagsTest, EnableAndDisableTouchOnlyTheirFlag) {
  FeatureFlags flags;
  EXPECT_FALSE(flags.IsOn(kCrashHandlerFeatureId));
  flags.Enable(kCrashHandlerFeatureId);
  flags.Enable(7);
  EXPECT_TRUE(flags.IsOn(kCrashHandlerFeatureId));
  flags.Disable(7);
  EXPECT_TRUE(flags.IsOn(kCrashHandlerFeatureId));
  EXPECT_FALSE(flags.IsOn(7));
}

TEST(FeatureFlagsTest, ProcessFlagsChangedThroughGetMutableShowInGet) {
  const uint32_t id = GetDefaultFeatureIdLookup().GetId(kCrashHandlerFeature);
  ASSERT_FALSE(FeatureFlags::Get().IsOn(id));
  FeatureFlags::GetMutable().Enable(id);
  EXPECT_TRUE(FeatureFlags::Get().IsOn(id));
  FeatureFlags::GetMutable().Disable(id);
  EXPECT_FALSE(FeatureFlags::Get().IsOn(id));
}

}  // namespace
}  // namespace zor::platform
