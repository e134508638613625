#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app.h"
#include "path.h"

namespace bridge {
namespace {

struct ExtensionCase {
  const char* path;
  std::optional<std::string_view> extension;
};

const ExtensionCase kExtensionCases[] = {
    {"/Applications/Some.app", "app"},
    {"Some.app/", "app"},
    {"/a/Some.app/.", "app"},
    {"/a/b.c.app", "app"},
    {"/a/x.", ""},
    {"/a/Some.APP", "APP"},
    {"/a/.app", std::nullopt},
    {".app", std::nullopt},
    {"/a/..app", "app"},  // a "." besides the leading one
    {"/a/Some.app/..", std::nullopt},
    {"/a/noext", std::nullopt},
    {"/", std::nullopt},
    {"", std::nullopt},
    {".", std::nullopt},
};

TEST(PathTest, ExtensionIsAfterTheLastDotOfTheName) {
  for (const auto& c : kExtensionCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(extension(c.path), c.extension);
  }
}

struct SameCase {
  const char* a;
  const char* b;
  bool same;
};

const SameCase kSameCases[] = {
    {"/A.app/Contents/MacOS", "/A.app/Contents/MacOS", true},
    {"/A.app//Contents///MacOS/", "/A.app/Contents/MacOS", true},
    {"/A.app/./Contents/MacOS/.", "/A.app/Contents/MacOS", true},
    {"//A.app/Contents/MacOS", "/A.app/Contents/MacOS", true},
    {"/A.app/Contents/../Contents/MacOS", "/A.app/Contents/MacOS", false},  // ".." as written
    {"/A.app/Contents/macos", "/A.app/Contents/MacOS", false},
    {"A.app/Contents/MacOS", "/A.app/Contents/MacOS", false},
    {"./A.app/Contents/MacOS", "A.app/Contents/MacOS", false},  // a leading "." counts
    {"/A.app/Contents/MacOS/x", "/A.app/Contents/MacOS", false},
    {"/A.app/Contents/MacOS ", "/A.app/Contents/MacOS", false},
    {"", "", true},
    {"/", "//", true},
};

TEST(PathTest, SamePathComparesComponents) {
  for (const auto& c : kSameCases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    EXPECT_EQ(same_path(c.a, c.b), c.same);
    EXPECT_EQ(same_path(c.b, c.a), c.same);
  }
}

struct ParentCase {
  const char* path;
  std::optional<std::string_view> parent;
  std::optional<std::string_view> name;
};

const ParentCase kParentCases[] = {
    {"/a/b/c", "/a/b", "c"},
    {"/a/b//c/", "/a/b", "c"},
    {"/a/b/./c", "/a/b", "c"},
    {"/a", "/", "a"},
    {"a", "", "a"},
    {"./a", ".", "a"},
    {"/a/..", "/a", std::nullopt},
    {"/", std::nullopt, std::nullopt},
    {"", std::nullopt, std::nullopt},
};

TEST(PathTest, ParentAndFileName) {
  for (const auto& c : kParentCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(parent_path(c.path), c.parent);
    EXPECT_EQ(file_name(c.path), c.name);
  }
}

struct BundleCase {
  const char* resolved_path;
  std::optional<std::string> bundle;
};

const BundleCase kBundleCases[] = {
    {"/Applications/Some.app/Contents/MacOS/tool", "/Applications/Some.app"},
    {"/Applications/Some.app/Contents/Resources/tool", "/Applications/Some.app"},
    {"/Applications/Outer.app/Contents/Helpers/Inner.app/Contents/MacOS/tool",
     "/Applications/Outer.app/Contents/Helpers/Inner.app"},
    {"/Applications/x.app", "/Applications/x.app"},  // the executable itself
    {"/Applications/Some.APP/Contents/MacOS/tool", std::nullopt},
    {"/Applications/Some.App/Contents/MacOS/tool", std::nullopt},
    {"/Applications/.app/Contents/MacOS/tool", std::nullopt},
    {"/Applications/Some.apps/Contents/MacOS/tool", std::nullopt},
    {"/usr/local/bin/tool", std::nullopt},
    {"/", std::nullopt},
    {"", std::nullopt},
};

TEST(BundleTest, NearestEnclosingAppWins) {
  for (const auto& c : kBundleCases) {
    SCOPED_TRACE(c.resolved_path);
    EXPECT_EQ(find_bundle(c.resolved_path), c.bundle);
  }
}

}  // namespace
}  // namespace bridge
