#include "packages/package_types.h"

#include <gtest/gtest.h>

namespace ZorErrorReporting {
namespace {

TEST(PackageTypesTest, DataFileKindLookupTellsNoMatchFromUnknownFile) {
  EXPECT_EQ(FindDataFileKind("UNKNOWN-FILE"), DataFileKind::kUnknownFile);
  EXPECT_EQ(FindDataFileKind("Manifest-File"), DataFileKind::kManifestFile);
  EXPECT_EQ(FindDataFileKind("manifest"), std::nullopt);
}

}  // namespace
}  // namespace ZorErrorReporting
