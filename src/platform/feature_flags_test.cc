#include "platform/feature_flags.h"

#include <gtest/gtest.h>

namespace zor::platform {
namespace {

TEST(FeatureFlagsTest, DefaultLookupKnowsOnlyExactRegisteredNames) {
  EXPECT_EQ(GetDefaultFeatureIdLookup().GetId("crash-handler"), kCrashHandlerFeatureId);
  for (const char* name : {"Crash-Handler", "crash-handler ", "crash", ""}) {
    EXPECT_EQ(GetDefaultFeatureIdLookup().GetId(name), 0u) << name;
  }
}

TEST(FeatureFlagsTest, ProcessFlagsChangeOnlyTheFlagTouched) {
  FeatureFlags& flags = FeatureFlags::GetMutable();
  ASSERT_FALSE(FeatureFlags::Get().IsOn(kCrashHandlerFeatureId));
  flags.Enable(kCrashHandlerFeatureId);
  flags.Enable(7);
  flags.Disable(7);
  EXPECT_TRUE(FeatureFlags::Get().IsOn(kCrashHandlerFeatureId));
  EXPECT_FALSE(FeatureFlags::Get().IsOn(7));
  flags.Disable(kCrashHandlerFeatureId);
  EXPECT_FALSE(FeatureFlags::Get().IsOn(kCrashHandlerFeatureId));
}

}  // namespace
}  // namespace zor::platform
