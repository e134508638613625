#include "scenarios.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

// The minor page faults of process `pid` so far, all its threads (the ended
// ones too), from field 10 of /proc/<pid>/stat.
double minor_faults(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return 0;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int i = 3; i <= 10 && fields >> field; ++i) {
  }
  return std::strtod(field.c_str(), nullptr);
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

void latency(const Setup& setup, int count, Pair& median_us, Pair& p99_us, double& faults) {
  std::vector<double> floor, bridge;
  for (int i = 0; i < count / 10; ++i) expect_exchange(setup.port, call(i, "echo"));
  for (int i = 0; i < count; ++i) {
    const std::string body = call(i, "echo");
    const auto start = Clock::now();
    expect_exchange(setup.port, body);
    floor.push_back(us_since(start));
  }
  auto child = ready_bridge(setup);
  double faults_before = 0;
  for (int i = 0; i < count / 10 + count; ++i) {
    if (i == count / 10) faults_before = minor_faults(child->pid());
    const std::string line = call(i + 1, "echo") + "\n";
    const auto start = Clock::now();
    if (!child->write(line) || !child->read_line(10s)) fail("a reply did not come");
    if (i >= count / 10) bridge.push_back(us_since(start));
  }
  faults = (minor_faults(child->pid()) - faults_before) / count;
  median_us = {median(floor), median(bridge)};
  p99_us = {percentile(floor, 0.99), percentile(bridge, 0.99)};
}

Pair throughput(const Setup& setup, int in_flight, int count, double& faults) {
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
  const double faults_before = minor_faults(child->pid());
  start = Clock::now();
  while (received < count) {
    std::string lines;
    while (sent < count && sent - received < in_flight) lines += call(++sent, "echo") + "\n";
    if (!lines.empty() && !child->write(lines)) fail("writing to the bridge failed");
    if (!child->read_line(10s)) fail("a reply did not come");
    ++received;
  }
  const double bridge = count / (us_since(start) / 1e6);
  faults = (minor_faults(child->pid()) - faults_before) / count;
  return {floor, bridge};
}

Pair large_answer(const Setup& setup, const char* tool, int repeats, double& peak, double& faults,
                  double* idle_peak) {
  std::vector<double> floor, bridge;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    if (exchange(setup.port, call(i, tool)) < static_cast<long long>(kLargeBytes)) {
      fail("the large answer was short");
    }
    floor.push_back(us_since(start) / 1000);
  }
  auto child = ready_bridge(setup);
  if (idle_peak != nullptr) *idle_peak = status_kib(child->pid(), "VmHWM") / 1024.0;
  double faults_before = 0;
  for (int i = 0; i < repeats; ++i) {
    // The first answer faults in the process's memory for good; the count
    // starts after it.
    if (i == 1) faults_before = minor_faults(child->pid());
    const auto start = Clock::now();
    if (!child->write(call(i + 1, tool) + "\n")) fail("writing to the bridge failed");
    const auto line = child->read_line(30s);
    if (!line || line->size() < kLargeBytes) fail("the large reply was short");
    bridge.push_back(us_since(start) / 1000);
  }
  faults = (minor_faults(child->pid()) - faults_before) / (repeats - 1);
  peak = status_kib(child->pid(), "VmHWM") / 1024.0;
  return {median(floor), median(bridge)};
}

Pair large_request(const Setup& setup, int repeats, double& peak, double& faults) {
  std::string text(kLargeBytes, 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  const auto upload = [&](long id) {
    return "{\"id\":" + std::to_string(id) +
           ",\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{\"arguments\":{"
           "\"text\":\"" + text + "\"},\"name\":\"upload\"}}";
  };
  const auto ms_until_held = [&](Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(setup.app->last_upload() - start).count();
  };
  std::vector<double> floor, bridge;
  for (int i = 0; i < repeats; ++i) {
    const std::string body = upload(i);
    const auto start = Clock::now();
    expect_exchange(setup.port, body);
    floor.push_back(ms_until_held(start));
  }
  auto child = ready_bridge(setup);
  double faults_before = 0;
  for (int i = 0; i < repeats; ++i) {
    if (i == 1) faults_before = minor_faults(child->pid());  // as for answers
    const std::string line = upload(i + 1) + "\n";
    const auto start = Clock::now();
    if (!child->write(line) || !child->read_line(30s)) fail("no reply to the large line");
    if (setup.app->last_upload() < start) fail("the application did not get the large line");
    bridge.push_back(ms_until_held(start));
  }
  faults = (minor_faults(child->pid()) - faults_before) / (repeats - 1);
  peak = status_kib(child->pid(), "VmHWM") / 1024.0;
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
