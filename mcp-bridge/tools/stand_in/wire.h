// The HTTP bytes of the stand-in: reading request heads and building
// responses. Pure; no descriptor is touched here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "stand_in/request.h"

namespace stand_in {

// Fills request_line, method, target and headers of `request` from `head`
// (the bytes before CR LF CR LF). False when the request line lacks one of its
// three fields or a header line has no colon.
bool parse_head(std::string_view head, Request& request);

// The announced body length: 0 without a Content-Length header, nullopt when
// the header is not a plain decimal number or is repeated.
std::optional<size_t> content_length(const Request& request);

// A whole response that ends with "Connection: close": the body follows a
// Content-Length or, with `chunked`, is cut into several chunks.
std::string response(int status, std::string_view body, bool chunked);

// `body` in the chunked transfer coding, at least two chunks when it is not
// empty, ended by the last chunk of size 0.
std::string chunk(std::string_view body);

}  // namespace stand_in
