#include "scenarios.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "child.h"
#include "floor.h"
#include "stats.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double us_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "bridge_bench: %s\n", what);
  std::exit(1);
}

// The body as the bridge sends it (members sorted) and the host writes it.
std::string call(long id, const char* tool) {
  return "{\"id\":" + std::to_string(id) +
         ",\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{\"arguments\":{\"text\":"
         "\"ping\"},\"name\":\"" +
         tool + "\"}}";
}

const std::string kInitialize =
    R"({"id":0,"jsonrpc":"2.0","method":"initialize","params":{"capabilities":{},)"
    R"("clientInfo":{"name":"bench","version":"1"},"protocolVersion":"2025-06-18"}})";

// A bridge that has answered initialize.
std::unique_ptr<Child> ready_bridge(const Setup& setup) {
  auto child = std::make_unique<Child>(setup.bridge, setup.settings_dir);
  if (!child->ok() || !child->write(kInitialize + "\n") || !child->read_line(10s)) {
    fail("the bridge did not answer initialize");
  }
  return child;
}

void expect_exchange(uint16_t port, const std::string& body) {
  if (exchange(port, body) < 0) fail("an exchange with the application failed");
}

}  // namespace

Pair cold_start(const Setup& setup, int repeats) {
  std::vector<double> floor, bridge;
  for (int i = 0; i < repeats; ++i) {
    auto start = Clock::now();
    expect_exchange(setup.port, kInitialize);
    floor.push_back(us_since(start) / 1000);
    start = Clock::now();
    Child child(setup.bridge, setup.settings_dir);
    if (!child.ok() || !child.write(kInitialize + "\n") || !child.read_line(10s)) {
      fail("no initialize reply");
    }
    bridge.push_back(us_since(start) / 1000);
    if (child.finish() != 0) fail("the bridge did not exit with 0");
  }
  return {median(floor), median(bridge)};
}

void latency(const Setup& setup, int count, Pair& median_us, Pair& p99_us) {
  std::vector<double> floor, bridge;
  for (int i = 0; i < count / 10; ++i) expect_exchange(setup.port, call(i, "echo"));
  for (int i = 0; i < count; ++i) {
    const std::string body = call(i, "echo");
    const auto start = Clock::now();
    expect_exchange(setup.port, body);
    floor.push_back(us_since(start));
  }
  auto child = ready_bridge(setup);
  for (int i = 0; i < count / 10 + count; ++i) {
    const std::string line = call(i + 1, "echo") + "\n";
    const auto start = Clock::now();
    if (!child->write(line) || !child->read_line(10s)) fail("a reply did not come");
    if (i >= count / 10) bridge.push_back(us_since(start));
  }
  median_us = {median(floor), median(bridge)};
  p99_us = {percentile(floor, 0.99), percentile(bridge, 0.99)};
}

Pair throughput(const Setup& setup, int in_flight, int count) {
  // Floor: `in_flight` clients, each one exchange after the other.
  std::atomic<int> next{0};
  auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < in_flight; ++c) {
    clients.emplace_back([&] {
      for (int i; (i = next++) < count;) expect_exchange(setup.port, call(i, "echo"));
    });
  }
  for (auto& t : clients) t.join();
  const double floor = count / (us_since(start) / 1e6);

  // Bridge: a host that keeps `in_flight` requests outstanding.
  auto child = ready_bridge(setup);
  int sent = 0, received = 0;
  start = Clock::now();
  while (received < count) {
    std::string lines;
    while (sent < count && sent - received < in_flight) lines += call(++sent, "echo") + "\n";
    if (!lines.empty() && !child->write(lines)) fail("writing to the bridge failed");
    if (!child->read_line(10s)) fail("a reply did not come");
    ++received;
  }
  const double bridge = count / (us_since(start) / 1e6);
  return {floor, bridge};
}

Pair large_answer(const Setup& setup, int repeats, Figures& figures) {
  std::vector<double> floor, bridge;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    if (exchange(setup.port, call(i, "large")) < static_cast<long long>(kLargeBytes)) {
      fail("the large answer was short");
    }
    floor.push_back(us_since(start) / 1000);
  }
  auto child = ready_bridge(setup);
  figures.idle_peak_mib = status_kib(child->pid(), "VmHWM") / 1024.0;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    if (!child->write(call(i + 1, "large") + "\n")) fail("writing to the bridge failed");
    const auto line = child->read_line(30s);
    if (!line || line->size() < kLargeBytes) fail("the large reply was short");
    bridge.push_back(us_since(start) / 1000);
  }
  figures.large_peak_mib = status_kib(child->pid(), "VmHWM") / 1024.0;
  return {median(floor), median(bridge)};
}

double in_flight_peak(const Setup& setup, int in_flight) {
  auto child = ready_bridge(setup);
  std::string lines;
  for (int i = 1; i <= in_flight; ++i) lines += call(i, "hold") + "\n";
  if (!child->write(lines)) fail("writing to the bridge failed");
  for (int i = 0; i < in_flight; ++i) {
    if (!child->read_line(10s)) fail("a held reply did not come");
  }
  return status_kib(child->pid(), "VmHWM") / 1024.0;
}

}  // namespace bench
