// A thousand requests in flight at once through the real binary, against the
// stand-in application in this process: echoes with random delays, chunked
// answers, answers cut off mid-stream, garbage, a random tenth cancelled while
// the application works on them, notifications and unreadable lines in
// between. Every reply is checked byte for byte, and the bridge must give back
// every descriptor and thread it took.
//
// The random choices come from one seed, printed in the output; set
// BRIDGE_STRESS_SEED to replay or vary a run.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stand_in/faults.h"
#include "stand_in/stand_in.h"
#include "support/bridge_process.h"
#include "support/proc_status.h"
#include "support/sanitizers.h"
#include "support/temp_dir.h"
#include "support/reference_json.h"
#include "support/replies.h"

namespace bridge {
namespace {

// Messages are built and read with the reference's library tree.
using reference::Json;
using reference::parse_json;
using reference::serialize;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kRequests = 1000;
constexpr size_t kCancelled = kRequests / 10;
using testing::kLost;
using testing::kParseError;
const std::string kUnexpected200 = testing::unexpected(200);

// The error reply line for a request id and a message.
std::string error_line(const Json& id, const std::string& message) {
  return testing::error_line(serialize(id), message);
}

constexpr uint64_t kDefaultSeed = 20261207;
/// Cancelled requests wait far longer than the run, so they are surely still
/// at the application when their notice comes.
constexpr int kCancelledDelayMs = 120000;


enum class Kind { kEcho, kCancelled, kChunked, kDropPlain, kDropChunked, kGarbage };

struct Planned {
  Kind kind = Kind::kEcho;
  Json id;
  /// The line the host sends.
  std::string line;
  /// The one reply line; empty for a cancelled request.
  std::string expected;
};

uint64_t seed() {
  const char* text = std::getenv("BRIDGE_STRESS_SEED");
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : kDefaultSeed;
}


std::string text_reply(const Json& id, const std::string& text) {
  Json item = {{"type", "text"}, {"text", text}};
  Json reply = {{"jsonrpc", "2.0"}, {"id", id}, {"result", {{"content", Json::array({item})}}}};
  return serialize(reply);
}

std::string tool_call(const Json& id, const char* tool, Json arguments) {
  Json call = {{"jsonrpc", "2.0"},
               {"id", id},
               {"method", "tools/call"},
               {"params", {{"name", tool}, {"arguments", std::move(arguments)}}}};
  return serialize(call);
}

// Numbers and strings of digits alternate, so that a notice naming 12 can be
// sent where only "12" is in flight.
Json id_for(size_t n) {
  return n % 2 == 0 ? Json(n + 1) : Json(std::to_string(n + 1));
}

Planned plan_one(size_t n, bool cancelled, std::mt19937_64& random) {
  Planned p;
  p.id = id_for(n);
  if (cancelled) {
    p.kind = Kind::kCancelled;
    p.line = tool_call(p.id, "echo",
                       {{"text", "cancel-me " + std::to_string(n)}, {"delay_ms", kCancelledDelayMs}});
    return p;
  }
  const int draw = std::uniform_int_distribution<int>(0, 99)(random);
  if (draw < 5) {
    p.kind = Kind::kChunked;
    p.line = tool_call(p.id, "fault", {{"mode", "chunked"}});
    p.expected = text_reply(p.id, "fault chunked");
  } else if (draw < 8) {
    // A plain body cut short reads as whole to the bridge: not JSON.
    p.kind = Kind::kDropPlain;
    p.line = tool_call(p.id, "fault", {{"mode", "drop"}});
    p.expected = error_line(p.id, kUnexpected200);
  } else if (draw < 11) {
    // A chunked body cut short is a broken exchange.
    p.kind = Kind::kDropChunked;
    p.line = tool_call(p.id, "fault", {{"mode", "drop"}, {"chunked_drop", true}});
    p.expected = error_line(p.id, kLost);
  } else if (draw < 13) {
    p.kind = Kind::kGarbage;
    p.line = tool_call(p.id, "fault", {{"mode", "garbage"}});
    p.expected = error_line(p.id, kLost);
  } else {
    // Long enough that all requests overlap; escapes and non-ASCII text must
    // survive both directions.
    const int delay = std::uniform_int_distribution<int>(1000, 4000)(random);
    const std::string text = "echo " + std::to_string(n) + " \"q\" \\ \n\t \xC4\x9F \x01 " +
                             std::to_string(random());
    p.line = tool_call(p.id, "echo", {{"text", text}, {"delay_ms", delay}});
    p.expected = text_reply(p.id, text);
  }
  return p;
}

std::vector<Planned> plan(std::mt19937_64& random) {
  std::vector<size_t> order(kRequests);
  for (size_t i = 0; i < kRequests; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  std::vector<bool> cancelled(kRequests, false);
  for (size_t i = 0; i < kCancelled; ++i) cancelled[order[i]] = true;
  std::vector<Planned> planned;
  for (size_t n = 0; n < kRequests; ++n) planned.push_back(plan_one(n, cancelled[n], random));
  return planned;
}

std::string notification(int k) {
  return serialize(Json{{"jsonrpc", "2.0"},
                        {"method", "notifications/progress"},
                        {"params", {{"progressToken", "stress"}, {"progress", k}}}});
}

std::string cancellation(const Json& id) {
  return serialize(Json{{"jsonrpc", "2.0"},
                        {"method", "notifications/cancelled"},
                        {"params", {{"requestId", id}, {"reason", "stress"}}}});
}

// The stand-in drops its chunked answer half-way when asked to.
std::optional<std::string> chunked_drop(const stand_in::Request& request) {
  if (request.body.find("\"chunked_drop\":true") == std::string::npos) return std::nullopt;
  const std::optional<Json> message = parse_json(request.body);
  if (!message) return std::nullopt;
  return stand_in::fault("drop", message->at("id"), 5ms, /*chunked=*/true)->bytes;
}

// A thousand connections on each side of the bridge need more descriptors
// than a usual soft limit; the bridge inherits ours.
bool raise_descriptor_limit(rlim_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= needed) return true;
  limit.rlim_cur = std::min(limit.rlim_max, std::max<rlim_t>(needed, limit.rlim_cur));
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= needed;
}

size_t count_bodies(const std::vector<stand_in::Request>& requests, const std::string& part) {
  return std::count_if(requests.begin(), requests.end(), [&](const stand_in::Request& r) {
    return r.body.find(part) != std::string::npos;
  });
}

TEST(Stress, AThousandRequestsAtOnceWithCancellationsAndFaults) {
  const uint64_t run_seed = seed();
  std::cout << "[stress] seed " << run_seed << " (BRIDGE_STRESS_SEED)" << std::endl;
  RecordProperty("seed", std::to_string(run_seed));
  std::mt19937_64 random(run_seed);
  const std::vector<Planned> planned = plan(random);

  ASSERT_TRUE(raise_descriptor_limit(4 * kRequests + 256)) << "too few descriptors allowed";
  TempDir dir;
  stand_in::Options options;
  options.hook = chunked_drop;
  auto server = stand_in::Server::start(options);
  ASSERT_TRUE(server);
  ASSERT_TRUE(server->write_settings(dir.path, true));
  const auto started = Clock::now();

  testing::ProcessOptions process;
  process.env["TORVELA_MCP_DIR"] = dir.path;
  testing::BridgeProcess bridge(process);
  // The first reply shows the bridge is up and idle in its reading loop.
  ASSERT_TRUE(bridge.send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})"));
  const auto first = bridge.read_line();
  ASSERT_TRUE(first && first->find(R"("protocolVersion":"2025-06-18")") != std::string::npos);
  const auto idle_fds = testing::open_descriptors(bridge.pid());
  const auto idle_threads = testing::thread_count(bridge.pid());
  ASSERT_TRUE(idle_fds && idle_threads);
  EXPECT_EQ(*idle_threads, 1u) << "only the reading thread between requests";

