#include "floor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <memory>

namespace bench {

long long exchange(uint16_t port, std::string_view body) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string head = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\nAuthorization: Bearer t\r\nContent-Type: application/json\r\n"
                           "Accept: application/json, text/event-stream\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  iovec pieces[] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(body.data()), body.size()}};
  long long result = -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::writev(fd, pieces, 2) == static_cast<ssize_t>(head.size() + body.size())) {
    // The whole response is kept, as a client that parses it would.
    std::string received;
    size_t size = 0;
    for (;;) {
      if (received.size() - size < 65536) received.resize(std::max<size_t>(2 * size, 1 << 16));
      const ssize_t n = ::read(fd, received.data() + size, received.size() - size);
      if (n <= 0) {
        if (n == 0) {
          const size_t end = std::string_view(received.data(), size).find("\r\n\r\n");
          if (end != std::string_view::npos) result = static_cast<long long>(size - end - 4);
        }
        break;
      }
      size += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return result;
}

}  // namespace bench
