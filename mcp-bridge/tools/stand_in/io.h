// The stand-in's socket work on one accepted connection. Every call blocks
// without a time limit of its own only where the server can end it: shutting
// the connection down wakes each of them at once.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

#include "stand_in/request.h"

namespace stand_in {

enum class Receipt {
  kNothing,    // the peer closed or failed before a whole head arrived
  kCutShort,   // head read, but the peer closed before the whole body
  kBadHead,    // the head does not parse
  kBadLength,  // Content-Length is not a number or too large; body not read
  kComplete,
};

// Reads one request: the head up to CR LF CR LF, then as many body bytes as
// Content-Length announces. Fills `request` as far as it got.
Receipt read_request(int fd, Request& request);

// Watches the connection for `duration`, or until the peer closes it when
// `duration` is nullopt. True as soon as the peer has closed the connection
// or it failed; bytes the peer sends meanwhile are read and dropped.
bool peer_closes_within(int fd, std::optional<std::chrono::milliseconds> duration);

// Writes all of `bytes`; false when the connection fails first.
bool send_all(int fd, std::string_view bytes);

// Ends our side of the connection and lets the peer read to the end of the
// stream before the descriptor is closed, so that unread input cannot turn
// the close into a reset that would destroy the answer in flight.
void finish_sending(int fd);

}  // namespace stand_in
