#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app.h"
#include "support/temp_dir.h"

namespace bridge {
namespace {

struct DirCase {
  const char* torvela_mcp_dir;  // null: unset
  const char* home;             // null: unset
  std::optional<std::string> expected;
};

const DirCase kDirCases[] = {
    {"/x/y", "/Users/a", "/x/y"},
    {"", "/Users/a", ""},  // set but empty still wins: the working directory
    {"rel\xFF", nullptr, "rel\xFF"},  // raw bytes, not text
    {nullptr, "/Users/a", "/Users/a/Library/Application Support/com.keldor.torvela"},
    {nullptr, "/Users/a/", "/Users/a/Library/Application Support/com.keldor.torvela"},
    {nullptr, "/", "/Library/Application Support/com.keldor.torvela"},
    {nullptr, "", "Library/Application Support/com.keldor.torvela"},
    {nullptr, nullptr, std::nullopt},
};

TEST(SettingsDirTest, ResolvesFromTheTwoVariables) {
  for (const auto& c : kDirCases) {
    SCOPED_TRACE(std::string(c.torvela_mcp_dir ? c.torvela_mcp_dir : "(unset)") + " / " +
                 (c.home ? c.home : "(unset)"));
    EXPECT_EQ(resolve_settings_dir(c.torvela_mcp_dir, c.home), c.expected);
  }
}

struct StateCase {
  const char* text;
  std::optional<uint16_t> port;  // nullopt: no connection settings
  const char* token;
  std::optional<bool> enabled;
};

const StateCase kStateCases[] = {
    {R"({"port":8080,"token":"t","settings":{"enabled":true}})", 8080, "t", true},
    {R"({"port":0,"token":""})", 0, "", std::nullopt},
    {R"({"port":65535,"token":"a\u00e9\"b","other":[1]})", 65535, "a\xC3\xA9\"b", std::nullopt},
    {R"({"port":65536,"token":"t","settings":{"enabled":false}})", std::nullopt, "", false},
    {R"({"port":-1,"token":"t"})", std::nullopt, "", std::nullopt},
    {R"({"port":-0,"token":"t"})", std::nullopt, "", std::nullopt},
    {R"({"port":80.0,"token":"t"})", std::nullopt, "", std::nullopt},
    {R"({"port":8e1,"token":"t"})", std::nullopt, "", std::nullopt},
    {R"({"port":"80","token":"t"})", std::nullopt, "", std::nullopt},
    {R"({"port":18446744073709551616,"token":"t"})", std::nullopt, "", std::nullopt},
    {R"({"port":80,"token":7})", std::nullopt, "", std::nullopt},
    {R"({"port":80,"settings":{"enabled":false}})", std::nullopt, "", false},
    {R"({"token":"t","settings":{"enabled":true}})", std::nullopt, "", true},
    // A token that cannot stand in a header line gives no settings; the flag
    // is read all the same. Tab is allowed in header values.
    {R"({"port":80,"token":"a\nb","settings":{"enabled":true}})", std::nullopt, "", true},
    {R"({"port":80,"token":"a\u0000b"})", std::nullopt, "", std::nullopt},
    {R"({"port":80,"token":"a\u007fb"})", std::nullopt, "", std::nullopt},
    {R"({"port":80,"token":"a\tb"})", 80, "a\tb", std::nullopt},
    {"{\"port\":80,\"token\":\"a\tb\"}", std::nullopt, "", std::nullopt},  // raw tab: bad JSON
    // The flag: only a boolean inside "settings".
    {R"({"port":80,"token":"t","settings":{"enabled":"true"}})", 80, "t", std::nullopt},
    {R"({"port":80,"token":"t","settings":{"enabled":1}})", 80, "t", std::nullopt},
    {R"({"port":80,"token":"t","enabled":true})", 80, "t", std::nullopt},
    {R"({"port":80,"token":"t","settings":[true]})", 80, "t", std::nullopt},
    {R"({"Port":80,"Token":"t","Settings":{"Enabled":true}})", std::nullopt, "", std::nullopt},
    // A repeated member counts with its last value.
    {R"({"port":1,"port":2,"token":"a","token":"b","settings":{"enabled":true,"enabled":false}})",
     2, "b", false},
    // Anything but exactly one JSON object gives nothing at all.
    {R"([{"port":80,"token":"t","settings":{"enabled":true}}])", std::nullopt, "", std::nullopt},
    {R"({"port":80,"token":"t","settings":{"enabled":true}} x)", std::nullopt, "", std::nullopt},
    {R"({"port":80,"token":"t","settings":{"enabled":true}}{})", std::nullopt, "", std::nullopt},
    {"\xEF\xBB\xBF{\"port\":80,\"token\":\"t\",\"settings\":{\"enabled\":true}}", std::nullopt, "",
     std::nullopt},
    {"{\"port\":80,\"token\":\"\xFF\",\"settings\":{\"enabled\":true}}", std::nullopt, "",
     std::nullopt},
    {" \t\r\n{\"port\":80,\"token\":\"t\"}\n ", 80, "t", std::nullopt},
    {"", std::nullopt, "", std::nullopt},
    {"null", std::nullopt, "", std::nullopt},
};

