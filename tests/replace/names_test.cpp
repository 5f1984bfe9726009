// The naming module: every name it makes parses back to its kind and its
// target, no other target's, and names that merely look alike do not.
#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>
#include <vector>

#include "names.h"

namespace tessvane {
namespace {

constexpr NameKind Kinds[] = {NameKind::Temporary, NameKind::Backup, NameKind::SetAside};

TEST(Names, EachKindParsesBackToItsKindAndTarget) {
  const std::string long_name(250, 'x');  // as long as a file name gets
  for (const std::string& path : std::vector<std::string>{"/a/page.tif", "/page.tif", "/d/.tessvane-bak-x.tif",
                                 "/d/" + long_name + ".tif", "/d/name with spaces-0123.tif"}) {
    for (const NameKind kind : Kinds) {
      const std::string name = MakeName(kind, path);
      EXPECT_LE(name.size(), static_cast<std::size_t>(NAME_MAX)) << path;
      const auto parsed = ParseName(name);
      ASSERT_TRUE(parsed) << name;
      EXPECT_EQ(parsed->kind, kind) << name;
      EXPECT_EQ(parsed->key, TargetKey(path)) << name;
      EXPECT_TRUE(IsNameFor(name, kind, path)) << name;
      for (const NameKind other : Kinds) {
        if (other != kind) {
          EXPECT_FALSE(IsNameFor(name, other, path)) << name;
        }
      }
    }
  }
}

// Names cut to their first 200 bytes used to be the same for both files;
// each run then removed the other's temporary file.
TEST(Names, TwoLongNamesSharingTheirBeginningNeverShareANameOrKey) {
  const std::string shared = "/scans/" + std::string(220, 'p');
  const std::string first = shared + "-1.tif", second = shared + "-2.tif";
  EXPECT_NE(TargetKey(first), TargetKey(second));
  EXPECT_NE(TargetKey("/a/page.tif"), TargetKey("/b/page.tif"));
  for (const NameKind kind : Kinds) {
    EXPECT_FALSE(IsNameFor(MakeName(kind, first), kind, second));
    EXPECT_FALSE(IsNameFor(MakeName(kind, second), kind, first));
  }
}

TEST(Names, FreshNamesDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) seen.insert(MakeName(NameKind::Temporary, "/a/page.tif"));
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Names, OtherNamesDoNotParse) {
  const std::string key = TargetKey("/a/page.tif");
  for (const std::string& name : std::vector<std::string>{
           "page.tif", ".page.tif", ".page.tif.tessvane-backup-fd01-1a2b",  // the old backup names
        ".page.tif.tessvane-0123456789ab",                               // the old temporary names
        ".page.tif.tessvane-bak-" + key + "-0123456789a",               // short random part
        ".page.tif.tessvane-bak-" + key + "-0123456789aG",              // not hex
        ".page.tif.tessvane-old-" + key + "-0123456789ab",              // unknown kind
        "page.tif.tessvane-bak-" + key + "-0123456789ab",               // not hidden
        ".tessvane-bak-" + key + "-0123456789ab"}) {                    // no stem
    EXPECT_FALSE(ParseName(name)) << name;
  }
  EXPECT_TRUE(ParseName(".page.tif.tessvane-bak-" + key + "-0123456789ab"));
}

}  // namespace
}  // namespace tessvane