  // Requests, with notifications and unreadable lines mixed in.
  std::string input;
  int notifications = 0;
  size_t parse_errors = 0;
  std::uniform_int_distribution<int> spot(0, 199);
  for (size_t n = 0; n < kRequests; ++n) {
    input += planned[n].line + "\n";
    if (n % 25 == 0) input += notification(++notifications) + "\n";
    if (spot(random) == 0) {
      input += n % 2 ? "[1,2]\n" : "{\"id\":1,\n";
      ++parse_errors;
    }
  }
  size_t expected_lines = parse_errors;
  for (const Planned& p : planned) expected_lines += p.kind != Kind::kCancelled;

  // A host reads its output all the time; so does this thread, while the
  // other one writes. It also watches how many workers run at once.
  std::vector<std::string> lines;
  std::atomic<size_t> peak_threads{0};
  std::thread reader([&] {
    const auto deadline = Clock::now() + 45s;
    while (lines.size() < expected_lines && Clock::now() < deadline) {
      if (auto line = bridge.read_line(20ms)) lines.push_back(std::move(*line));
      const size_t now = testing::thread_count(bridge.pid()).value_or(0);
      if (now > peak_threads) peak_threads = now;
    }
  });
  EXPECT_TRUE(bridge.write(input));

  // Cancel only what the application is surely working on.
  const bool all_arrived = server->wait_until(
      [](const std::vector<stand_in::Request>& seen) {
        return count_bodies(seen, "cancel-me ") == kCancelled;
      },
      30s);
  std::string notices = cancellation("never-sent") + "\n";
  int cancels = 0, echoes = 0;
  for (const Planned& p : planned) {
    if (p.kind == Kind::kCancelled) {
      notices += cancellation(p.id) + "\n";
      if (++cancels % 10 == 0) notices += notification(++notifications) + "\n";
    } else if (p.kind == Kind::kEcho && ++echoes % 37 == 0) {
      // The same digits as the other type name another request: no effect.
      notices += cancellation(p.id.is_string() ? Json(std::stoul(p.id.get<std::string>()))
                                               : Json(std::to_string(p.id.get<size_t>()))) +
                 "\n";
    }
  }
  EXPECT_TRUE(bridge.write(notices));
  reader.join();
  const auto answered = Clock::now();
  EXPECT_TRUE(all_arrived) << "the requests to cancel never all reached the application";
  ASSERT_EQ(lines.size(), expected_lines) << "replies missing after 45 s";

