#include "config/known_settings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TString;

// Which keys are known, and the suggestion's wiring, are config_test.cc's.
TEST(KnownSettings, NearestKeyIsASlipNotAGuess) {
  const struct {
    const char* key;
    const char* nearest;
  } cases[] = {
      {"servercrashupload.retention.max_age_day", "servercrashupload.retention.max_age_days"},
      {"servercrashupload.retention.max_age_days", ""},  // known: no suggestion
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NearestKnownSetting(c.key), TString(c.nearest)) << c.key;
  }
}

// The README's table is what operators read: every key the program knows
// has its row, and no row names a key the program ignores.
TEST(KnownSettings, ReadmeTableListsExactlyTheKnownKeys) {
  const std::string readme = zor::test::ReadFile(std::string(ZOR_SOURCE_DIR) + "/README.md");
  const size_t table = readme.find("| Key (`servercrashupload.` …) |");
  ASSERT_NE(table, std::string::npos);
  std::set<std::string> rows;
  for (size_t at = readme.find("\n| `", table); at != std::string::npos;
       at = readme.find("\n| `", at + 1)) {
    const size_t end = readme.find('`', at + 4);
    rows.insert("servercrashupload." + readme.substr(at + 4, end - at - 4));
    if (readme.compare(readme.find('\n', at + 1), 2, "\n|") != 0) break;  // the table ends
  }
  std::set<std::string> known;
  for (const KnownSetting& setting : KnownSettings()) known.insert(setting.key);
  EXPECT_EQ(rows, known);
}

}  // namespace
}  // namespace ZorErrorReporting
