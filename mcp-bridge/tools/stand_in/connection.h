// Serving one accepted connection, from reading the request to closing.
#pragma once

#include <atomic>

#include "stand_in/endpoint.h"
#include "stand_in/request_log.h"
#include "stand_in/stand_in.h"

namespace stand_in {

// Reads one request from `fd`, records it in `log`, answers as `options` and
// `endpoint` say, and marks the request closed early when the peer went away
// first. `stopping` tells the server's own shutdown of the connection apart
// from the peer's close. The caller closes `fd`.
void serve(int fd, const Options& options, const Endpoint& endpoint, RequestLog& log,
           const std::atomic<bool>& stopping);

}  // namespace stand_in