  // Every worker has written its reply; each descriptor and thread must come
  // back, allowing exiting threads a moment.
  const size_t settled_threads = *idle_threads + testing::kRuntimeThreads;
  EXPECT_TRUE(testing::settles(
      [&] {
        return testing::open_descriptors(bridge.pid()) == idle_fds &&
               testing::thread_count(bridge.pid()) == settled_threads;
      },
      5s))
      << "descriptors " << testing::open_descriptors(bridge.pid()).value_or(0) << " (idle "
      << *idle_fds << "), threads " << testing::thread_count(bridge.pid()).value_or(0) << " (idle "
      << *idle_threads << ", sanitizer runtime " << testing::kRuntimeThreads << ")";
  // Each cancellation shut its connection: the application saw it close.
  EXPECT_TRUE(server->wait_until(
      [](const std::vector<stand_in::Request>& seen) {
        return std::count_if(seen.begin(), seen.end(), [](const stand_in::Request& r) {
                 return r.closed_early && r.body.find("cancel-me ") != std::string::npos;
               }) == static_cast<long>(kCancelled);
      },
      10s));

  bridge.close_stdin();
  const std::vector<std::string> late = bridge.read_all_lines(10s);
  EXPECT_TRUE(late.empty()) << "after the last reply: " << late.front();
  EXPECT_EQ(bridge.wait(), 0);

  // Every line one whole JSON object in the compact form; every request that
  // was not cancelled answered once, exactly; the cancelled ones never.
  std::map<std::string, std::vector<std::string>> by_id;
  size_t parse_error_lines = 0;
  for (const std::string& line : lines) {
    const std::optional<Json> value = parse_json(line);
    ASSERT_TRUE(value && value->is_object()) << line.substr(0, 200);
    EXPECT_EQ(serialize(*value), line);
    if (line == kParseError) {
      ++parse_error_lines;
    } else {
      by_id[serialize(value->value("id", Json()))].push_back(line);
    }
  }
  EXPECT_EQ(parse_error_lines, parse_errors);
  size_t mismatched = 0;
  for (const Planned& p : planned) {
    const auto found = by_id.find(serialize(p.id));
    if (p.kind == Kind::kCancelled) {
      EXPECT_EQ(found, by_id.end()) << "cancelled " << serialize(p.id) << " got a reply";
      continue;
    }
    ASSERT_NE(found, by_id.end()) << "no reply for " << serialize(p.id);
    ASSERT_EQ(found->second.size(), 1u) << "several replies for " << serialize(p.id);
    if (found->second[0] != p.expected && ++mismatched <= 5) {
      ADD_FAILURE() << "reply for " << serialize(p.id) << "\n  got:  " << found->second[0]
                    << "\n  want: " << p.expected;
    }
  }
  EXPECT_EQ(mismatched, 0u);

  // The application saw each request once, every notification, and never a
  // cancellation notice.
  const auto seen = server->requests();
  EXPECT_EQ(count_bodies(seen, "\"method\":\"tools/call\""), kRequests);
  EXPECT_EQ(count_bodies(seen, "notifications/progress"), static_cast<size_t>(notifications));
  EXPECT_EQ(count_bodies(seen, "notifications/cancelled"), 0u);

  std::cout << "[stress] " << kRequests << " requests, " << kCancelled << " cancelled, "
            << notifications << " notifications, " << parse_errors << " unreadable lines; "
            << "peak " << peak_threads.load() << " bridge threads; all answered after "
            << std::chrono::duration_cast<std::chrono::milliseconds>(answered - started).count()
            << " ms" << std::endl;
}

}  // namespace
}  // namespace bridge
