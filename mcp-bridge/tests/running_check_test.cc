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

}  // namespace
}  // namespace bridge
