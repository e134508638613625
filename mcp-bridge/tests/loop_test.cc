#include "loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/replies.h"

namespace bridge {
namespace {

using namespace std::chrono_literals;

const std::string kParseErrorLine = testing::kParseError + "\n";


// Runs the loop on a thread of its own, fed through one pipe and written into
// another, with the test's own forwarding step.
class LoopHarness {
 public:
  explicit LoopHarness(Forwarder forward) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    input_write_ = in[1];
    output_read_ = out[0];
    input_read_ = in[0];
    output_write_ = out[1];
    auto output = std::make_shared<Output>(output_write_);
    result_ = std::async(std::launch::async, [this, output, forward] {
      reading_thread_ = std::this_thread::get_id();
      return run_loop(input_read_, output, forward);
    });
    reader_ = std::thread([this] {
      char buf[65536];
      ssize_t n;
      while ((n = ::read(output_read_, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> hold(mutex_);
        written_.append(buf, n);
      }
    });
  }

  ~LoopHarness() {
    if (result_.valid()) finish();
    ::close(input_read_);
    ::close(output_read_);
  }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(input_write_, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }

  void close_input() {
    if (input_write_ >= 0) ::close(input_write_);
    input_write_ = -1;
  }

  // Closes the input, waits for the loop and for everything it wrote, and
  // returns the loop's exit status.
  int finish() {
    close_input();
    const int status = result_.get();
    ::close(output_write_);
    reader_.join();
    return status;
  }

  std::string written() {
    std::lock_guard<std::mutex> hold(mutex_);
    return written_;
  }

  // Waits (bounded) until `count` lines have been written.
  std::string wait_for_lines(size_t count, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      std::string text = written();
      if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= count ||
          std::chrono::steady_clock::now() > deadline) {
        return text;
      }
      std::this_thread::sleep_for(5ms);
    }
  }

  std::thread::id reading_thread() const { return reading_thread_; }

