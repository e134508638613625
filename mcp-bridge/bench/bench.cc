// bridge_bench [--runs N] [--json | --markdown] [--bridge PATH] [--only MEASURE]
//
// Measures the bridge against the floor, the same work done directly over
// HTTP with a fresh connection per message, on a fast in-process application:
// cold start, sequential latency, throughput at 1, 16 and 64 in flight, a
// 10 MB text answer, a 10 MB answer of small objects, a 10 MB line from the
// host, the bridge's peak resident memory and its minor page faults per
// request. Each figure is the median over N runs (default 3). Prints one
// table, JSON with --json, or the README's Markdown table with --markdown.
// --only (cold, latency, throughput, large, objects, upload or memory) runs
// one measure alone, for profiling; the others show as 0.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "fast_app.h"
#include "scenarios.h"
#include "stats.h"

namespace {

using namespace bench;

struct Arguments {
  int runs = 3;
  bool json = false;
  bool markdown = false;
  std::string bridge = MCP_BRIDGE_BINARY;
  /// Empty: every measure.
  std::string only;
};

bool parse(int argc, char** argv, Arguments& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--json") {
      out.json = true;
    } else if (flag == "--markdown") {
      out.markdown = true;
    } else if (flag == "--runs" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      out.runs = std::atoi(argv[++i]);
    } else if (flag == "--bridge" && i + 1 < argc) {
      out.bridge = argv[++i];
    } else if (flag == "--only" && i + 1 < argc) {
      out.only = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

Figures measure_once(const Setup& setup, const std::string& only) {
  const auto chosen = [&](const char* name) { return only.empty() || only == name; };
  Figures f;
  if (chosen("cold")) f.cold_ms = cold_start(setup, 10);
  if (chosen("latency")) {
    latency(setup, 2000, f.latency_median_us, f.latency_p99_us, f.faults_small);
  }
  if (chosen("throughput")) {
    double unused = 0;
    f.rps_1 = throughput(setup, 1, 2000, unused);
    f.rps_16 = throughput(setup, 16, 4000, unused);
    f.rps_64 = throughput(setup, 64, 4000, f.faults_64);
  }
  if (chosen("large")) {
    f.large_ms =
        large_answer(setup, "large", 5, f.large_peak_mib, f.faults_large, &f.idle_peak_mib);
  }
  if (chosen("objects")) {
    f.objects_ms = large_answer(setup, "objects", 5, f.objects_peak_mib, f.faults_objects, nullptr);
  }
  if (chosen("upload")) f.upload_ms = large_request(setup, 5, f.upload_peak_mib, f.faults_upload);
  if (chosen("memory")) {
    f.in_flight_64_peak_mib = in_flight_peak(setup, 64);
    double unused = 0;
    large_answer(setup, "empties", 2, f.empties_peak_mib, unused, nullptr);
  }
  return f;
}

// The median over the runs of the figure that `pick` selects.
double median_of(const std::vector<Figures>& runs, const std::function<double(const Figures&)>& pick) {
  std::vector<double> values;
  for (const Figures& f : runs) values.push_back(pick(f));
  return median(values);
}

struct Row {
  const char* name;
  const char* key;
  const char* unit;
  std::function<double(const Figures&)> floor;  // null: the bridge alone
  std::function<double(const Figures&)> bridge;
};

std::vector<Row> rows() {
  return {
      {"cold start to first reply", "cold_start_ms", "ms", [](auto& f) { return f.cold_ms.floor; },
       [](auto& f) { return f.cold_ms.bridge; }},
      {"latency, median", "latency_median_us", "us",
       [](auto& f) { return f.latency_median_us.floor; },
       [](auto& f) { return f.latency_median_us.bridge; }},
      {"latency, 99th percentile", "latency_p99_us", "us",
       [](auto& f) { return f.latency_p99_us.floor; },
       [](auto& f) { return f.latency_p99_us.bridge; }},
      {"throughput, 1 in flight", "rps_1", "req/s", [](auto& f) { return f.rps_1.floor; },
       [](auto& f) { return f.rps_1.bridge; }},
      {"throughput, 16 in flight", "rps_16", "req/s", [](auto& f) { return f.rps_16.floor; },
       [](auto& f) { return f.rps_16.bridge; }},
      {"throughput, 64 in flight", "rps_64", "req/s", [](auto& f) { return f.rps_64.floor; },
       [](auto& f) { return f.rps_64.bridge; }},
      {"10 MB answer", "large_ms", "ms", [](auto& f) { return f.large_ms.floor; },
       [](auto& f) { return f.large_ms.bridge; }},
      {"10 MB of small objects", "objects_ms", "ms", [](auto& f) { return f.objects_ms.floor; },
       [](auto& f) { return f.objects_ms.bridge; }},
      {"10 MB line from the host", "upload_ms", "ms", [](auto& f) { return f.upload_ms.floor; },
       [](auto& f) { return f.upload_ms.bridge; }},
      {"peak RSS, 10 MB answer", "large_peak_mib", "MiB", nullptr,
       [](auto& f) { return f.large_peak_mib; }},
      {"peak RSS, 10 MB objects", "objects_peak_mib", "MiB", nullptr,
       [](auto& f) { return f.objects_peak_mib; }},
      {"peak RSS, 10 MB host line", "upload_peak_mib", "MiB", nullptr,
       [](auto& f) { return f.upload_peak_mib; }},
      {"peak RSS, idle", "idle_peak_mib", "MiB", nullptr, [](auto& f) { return f.idle_peak_mib; }},
      {"peak RSS, 30 MB [{},...]", "empties_peak_mib", "MiB", nullptr,
       [](auto& f) { return f.empties_peak_mib; }},
      {"peak RSS, 64 in flight", "in_flight_64_peak_mib", "MiB", nullptr,
       [](auto& f) { return f.in_flight_64_peak_mib; }},
      {"faults/small request", "faults_small", "minflt", nullptr,
       [](auto& f) { return f.faults_small; }},
      {"faults/request, 64 in fl.", "faults_64", "minflt", nullptr,
       [](auto& f) { return f.faults_64; }},
      {"faults/10 MB answer", "faults_large", "minflt", nullptr,
       [](auto& f) { return f.faults_large; }},
      {"faults/10 MB objects", "faults_objects", "minflt", nullptr,
       [](auto& f) { return f.faults_objects; }},
      {"faults/10 MB host line", "faults_upload", "minflt", nullptr,
       [](auto& f) { return f.faults_upload; }},
  };
}

void print_table(const std::vector<Figures>& runs) {
  std::printf("medians of %zu runs\n", runs.size());
  std::printf("%-26s %-6s %12s %12s %12s %8s\n", "measure", "unit", "floor", "bridge", "difference",
              "ratio");
  for (const Row& row : rows()) {
    const double bridge = median_of(runs, row.bridge);
    if (!row.floor) {
      std::printf("%-26s %-6s %12s %12.2f %12s %8s\n", row.name, row.unit, "-", bridge, "-", "-");
      continue;
    }
    const double floor = median_of(runs, row.floor);
    std::printf("%-26s %-6s %12.1f %12.1f %+12.1f %8.2f\n", row.name, row.unit, floor, bridge,
                bridge - floor, floor > 0 ? bridge / floor : 0);
  }
}

// The table as the README shows it, so that new figures replace old ones as a
// whole.
void print_markdown(const std::vector<Figures>& runs) {
  std::printf("| measure | floor | bridge | difference | ratio |\n|---|---:|---:|---:|---:|\n");
  for (const Row& row : rows()) {
    const double bridge = median_of(runs, row.bridge);
    const bool faults = std::strcmp(row.unit, "minflt") == 0;
    if (!row.floor) {
      std::printf("| %s (%s) | | %.*f | | |\n", row.name, row.unit, faults ? 2 : 1, bridge);
      continue;
    }
    const double floor = median_of(runs, row.floor);
    std::printf("| %s (%s) | %.1f | %.1f | %+.1f | %.2f |\n", row.name, row.unit, floor, bridge,
                bridge - floor, floor > 0 ? bridge / floor : 0);
  }
}

void print_json(const std::vector<Figures>& runs) {
  std::printf("{\"runs\":%zu", runs.size());
  for (const Row& row : rows()) {
    std::printf(",\"%s\":{\"bridge\":%.3f", row.key, median_of(runs, row.bridge));
    if (row.floor) std::printf(",\"floor\":%.3f", median_of(runs, row.floor));
    std::printf("}");
  }
  std::printf("}\n");
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!parse(argc, argv, arguments)) {
    std::fprintf(stderr,
                 "usage: bridge_bench [--runs N] [--json | --markdown] [--bridge PATH] "
                 "[--only MEASURE]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  auto app = FastApp::start(kLargeBytes, std::chrono::milliseconds(200));
  if (!app) {
    std::fprintf(stderr, "bridge_bench: cannot listen on 127.0.0.1\n");
    return 1;
  }
  std::string dir = (std::filesystem::temp_directory_path() / "bridge-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return 1;
  std::ofstream(dir + "/mcp.json") << "{\"port\":" << app->port()
                                   << ",\"token\":\"t\",\"settings\":{\"enabled\":true}}";
  const Setup setup{arguments.bridge, dir, app->port(), app.get()};
  std::vector<Figures> runs;
  for (int i = 0; i < arguments.runs; ++i) {
    std::fprintf(stderr, "run %d of %d...\n", i + 1, arguments.runs);
    runs.push_back(measure_once(setup, arguments.only));
  }
  std::filesystem::remove_all(dir);
  if (arguments.json) {
    print_json(runs);
  } else if (arguments.markdown) {
    print_markdown(runs);
  } else {
    print_table(runs);
  }
  return 0;
}
