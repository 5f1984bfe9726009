// The naming module: every name it makes parses back to its kind and its
// key, no other key's, and names that merely look alike, or that would
// reach outside the directory they are looked up in, do not.
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
      const std::string name = MakeName(kind, path, TargetKey(path));
      EXPECT_LE(name.size(), static_cast<std::size_t>(NAME_MAX)) << path;
      const auto parsed = ParseName(name);
      ASSERT_TRUE(parsed) << name;
      EXPECT_EQ(parsed->kind, kind) << name;
      EXPECT_EQ(parsed->key, TargetKey(path)) << name;
      EXPECT_TRUE(IsNameFor(name, kind, TargetKey(path))) << name;
      for (const NameKind other : Kinds) {
        if (other != kind) {
          EXPECT_FALSE(IsNameFor(name, other, TargetKey(path))) << name;
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
    EXPECT_FALSE(IsNameFor(MakeName(kind, first, TargetKey(first)), kind, TargetKey(second)));
    EXPECT_FALSE(IsNameFor(MakeName(kind, second, TargetKey(second)), kind, TargetKey(first)));
  }
}

TEST(Names, FreshNamesDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) seen.insert(MakeName(NameKind::Temporary, "/a/page.tif", TargetKey("/a/page.tif")));
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
        ".tessvane-bak-" + key + "-0123456789ab",                       // no stem
        // A mark's text reaching into another directory, or past the stem's limit:
        "../../home/victim/.local/state/tessvane/.p.tif.tessvane-bak-" + key + "-0123456789ab",
        ".x/../.p.tif.tessvane-bak-" + key + "-0123456789ab",
        "./.p.tif.tessvane-bak-" + key + "-0123456789ab",
        std::string(".p\0q.tessvane-bak-", 18) + key + "-0123456789ab",
        "." + std::string(65, 's') + ".tessvane-bak-" + key + "-0123456789ab"}) {
    EXPECT_FALSE(ParseName(name)) << name;
  }
  EXPECT_TRUE(ParseName(".page.tif.tessvane-bak-" + key + "-0123456789ab"));
  EXPECT_TRUE(ParseName("." + std::string(64, 's') + ".tessvane-bak-" + key + "-0123456789ab"));
}

// A backup's key follows the file, not its path: the same for every path
// that reaches it, another for any other file, another when it is
// re-created under the same inode number.
TEST(Names, ABackupsKeyIsTheFilesIdentity) {
  FileIdentity first;
  first.filesystem[0] = 'u';
  first.inode = 12;
  first.birth_seconds = 1700000000;
  FileIdentity remade = first, elsewhere = first, regenerated = first;
  remade.birth_nanoseconds = 1;
  elsewhere.filesystem[1] = 7;
  regenerated.generation = 3;
  const std::string key = IdentityKey(first);
  EXPECT_EQ(IdentityKey(FileIdentity(first)), key);
  for (const FileIdentity& other : {remade, elsewhere, regenerated}) EXPECT_NE(IdentityKey(other), key);
  const std::string name = MakeName(NameKind::Backup, "/a/page.tif", key);
  EXPECT_TRUE(IsNameFor(name, NameKind::Backup, key));
  EXPECT_FALSE(IsNameFor(name, NameKind::Backup, IdentityKey(remade)));
  FileIdentity parsed;
  ASSERT_TRUE(ParseIdentityText(IdentityText(regenerated), parsed));
  EXPECT_EQ(parsed, regenerated);
  for (const std::string& text : {IdentityText(first) + " ", " " + IdentityText(first), std::string("u0 1 2.3 4")}) {
    EXPECT_FALSE(ParseIdentityText(text, parsed)) << text;
  }
}

}  // namespace
}  // namespace tessvane