 private:
  int input_read_ = -1, input_write_ = -1, output_read_ = -1, output_write_ = -1;
  std::future<int> result_;
  std::thread reader_;
  std::mutex mutex_;
  std::string written_;
  std::atomic<std::thread::id> reading_thread_;
};

// The document of `text`, which must parse.
Json json_of(const std::string& text) {
  std::optional<Json> document = parse_json(text);
  EXPECT_TRUE(document) << text;
  return document ? std::move(*document) : Json();
}

// The wire form of the message's id; empty without one.
std::string id_text(const Json& message) {
  const JsonValue* id = member(&message.root, "id");
  return id ? serialize(*id) : std::string();
}

// Replies with {"id":<id>} to everything that has an id.
std::optional<Json> echo_id(const Json& message) {
  if (id_text(message).empty()) return std::nullopt;
  return json_of("{\"id\":" + id_text(message) + "}");
}

TEST(LoopTest, AnswersEveryLineThatIsNotAnObjectWithTheParseError) {
  const std::string kLines[] = {
      "{",
      "[]",
      R"("text")",
      "42",
      "true",
      "false",
      "null",
      R"({"id":1} {"id":2})",
      "\xC2\xA0{\"id\":1}",      // a no-break space before the object
      "\xEF\xBB\xBF{\"id\":1}",  // a byte-order mark
      std::string(128, '[') + std::string(128, ']'),
      "{\"a\":" + std::string(127, '[') + std::string(127, ']') + "}",
  };
  for (const auto& line : kLines) {
    SCOPED_TRACE(line);
    std::atomic<int> forwarded{0};
    LoopHarness loop([&](const Json&) {
      ++forwarded;
      return std::nullopt;
    });
    loop.send(line + "\n");
    EXPECT_EQ(loop.finish(), 0);
    EXPECT_EQ(loop.written(), kParseErrorLine);
    EXPECT_EQ(forwarded, 0);
  }
}

TEST(LoopTest, DispatchesAnObject127LevelsDeep) {
  std::string deep = "{\"id\":1,\"method\":\"m\",\"p\":";
  deep += std::string(126, '[') + std::string(126, ']') + "}";
  LoopHarness loop(echo_id);
  loop.send(deep + "\n");
  EXPECT_EQ(loop.finish(), 0);
  EXPECT_EQ(loop.written(), "{\"id\":1}\n");
}

TEST(LoopTest, SkipsBlankLinesWithoutReply) {
  std::atomic<int> forwarded{0};
  LoopHarness loop([&](const Json& m) {
    ++forwarded;
    return echo_id(m);
  });
  // Empty, spaces and tabs, a carriage return, a no-break space, an
  // ideographic space, a line separator.
  loop.send("\n  \t \n\r\n\xC2\xA0\n\xE3\x80\x80\n\xE2\x80\xA8\n");
  loop.send("{\"id\":5,\"method\":\"m\"}\n");
  EXPECT_EQ(loop.finish(), 0);
  EXPECT_EQ(loop.written(), "{\"id\":5}\n");
  EXPECT_EQ(forwarded, 1);
}

TEST(LoopTest, AcceptsCrLfAndALastLineWithoutLineFeed) {
  LoopHarness loop(echo_id);
  loop.send("{\"id\":1,\"method\":\"m\"}\r\n{\"id\":2,\"method\":\"m\"}");
  EXPECT_EQ(loop.finish(), 0);
  const std::string out = loop.written();
  EXPECT_NE(out.find("{\"id\":1}\n"), std::string::npos);
  EXPECT_NE(out.find("{\"id\":2}\n"), std::string::npos);
}

TEST(LoopTest, ReadsALineLongerThanAnyBuffer) {
  const std::string text(3 * 1024 * 1024, 'x');
  LoopHarness loop([](const Json& m) { 
    return json_of("{\"n\":" + std::to_string(member(&m.root, "t")->size()) + "}");
  });
  std::thread writer([&] { loop.send("{\"id\":1,\"t\":\"" + text + "\"}\n"); });
  EXPECT_EQ(loop.wait_for_lines(1), "{\"n\":3145728}\n");
  writer.join();
}

TEST(LoopTest, RunsInitializeAndMessagesWithoutIdOnTheReadingThread) {
  struct Case {
    const char* line;
    bool on_reading_thread;
  };
  const Case kCases[] = {
      {R"({"id":1,"method":"initialize"})", true},
      {R"({"method":"notifications/initialized"})", true},
      {R"({"method":"notifications/cancelled","params":{"requestId":1}})", true},
      {R"({"jsonrpc":"2.0"})", true},
      {R"({"id":null,"method":"tools/list"})", false},
      {R"({"id":1,"result":{}})", false},
      {R"({"id":2,"method":"Initialize"})", false},
      {R"({"id":3,"method":["initialize"]})", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.line);
    std::promise<std::thread::id> ran_on;
    LoopHarness loop([&](const Json&) {
      ran_on.set_value(std::this_thread::get_id());
      return std::nullopt;
    });
    loop.send(std::string(c.line) + "\n");
    auto thread = ran_on.get_future();
    ASSERT_EQ(thread.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(thread.get() == loop.reading_thread(), c.on_reading_thread);
    EXPECT_EQ(loop.finish(), 0);
  }
}

TEST(LoopTest, WritesAnInlineReplyBeforeReadingTheNextLine) {
  std::mutex mutex;
  std::vector<std::string> events;
  LoopHarness* harness = nullptr;
  LoopHarness loop([&](const Json& m) -> std::optional<Json> {
    const std::string method(member(&m.root, "method")->string());
    if (method == "initialize") {
      std::this_thread::sleep_for(200ms);
      return json_of(R"({"id":1,"result":"init"})");
    }
    // By the time the next message is forwarded, the reply is out.
    std::lock_guard<std::mutex> hold(mutex);
    events.push_back(method + " saw: " + harness->wait_for_lines(1, 1s));
    return std::nullopt;
  });
  harness = &loop;
  loop.send("{\"id\":1,\"method\":\"initialize\"}\n{\"method\":\"next\"}\n");
  EXPECT_EQ(loop.finish(), 0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "next saw: {\"id\":1,\"result\":\"init\"}\n");
}

TEST(LoopTest, RunsRequestsConcurrently) {
  LoopHarness loop([](const Json& m) {
    std::this_thread::sleep_for(300ms);
    return echo_id(m);
  });
  const auto start = std::chrono::steady_clock::now();
  std::string lines;
  for (int i = 0; i < 100; ++i) lines += "{\"id\":" + std::to_string(i) + ",\"method\":\"m\"}\n";
  loop.send(lines);
  const std::string out = loop.wait_for_lines(100);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 100);
  EXPECT_LT(took, 2s) << "requests ran one after another";
  for (int i = 0; i < 100; ++i) {
    EXPECT_NE(out.find("{\"id\":" + std::to_string(i) + "}\n"), std::string::npos) << i;
  }
  EXPECT_EQ(loop.finish(), 0);
}

TEST(LoopTest, NeverMixesLinesOfConcurrentWorkers) {
  // Large replies, all released at once, so their writes overlap if unguarded.
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  LoopHarness loop([start](const Json& m) {
    start.wait();
    const int id = std::stoi(id_text(m));
    return json_of("{\"id\":" + std::to_string(id) + ",\"text\":\"" +
                   std::string(200000, static_cast<char>('a' + id % 26)) + "\"}");
  });
  std::string lines;
  for (int i = 0; i < 40; ++i) lines += "{\"id\":" + std::to_string(i) + ",\"method\":\"m\"}\n";
  loop.send(lines);
  std::this_thread::sleep_for(100ms);
  go.set_value();
  EXPECT_EQ(loop.finish(), 0);
  const std::string out = loop.written();
  size_t begin = 0, count = 0;
  for (size_t end; (end = out.find('\n', begin)) != std::string::npos; begin = end + 1, ++count) {
    const auto line = parse_json(std::string_view(out).substr(begin, end - begin));
    ASSERT_TRUE(line) << "line " << count << " is not whole";
    const int id = std::stoi(id_text(*line));
    EXPECT_EQ(member(&line->root, "text")->string(),
              std::string(200000, static_cast<char>('a' + id % 26)));
  }
  EXPECT_EQ(count, 40u);
}

TEST(LoopTest, EndOfInputWaitsForRunningWorkers) {
  LoopHarness loop([](const Json& m) {
    std::this_thread::sleep_for(300ms);
    return echo_id(m);
  });
  loop.send("{\"id\":1,\"method\":\"m\"}\n{\"id\":2,\"method\":\"m\"}\n");
  EXPECT_EQ(loop.finish(), 0);
  const std::string out = loop.written();
  EXPECT_NE(out.find("{\"id\":1}\n"), std::string::npos);
  EXPECT_NE(out.find("{\"id\":2}\n"), std::string::npos);
}

TEST(LoopTest, InvalidUtf8EndsReadingAfterEarlierWorkersFinish) {
  std::atomic<int> forwarded{0};
  LoopHarness loop([&](const Json& m) {
    ++forwarded;
    std::this_thread::sleep_for(200ms);
    return echo_id(m);
  });
  loop.send("{\"id\":1,\"method\":\"m\"}\n{\"id\":\"\xFF\"}\n{\"id\":3,\"method\":\"m\"}\n");
  EXPECT_EQ(loop.finish(), 0);
  EXPECT_EQ(loop.written(), "{\"id\":1}\n");
  EXPECT_EQ(forwarded, 1);
}

TEST(LoopTest, KeepsReadingWhenOutputIsClosed) {
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ::close(out[0]);  // nobody reads the replies
  std::atomic<int> forwarded{0};
  const std::string lines = "{\"id\":1,\"method\":\"m\"}\n[]\n{\"method\":\"n\"}\n";
  ASSERT_EQ(::write(in[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ::close(in[1]);
  const int status = run_loop(in[0], std::make_shared<Output>(out[1]), [&](const Json& m) {
    ++forwarded;
    return echo_id(m);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(forwarded, 2);
  ::close(in[0]);
  ::close(out[1]);
}

// A read that fails halfway through a line (a socket reset, a terminal hung
// up) ends input there: the line it cut is neither forwarded nor answered.
TEST(LoopTest, AReadErrorDropsTheLineItCut) {
  auto [ours, theirs] = testing::tcp_pair();
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  ASSERT_TRUE(testing::write_fully(theirs.get(), R"({"id":1,"method":"a"})"
                                                 "\n"
                                                 R"({"id":2,"method":"b"})"));
  testing::reset_connection(theirs);
  std::vector<std::string> forwarded;
  const int status = run_loop(ours.get(), std::make_shared<Output>(out[1]),
                              [&](const Json& m) {
                                forwarded.push_back(id_text(m));
                                return echo_id(m);
                              });
  ::close(out[1]);
  const auto written = testing::read_to_close(out[0], 2s);
  ::close(out[0]);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(written, "{\"id\":1}\n");
  EXPECT_EQ(forwarded, std::vector<std::string>{"1"});
}

// Feeds one "initialize" line to a loop whose forwarding step fails.
void run_with_failing_initialize() {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) std::_Exit(1);
  const std::string line = "{\"id\":1,\"method\":\"initialize\"}\n";
  if (::write(in[1], line.data(), line.size()) < 0) std::_Exit(1);
  ::close(in[1]);
  run_loop(in[0], std::make_shared<Output>(out[1]), [](const Json&) -> std::optional<Json> {
    throw std::runtime_error("lock found broken");
  });
  std::_Exit(0);
}

TEST(LoopDeathTest, AFailureOnTheReadingThreadEndsTheProcessWith101) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(run_with_failing_initialize(), ::testing::ExitedWithCode(101), "lock found broken");
}

TEST(LoopTest, AFailureOnAWorkerEndsOnlyThatWorker) {
  LoopHarness loop([](const Json& m) -> std::optional<Json> {
    if (id_text(m) == "1") throw std::runtime_error("worker failed");
    return echo_id(m);
  });
  loop.send("{\"id\":1,\"method\":\"m\"}\n");
  loop.send("{\"id\":2,\"method\":\"m\"}\n");
  EXPECT_EQ(loop.finish(), 0);
  EXPECT_EQ(loop.written(), "{\"id\":2}\n");
}

}  // namespace
}  // namespace bridge
