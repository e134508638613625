// A move-only owner of one file descriptor. With duplicated sockets a double
// close could close a number that another thread has just been given, so every
// descriptor the bridge opens lives in exactly one of these.
#pragma once

#include <unistd.h>

#include <utility>

namespace bridge {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  /// The descriptor, or -1 when nothing is owned.
  int fd_ = -1;
};

}  // namespace bridge
