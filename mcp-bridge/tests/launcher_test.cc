// The bundle launcher run for real, against fake "ps" and "open" scripts put
// first on PATH. Each script logs its arguments and its standard input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app.h"
#include "fd.h"
#include "platform.h"
#include "support/temp_dir.h"

namespace bridge {
namespace {

constexpr const char* kBundle = "/Applications/My Tools/Torvela.app";

// Logs each argument on a line of its own, then the first line of standard
// input if there is one, and whether standard input is a device (/dev/null).
std::string logging_prologue(const std::string& dir, const char* tool) {
  const std::string log = "'" + dir + "/log'";
  return std::string("#!/bin/sh\n") + "for a in \"$@\"; do printf '" + tool + " arg %s\\n' \"$a\" >> " +
         log + "; done\n" + "if read -r line; then printf '" + tool + " stdin %s\\n' \"$line\" >> " +
         log + "; fi\n" + "[ -c /dev/fd/0 ] && echo '" + tool + " stdin device' >> " + log + "\n";
}

// A temporary directory with fake tools, first on PATH (or alone on it) until
// destroyed.
struct FakeTools {
  explicit FakeTools(bool keep_system_path = true) {
    const char* old = std::getenv("PATH");
    if (old != nullptr) saved_path = old;
    const std::string path = keep_system_path && old ? dir.path + ":" + old : dir.path;
    ::setenv("PATH", path.c_str(), 1);
  }
  ~FakeTools() {
    if (saved_path) {
      ::setenv("PATH", saved_path->c_str(), 1);
    } else {
      ::unsetenv("PATH");
    }
  }

  // A "ps" that prints `output` (and some noise on standard error).
  void ps(const std::string& output) const {
    dir.write("ps-output", output);
    script("ps", logging_prologue(dir.path, "ps") + "echo ps-noise >&2\n/bin/cat '" + dir.path +
                     "/ps-output'\n");
  }
  // An "open" that prints on both outputs and then runs `ending`.
  void open(const std::string& ending) const {
    script("open", logging_prologue(dir.path, "open") +
                       "echo open-out\necho open-err >&2\n" + ending + "\n");
  }
  void script(const std::string& name, const std::string& text) const {
    dir.write(name, text);
    ::chmod((dir.path + "/" + name).c_str(), 0755);
  }
  std::string log() const { return dir.read("log"); }

