// The benchmark's measurements, each done once directly over HTTP (the floor)
// and once through the real bridge binary, against the same fast application.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

struct Setup {
  std::string bridge;        // path of the binary
  std::string settings_dir;  // holds mcp.json naming the application
  uint16_t port = 0;
};

/// Both sides of one measure; `bridge_only` when a floor makes no sense.
struct Pair {
  double floor = 0;
  double bridge = 0;
};

struct Figures {
  Pair cold_ms;       // spawn to first initialize reply, vs one exchange
  Pair latency_median_us, latency_p99_us;
  Pair rps_1, rps_16, rps_64;
  Pair large_ms;      // one 10 MB answer
  double large_peak_mib = 0, idle_peak_mib = 0, in_flight_64_peak_mib = 0;
};

constexpr size_t kLargeBytes = 10 << 20;

Pair cold_start(const Setup& setup, int repeats);
// Median and 99th percentile of `count` sequential small requests.
void latency(const Setup& setup, int count, Pair& median, Pair& p99);
Pair throughput(const Setup& setup, int in_flight, int count);
// Time of one large answer; fills the bridge's idle and large peaks.
Pair large_answer(const Setup& setup, int repeats, Figures& figures);
// The bridge's peak resident memory with 64 requests held at the application.
double in_flight_peak(const Setup& setup, int in_flight);

}  // namespace bench
