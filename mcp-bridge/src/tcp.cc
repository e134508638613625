#include "tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "io.h"
#include "platform.h"
#include "resources.h"

namespace bridge {
namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// No local port left (EADDRNOTAVAIL) is as local a shortage as no descriptor.
ConnectFailure failure_of(int error) {
  return is_resource_error(error) || error == EADDRNOTAVAIL ? ConnectFailure::kNoResources
                                                            : ConnectFailure::kNotConnected;
}

// The outcome of a connect that went on in the background.
int pending_error(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

std::optional<Fd> connect_loopback(uint16_t port, std::chrono::milliseconds limit,
                                   ConnectFailure* failure) {
  const Deadline deadline = deadline_after(limit);
  Fd fd(open_tcp_socket());
  if (!fd) {
    *failure = failure_of(errno);
    return std::nullopt;
  }
  const sockaddr_in address = loopback(port);
  int error = 0;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    // An interrupted connect goes on in the background, like one in progress.
    if (error == EINPROGRESS || error == EINTR) {
      error = wait_until(fd.get(), POLLOUT, deadline) == Wait::kReady ? pending_error(fd.get())
                                                                      : ETIMEDOUT;
    }
  }
  if (error == 0 && is_self_connection(fd.get())) error = ECONNREFUSED;
  if (error != 0) {
    *failure = failure_of(error);
    return std::nullopt;
  }
  return fd;
}

bool is_self_connection(int fd) {
  sockaddr_in local{}, peer{};
  socklen_t local_length = sizeof local, peer_length = sizeof peer;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0 ||
      ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
    return false;
  }
  return local.sin_port == peer.sin_port && local.sin_addr.s_addr == peer.sin_addr.s_addr;
}

}  // namespace bridge
