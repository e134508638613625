#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "app.h"
#include "child.h"
#include "launch.h"
#include "path.h"
#include "platform.h"
#include "support/temp_dir.h"

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

std::string canonical(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::canonical(path, ignored).string();
}

// The test binary copied into a bundle and started through a link outside
// it: the lookup follows the link to the bundle, while the own name stays the
// link's. In the child (the report variable set) it only writes what it found.
TEST(BundleLookupTest, FollowsLinksButKeepsTheLinkName) {
  if (const char* report = std::getenv("BRIDGE_TEST_LOOKUP_REPORT")) {
    std::ofstream(report) << bundle_lookup().value_or("(none)") << "\n" << own_name() << "\n";
    return;
  }
  const TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  const std::string macos = dir.path + "/Some.app/Contents/MacOS";
  std::filesystem::create_directories(macos);
  std::filesystem::copy_file(canonical(own_executable_path().value_or("")), macos + "/tool");
  std::filesystem::create_symlink(macos + "/tool", dir.path + "/bridge-link");
  const Fd null = open_null_device();
  ::setenv("BRIDGE_TEST_LOOKUP_REPORT", (dir.path + "/report").c_str(), 1);
  const auto pid = spawn_program({dir.path + "/bridge-link", "--gtest_filter=BundleLookupTest.*"},
                                 {null.get(), null.get(), null.get()});
  ::unsetenv("BRIDGE_TEST_LOOKUP_REPORT");
  ASSERT_TRUE(pid);
  ASSERT_EQ(wait_for_child(*pid, std::chrono::seconds(30)), RunResult::kExitedZero);
  EXPECT_EQ(dir.read("report"),
            canonical(dir.path) + "/Some.app\nbridge-link\n");
}

}  // namespace
}  // namespace bridge
