#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "launch.h"

namespace bridge {
namespace {

struct SplitCase {
  const char* text;
  std::vector<std::string_view> lines;
};

const SplitCase kSplitCases[] = {
    {"", {}},
    {"a", {"a"}},
    {"a\n", {"a"}},
    {"\n", {""}},
    {"\r\n", {""}},
    {"a\n\nb", {"a", "", "b"}},
    {"a\r\nb\r\n", {"a", "b"}},
    {"a\r", {"a\r"}},  // a carriage return counts only right before a line feed
    {"a\r\r\n", {"a\r"}},
    {" a \t\n b ", {" a \t", " b "}},
};

TEST(RunningCheckTest, SplitsLinesAtLineFeeds) {
  for (const auto& c : kSplitCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(split_lines(c.text), c.lines);
  }
}

struct ListedCase {
  const char* ps_text;
  const char* own_name;
  bool listed;
};

constexpr const char* kBundle = "/Applications/Torvela.app";

const ListedCase kListedCases[] = {
    {"/Applications/Torvela.app/Contents/MacOS/Torvela\n", "bridge", true},
    {"/Applications/Torvela.app/Contents/MacOS/bridge\n", "bridge", false},
    {"/Applications/Torvela.app/Contents/MacOS/bridge\n", "", true},
    {"/Applications/Torvela.app/Contents/MacOS/bridge \n", "bridge", true},  // spaces stay
    {"/Applications/Torvela.app/Contents/MacOS/Bridge\n", "bridge", true},
    {"/Applications/Torvela.app//Contents/./MacOS/Torvela/", "bridge", true},
    {"/Applications/Torvela.app/Contents/MacOS/Torvela\r\n", "bridge", true},
    {"/sbin/launchd\n/bin/zsh\n/Applications/Torvela.app/Contents/MacOS/Torvela", "bridge", true},
    {"/Applications/Torvela.app/Contents/MacOS/Helpers/Torvela\n", "bridge", false},
    {"/Applications/Torvela.app/Contents/Resources/Torvela\n", "bridge", false},
    {"/Applications/Torvela.app/Contents/MacOS\n", "bridge", false},
    {"/Applications/Torvela.app/Contents/MacOS/..\n", "bridge", false},
    {"/Applications/Torvela.app/Contents/../Contents/MacOS/Torvela\n", "bridge", false},
    {"/Applications/Torvela.app/contents/macos/Torvela\n", "bridge", false},
    {"/Users/a/Torvela.app/Contents/MacOS/Torvela\n", "bridge", false},  // another copy
    {"Applications/Torvela.app/Contents/MacOS/Torvela\n", "bridge", false},
    {" /Applications/Torvela.app/Contents/MacOS/Torvela\n", "bridge", false},
    {"\n/\n\n", "", false},
    {"", "", false},
};

TEST(RunningCheckTest, OnlyOtherProgramsDirectlyInMacOSCount) {
  for (const auto& c : kListedCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.ps_text)) + " own " + c.own_name);
    EXPECT_EQ(bundle_program_listed(c.ps_text, kBundle, c.own_name), c.listed);
  }
}

struct SpellingCase {
  std::string path;
  std::string spelled;
};

const SpellingCase kSpellingCases[] = {
    {"/Applications/My Tools/Torvela.app", "/Applications/My Tools/Torvela.app"},
    {"a\\b~", "a\\b~"},  // no backslash is doubled
    {"/Users/J\xC3\xBCrgen", "/Users/JM-CM-<rgen"},
    {"\xC3\xB6\xC4\x9F\xE2\x80\x99", "M-CM-6M-DM^_M-bM^@M^Y"},
    {"\t\n\x01\x1F\x7F", "^I^J^A^_^?"},
    {"\x80\x9F\xFF", "M^@M^_M^?"},
    {"\xC3\xA0\xC2\xA0", "M-C\\240M-B\\240"},  // 0xA0 alone goes octal
    {std::string("\0", 1), "^@"},
};

TEST(RunningCheckTest, SpellsPathsAsPsDoesInTheCLocale) {
  for (const auto& c : kSpellingCases) {
    SCOPED_TRACE(testing::PrintToString(c.path));
    EXPECT_EQ(ps_spelling(c.path), c.spelled);
  }
}

// In the C locale, which a host's minimal environment gives, macOS ps writes
// each path through strvis(VIS_TAB | VIS_NL | VIS_NOSLASH): a bundle under a
// name with letters beyond ASCII shows only in that spelling.
constexpr const char* kJurgensBundle = "/Users/J\xC3\xBCrgen/Applications/Torvela.app";

const ListedCase kSpelledCases[] = {
    {"/Users/JM-CM-<rgen/Applications/Torvela.app/Contents/MacOS/Torvela\n", "bridge", true},
    {"/Users/J\xC3\xBCrgen/Applications/Torvela.app/Contents/MacOS/Torvela\n", "bridge", true},
    {"/Users/JM-CM-<rgen/Applications/Torvela.app/Contents/MacOS/bridge\n", "bridge", false},
    {"/Users/JM-CM-<rgen/Applications/Torvela.app/Contents/MacOS/k\xC3\xB6pr\xC3\xBC\n",
     "k\xC3\xB6pr\xC3\xBC", false},
    {"/Users/JM-CM-<rgen/Applications/Torvela.app/Contents/MacOS/kM-CM-6prM-CM-<\n",
     "k\xC3\xB6pr\xC3\xBC", false},
    {"/Users/J\\M-CM-<rgen/Applications/Torvela.app/Contents/MacOS/Torvela\n", "bridge", false},
    {"/Users/JM-CM-<rgen/Applications/Torvela.app/Contents/Resources/Torvela\n", "bridge", false},
    {"(Torvela)\n", "bridge", false},
};

TEST(RunningCheckTest, SeesTheBundleInPsSpelling) {
  for (const auto& c : kSpelledCases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.ps_text)) + " own " + c.own_name);
    EXPECT_EQ(bundle_program_listed(c.ps_text, kJurgensBundle, c.own_name), c.listed);
  }
  // An ASCII bundle path is spelled alike either way; the own name is still
  // recognised in both spellings.
  const std::string macos = std::string(kBundle) + "/Contents/MacOS/";
  EXPECT_FALSE(bundle_program_listed(macos + "kM-CM-6prM-CM-<\n", kBundle, "k\xC3\xB6pr\xC3\xBC"));
}

}  // namespace
}  // namespace bridge
