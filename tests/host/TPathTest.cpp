// TPath: joining components and the text <-> file system round trip.
#include "host/TPath.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/FileSystem.h"
#include "host/TString.h"
#include "tests/support/TestEnvironment.h"

namespace {

TEST(TPathTest, JoinsOneComponentWithOneSeparator) {
  EXPECT_EQ(TPath("a") / TPath("b"), TPath("a/b"));
  EXPECT_EQ(TPath("a/") / TPath("b"), TPath("a/b")) << "no second separator after a trailing one";
  EXPECT_EQ(TPath("/") / TPath("x"), TPath("/x"));
  EXPECT_EQ(TPath() / TPath("b"), TPath("b")) << "an empty base gives the component alone";
  EXPECT_EQ(TPath("a") / TPath(), TPath("a")) << "an empty component adds nothing";
  // The component is used as it is: nothing escaped or normalised.
  EXPECT_EQ(TPath("a") / TPath("b c/../d"), TPath("a/b c/../d"));
  EXPECT_EQ(TPath("a") / TString(u"b"), TPath("a/b"));

  // operator/ leaves its base alone; Append changes the path and returns it.
  TPath base(u"base");
  TPath joined = base / TPath(u"x");
  EXPECT_EQ(base, TPath("base"));
  TPath& appended = base.Append(TPath(u"y")).Append(L"z").Append(TString(u"w"));
  EXPECT_EQ(&appended, &base);
  EXPECT_EQ(base, TPath("base/y/z/w"));
  EXPECT_EQ(joined, TPath("base/x"));

  // Back to text, and the parts of a path.
  EXPECT_EQ(joined.ToString(), TString(u"base/x"));
  EXPECT_EQ(TPath("dir/sub/file.bin").FileName(), TString(u"file.bin"));
  EXPECT_EQ(TPath("dir/sub/file.bin").Parent(), TPath("dir/sub"));
}

TEST(TPathTest, NonAsciiNamesRoundTripThroughTheFileSystem) {
  // Latin, CJK, and a character outside the BMP (a surrogate pair in UTF-16).
  const TString name(u"Z\u00fcrich-\u65e5\u672c-\U0001F600");
  const std::string utf8 = "Z\xc3\xbcrich-\xe6\x97\xa5\xe6\x9c\xac-\xf0\x9f\x98\x80";

  TPath path = TPath(u"base") / TPath(name);
  EXPECT_EQ(path.ToUtf8(), "base/" + utf8);
  EXPECT_EQ(path.ToStdPath(), std::filesystem::path("base/" + utf8));
  EXPECT_EQ(TPath::FromStdPath(path.ToStdPath()), path);
  EXPECT_EQ(path.FileName(), name);

  // The bytes the system stores are the UTF-8 ones.
  kelcache_test::TempDir temp;
  TPath root = TPath::FromStdPath(temp.path());
  ASSERT_TRUE(CreateDirectory(root / TPath(name)));
  EXPECT_TRUE(std::filesystem::is_directory(temp.path() / utf8));
}

}  // namespace
