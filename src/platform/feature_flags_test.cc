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

}  // namespace
}  // namespace zor::platform
