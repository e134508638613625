// The benchmark's measurements, each done once directly over HTTP (the floor)
// and once through the real bridge binary, against the same fast application.
#pragma once

#include <cstdint>
#include <string>

#include "fast_app.h"

namespace bench {

struct Setup {
  std::string bridge;        // path of the binary
  std::string settings_dir;  // holds mcp.json naming the application
  uint16_t port = 0;
  const FastApp* app = nullptr;
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
  Pair objects_ms;    // one 10 MB answer of small objects
  Pair upload_ms;     // one 10 MB line from the host until the application has it
  double large_peak_mib = 0, objects_peak_mib = 0, upload_peak_mib = 0;
  double idle_peak_mib = 0, in_flight_64_peak_mib = 0;
  // One 30 MB answer of empty objects, [{},{},...], the most values per byte.
  double empties_peak_mib = 0;
  // The bridge's minor page faults per request: small ones one at a time and
  // 64 in flight, and each kind of 10 MB message after the first of its kind.
  double faults_small = 0, faults_64 = 0, faults_large = 0, faults_objects = 0, faults_upload = 0;
};

constexpr size_t kLargeBytes = 10 << 20;

Pair cold_start(const Setup& setup, int repeats);
// Median and 99th percentile of `count` sequential small requests; `faults`
// gets the bridge's minor faults per request.
void latency(const Setup& setup, int count, Pair& median, Pair& p99, double& faults);
// Requests per second; `faults` gets the bridge's minor faults per request.
Pair throughput(const Setup& setup, int in_flight, int count, double& faults);
// Time of one 10 MB answer from the tool `tool` ("large" or "objects"), on a
// bridge of its own; gives its peak and faults per answer, and `idle_peak`
// the bridge's peak before the first.
Pair large_answer(const Setup& setup, const char* tool, int repeats, double& peak, double& faults,
                  double* idle_peak);
// Time from the first byte of a 10 MB line until the application has the
// whole request, against a direct POST of the same body.
Pair large_request(const Setup& setup, int repeats, double& peak, double& faults);
// The bridge's peak resident memory with 64 requests held at the application.
double in_flight_peak(const Setup& setup, int in_flight);

}  // namespace bench