  TempDir dir;
  std::optional<std::string> saved_path;
};

// Points descriptor `target` at `replacement` until destroyed.
struct Redirect {
  Redirect(int target, int replacement)
      : target(target), saved(::fcntl(target, F_DUPFD_CLOEXEC, 3)) {
    ::dup2(replacement, target);
  }
  ~Redirect() { ::dup2(saved.get(), target); }
  int target;
  Fd saved;
};

struct Outcome {
  LaunchResult result = LaunchResult::kNoResources;
  std::string out;  // what reached standard output
  std::string err;  // what reached standard error
};

// Calls `launcher` with standard input holding a pending host message and
// both outputs caught in files.
Outcome call_caught(const Launcher& launcher, const TempDir& dir) {
  int ends[2];
  if (!open_pipe(ends)) return {};
  Fd input(ends[0]);
  Fd feeder(ends[1]);
  const std::string message = "{\"jsonrpc\":\"2.0\",\"id\":1}\n";
  if (::write(feeder.get(), message.data(), message.size()) < 0) return {};
  feeder.reset();
  const Fd out(::open((dir.path + "/out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const Fd err(::open((dir.path + "/err").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  std::fflush(stdout);
  std::fflush(stderr);
  Outcome outcome;
  {
    const Redirect in_redirect(0, input.get());
    const Redirect out_redirect(1, out.get());
    const Redirect err_redirect(2, err.get());
    outcome.result = launcher();
  }
  outcome.out = dir.read("out");
  outcome.err = dir.read("err");
  return outcome;
}

// The test binary's own name as the running check takes it.
std::string test_binary_name() {
  const std::string path = own_executable_path().value_or("");
  return path.substr(path.rfind('/') + 1);
}

TEST(LauncherTest, RunsPsThenOpenWithExactArgumentsAndQuietStreams) {
  const FakeTools tools;
  ASSERT_FALSE(tools.dir.path.empty());
  tools.ps("");
  tools.open("exit 0");
  const Outcome outcome = call_caught(make_launcher(kBundle), tools.dir);
  EXPECT_EQ(outcome.result, LaunchResult::kOpened);
  // Neither tool saw the host's message: both read the null device.
  EXPECT_EQ(tools.log(),
            "ps arg -xo\nps arg comm=\nps stdin device\n"
            "open arg -g\nopen arg -j\nopen arg -a\nopen arg /Applications/My Tools/Torvela.app\n"
            "open arg --args\nopen arg --background\nopen arg --for-mcp\nopen stdin device\n");
  // Standard output carries replies only; what "ps" says on its standard
  // error is dropped.
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "open-out\nopen-err\n");
}

struct LaunchCase {
  const char* name;
  std::string ps_output;  // "{own}" stands for the test binary's name
  const char* open_ending;
  LaunchResult result;  // "open" runs unless kAlreadyRunning
};

const std::string kMacOS = std::string(kBundle) + "/Contents/MacOS/";

const LaunchCase kLaunchCases[] = {
    {"nothing listed", "", "exit 0", LaunchResult::kOpened},
    {"program of the bundle", "/bin/zsh\n" + kMacOS + "Torvela\n", "exit 0",
     LaunchResult::kAlreadyRunning},
    {"last line without line feed", "/bin/zsh\n" + kMacOS + "Torvela", "exit 1",
     LaunchResult::kAlreadyRunning},
    {"own name", kMacOS + "{own}\n", "exit 0", LaunchResult::kOpened},
    {"own name with trailing spaces", kMacOS + "{own}  \n", "exit 1",
     LaunchResult::kAlreadyRunning},
    {"subdirectory of MacOS", kMacOS + "Helpers/Torvela\n", "exit 0", LaunchResult::kOpened},
    {"elsewhere in the bundle", std::string(kBundle) + "/Contents/Resources/Torvela\n", "exit 0",
     LaunchResult::kOpened},
    {"another copy of the bundle", "/Users/a/Torvela.app/Contents/MacOS/Torvela\n", "exit 0",
     LaunchResult::kOpened},
    {"open fails", "", "exit 1", LaunchResult::kNotStarted},
    {"open killed", "", "kill -KILL $$", LaunchResult::kNotStarted},
};

TEST(LauncherTest, LaunchesOnlyWhenNoOtherProgramOfTheBundleRuns) {
  const std::string own = test_binary_name();
  ASSERT_FALSE(own.empty());
  for (const auto& c : kLaunchCases) {
    SCOPED_TRACE(c.name);
    const FakeTools tools;
    ASSERT_FALSE(tools.dir.path.empty());
    std::string listing = c.ps_output;
    if (const size_t at = listing.find("{own}"); at != std::string::npos) listing.replace(at, 5, own);
    tools.ps(listing);
    tools.open(c.open_ending);
    const Outcome outcome = call_caught(make_launcher(kBundle), tools.dir);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(tools.log().find("open arg") != std::string::npos,
              c.result != LaunchResult::kAlreadyRunning);
  }
}

TEST(LauncherTest, MissingToolsOnPath) {
  {
    SCOPED_TRACE("no ps: counts as not running");
    const FakeTools tools(/*keep_system_path=*/false);
    tools.open("exit 0");
    EXPECT_EQ(call_caught(make_launcher(kBundle), tools.dir).result, LaunchResult::kOpened);
    EXPECT_NE(tools.log().find("open arg --for-mcp"), std::string::npos);
  }
  {
    SCOPED_TRACE("no open");
    const FakeTools tools(/*keep_system_path=*/false);
    tools.ps("");
    EXPECT_EQ(call_caught(make_launcher(kBundle), tools.dir).result, LaunchResult::kNotStarted);
    EXPECT_NE(tools.log().find("ps arg comm="), std::string::npos);
  }
}

// The pid a fake tool wrote into `name`, or 0.
pid_t pid_in(const TempDir& dir, const char* name) {
  return static_cast<pid_t>(std::atol(dir.read(name).c_str()));
}

// True once `pid` is gone for good: a child not yet reaped still exists.
bool gone(pid_t pid) { return pid > 0 && ::kill(pid, SIGKILL) != 0 && errno == ESRCH; }

struct BoundCase {
  const char* name;
  std::string ps;    // the fake ps after its logging; "{dir}" is its directory
  std::string open;  // the same for open
  LaunchBounds bounds;
  LaunchResult result;
  int at_least_ms, at_most_ms;  // what the launcher call takes
};

using std::chrono::milliseconds;
const std::string kHangs = "echo $$ > '{dir}/hung.pid'\nexec sleep 600\n";

const BoundCase kBoundCases[] = {
    // ps cannot tell, so open follows.
    {"ps never ends", kHangs, "exit 0", {milliseconds(300), milliseconds(300)},
     LaunchResult::kOpened, 300, 1800},
    // open may still bring the application up: the wait after it decides.
    {"open never ends", "", kHangs, {milliseconds(300), milliseconds(300)}, LaunchResult::kOpened,
     300, 1800},
    // ps has ended while what it started still holds its output open: what
    // it listed counts at once.
    {"ps leaves a process holding its output",
     "sleep 600 & echo $! > '{dir}/left.pid'\necho '" + kMacOS + "Torvela'\n", "exit 0",
     LaunchBounds(), LaunchResult::kAlreadyRunning, 0, 1500},
};

TEST(LauncherTest, ToolsPastTheirBoundAreKilledAndReaped) {
  for (const auto& c : kBoundCases) {
    SCOPED_TRACE(c.name);
    const FakeTools tools;
    ASSERT_FALSE(tools.dir.path.empty());
    const auto in_dir = [&](std::string text) {
      for (size_t at; (at = text.find("{dir}")) != std::string::npos;) {
        text.replace(at, 5, tools.dir.path);
      }
      return text;
    };
    tools.script("ps", logging_prologue(tools.dir.path, "ps") + in_dir(c.ps));
    tools.open(in_dir(c.open));
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = call_caught(make_launcher(kBundle, c.bounds), tools.dir);
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_GE(took.count(), c.at_least_ms);
    EXPECT_LE(took.count(), c.at_most_ms);
    if (const pid_t hung = pid_in(tools.dir, "hung.pid")) {
      EXPECT_TRUE(gone(hung)) << "the hung tool was left running or unreaped";
    }
    // Not ours to reap: its parent, ps, has ended.
    if (const pid_t left = pid_in(tools.dir, "left.pid")) ::kill(left, SIGKILL);
  }
}

TEST(LauncherTest, WithoutBundleNothingRuns) {
  const FakeTools tools;
  tools.ps("");
  tools.open("exit 0");
  EXPECT_EQ(call_caught(make_launcher(std::nullopt), tools.dir).result, LaunchResult::kNotStarted);
  EXPECT_EQ(tools.log(), "");
}

#ifdef __linux__
// The bridge ignores SIGPIPE; "open" and "ps" must not inherit that.
TEST(LauncherTest, ChildrenGetSigpipeBack) {
  const FakeTools tools;
  tools.ps("");
  tools.open("while read -r k v; do [ \"$k\" = SigIgn: ] && echo \"ignored $v\" >> '" +
             tools.dir.path + "/log'; done < /proc/$$/status\nexit 0");
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  call_caught(make_launcher(kBundle), tools.dir);
  std::signal(SIGPIPE, previous);
  const std::string log = tools.log();
  const size_t at = log.find("ignored ");
  ASSERT_NE(at, std::string::npos) << log;
  const unsigned long long ignored = std::strtoull(log.c_str() + at + 8, nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << log;
}
#endif

}  // namespace
}  // namespace bridge