TEST(ParseStateTest, ReadsPortTokenAndFlagIndependently) {
  for (const auto& c : kStateCases) {
    SCOPED_TRACE(c.text);
    const State s = parse_state(c.text);
    ASSERT_EQ(s.settings.has_value(), c.port.has_value());
    if (s.settings) {
      EXPECT_EQ(s.settings->port, *c.port);
      EXPECT_EQ(s.settings->token, c.token);
    }
    EXPECT_EQ(s.enabled, c.enabled);
  }
}

TEST(StateTest, ReadsTheFileAfreshEveryTime) {
  const TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  EXPECT_FALSE(state(dir.path).settings);  // no file yet
  dir.write("mcp.json", R"({"port":4000,"token":"one","settings":{"enabled":false}})");
  State s = state(dir.path);
  ASSERT_TRUE(s.settings);
  EXPECT_EQ(s.settings->port, 4000);
  EXPECT_EQ(s.settings->token, "one");
  EXPECT_EQ(s.enabled, false);
  // A rewrite (the application just started) shows on the next call.
  dir.write("mcp.json", R"({"port":4001,"token":"two"})");
  s = state(dir.path + "/");
  ASSERT_TRUE(s.settings);
  EXPECT_EQ(s.settings->port, 4001);
  EXPECT_EQ(s.settings->token, "two");
  EXPECT_EQ(s.enabled, std::nullopt);
}

TEST(StateTest, UnreadableFilesGiveNothing) {
  const TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  ASSERT_EQ(::mkdir((dir.path + "/sub").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((dir.path + "/sub/mcp.json").c_str(), 0700), 0);
  dir.write("mcp.json", "{\"port\":80,\"token\":\"\xC3\x28\",\"settings\":{\"enabled\":true}}");
  struct Case {
    const char* name;
    std::optional<std::string> settings_dir;
  };
  const Case kCases[] = {
      {"no settings directory", std::nullopt},
      {"directory missing", dir.path + "/absent"},
      {"mcp.json is a directory", dir.path + "/sub"},
      {"invalid UTF-8", dir.path},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const State s = state(c.settings_dir);
    EXPECT_FALSE(s.settings);
    EXPECT_EQ(s.enabled, std::nullopt);
  }
}

// Only a file that is read but does not parse may be a rewrite caught
// halfway: it alone is read once more, after the pause.
TEST(StateTest, AFileCaughtMidRewriteIsReadOnceMore) {
  const std::string whole = R"({"port":4000,"token":"t"})";
  struct Case {
    const char* name;
    std::optional<std::string> first;  // nullopt: no file
    std::string during_pause;          // what the application writes meanwhile
    int pauses;
    std::optional<uint16_t> port;
  };
  const Case kCases[] = {
      {"empty, then written", "", whole, 1, 4000},
      {"cut short, then written", R"({"port":40)", whole, 1, 4000},
      {"stays cut short", R"({"port":40)", R"({"port":4000,"tok)", 1, std::nullopt},
      {"whole at once", whole, "", 0, 4000},
      {"missing", std::nullopt, whole, 0, std::nullopt},
      {"parses, without a token", R"({"port":4000})", whole, 0, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    if (c.first) dir.write("mcp.json", *c.first);
    int pauses = 0;
    const State s = state(dir.path, [&] {
      ++pauses;
      dir.write("mcp.json", c.during_pause);
    });
    EXPECT_EQ(pauses, c.pauses);
    ASSERT_EQ(s.settings.has_value(), c.port.has_value());
    if (s.settings) {
      EXPECT_EQ(s.settings->port, *c.port);
    }
  }
}

TEST(StateTest, EmptyDirectoryMeansTheWorkingDirectory) {
  const TempDir dir;
  ASSERT_FALSE(dir.path.empty());
  dir.write("mcp.json", R"({"port":9,"token":"cwd"})");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path);
  const State s = state(std::string());
  std::filesystem::current_path(previous);
  ASSERT_TRUE(s.settings);
  EXPECT_EQ(s.settings->token, "cwd");
}

}  // namespace
}  // namespace bridge
