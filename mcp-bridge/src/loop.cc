#include "loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "readiness.h"
#include "text.h"

namespace bridge {
namespace {

// Splits a descriptor into lines ending in "\n" or "\r\n"; a last line without
// a line feed counts too. Lines have no length limit.
class LineReader {
 public:
  enum class Status { kLine, kEnd };

  explicit LineReader(int fd) : fd_(fd) {}

  // On kLine, `line` stays valid until the next call.
  Status next(std::string_view& line) {
    consume();
    for (;;) {
      const char* base = buffer_.get() + begin_;
      const size_t unread = end_ - begin_;
      // No search in an empty buffer: before the first read it has no block.
      const void* lf =
          unread > scanned_ ? std::memchr(base + scanned_, '\n', unread - scanned_) : nullptr;
      if (lf != nullptr) {
        const size_t length = static_cast<const char*>(lf) - base;
        next_begin_ = begin_ + length + 1;
        line = strip_cr(std::string_view(base, length));
        return Status::kLine;
      }
      scanned_ = unread;
      if (!fill()) {
        if (unread == 0) return Status::kEnd;
        next_begin_ = end_;
        line = strip_cr(std::string_view(buffer_.get() + begin_, unread));
        return Status::kLine;
      }
    }
  }

 private:
  static std::string_view strip_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

  // Drops the line handed out last; moves what is left to the front once the
  // consumed part dominates, so that the buffer stays linear in the longest
  // line. The room a very long line needed is given back once it is gone.
  void consume() {
    begin_ = next_begin_;
    scanned_ = 0;
    if (begin_ == 0 || begin_ < end_ / 2) return;
    const size_t left = end_ - begin_;
    std::memmove(buffer_.get(), buffer_.get() + begin_, left);
    begin_ = next_begin_ = 0;
    end_ = left;
    if (capacity_ > kKeptRoom && end_ <= kKeptRoom / 2) move_to_room(kKeptRoom);
  }

  // Moves the unread input into a block of `capacity` bytes, which is not
  // cleared: only what reads fill is ever touched.
  void move_to_room(size_t capacity) {
    auto room = std::make_unique_for_overwrite<char[]>(capacity);
    std::copy_n(buffer_.get(), end_, room.get());
    buffer_ = std::move(room);
    capacity_ = capacity;
  }

  // Appends what the descriptor has; false at end of input or on a failed
  // read. The room doubles when a line outgrows it, and is never cleared
  // before a read: only end_ tells how much of it holds input.
  bool fill() {
    if (eof_) return false;
    if (capacity_ - end_ < kChunk) move_to_room(std::max(2 * capacity_, end_ + kChunk));
    ssize_t n;
    // A host may hand input over non-blocking: "nothing yet" is no end.
    do {
      n = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    } while (n < 0 && (errno == EINTR || (would_block(errno) && wait_until_ready(fd_, POLLIN))));
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    end_ += static_cast<size_t>(n);
    return true;
  }

  static constexpr size_t kChunk = 64 * 1024;
  /// Room kept after a long line has been handed out.
  static constexpr size_t kKeptRoom = 1024 * 1024;
  const int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t begin_ = 0;       // first byte of the current line
  size_t next_begin_ = 0;  // first byte after the current line
  size_t end_ = 0;         // first byte not yet read
  size_t scanned_ = 0;     // bytes after begin_ known to hold no line feed
  bool eof_ = false;
};

struct Worker {
  std::thread thread;
  /// Set by the worker as its very last step.
  std::shared_ptr<std::atomic<bool>> finished;
};

[[noreturn]] void die(const char* what, const char* reason) {
  std::fprintf(stderr, "mcp-bridge: %s: %s\n", what, reason);
  std::_Exit(101);
}

// Runs `forward` and writes its reply. Anything thrown is the fatal error of
// this one message, except exhausted memory, which ends the process.
void forward_and_reply(const Forwarder& forward, Output& output, const Json& message,
                       size_t line_size) {
  std::optional<Reply> reply = forward(message, line_size);
  if (reply) write_line(output, reply->value, reply->expected_size);
}

void run_worker(Forwarder forward, std::shared_ptr<Output> output, Json message, size_t line_size,
                std::shared_ptr<std::atomic<bool>> finished) {
  try {
    forward_and_reply(forward, *output, message, line_size);
  } catch (const std::bad_alloc&) {
    std::abort();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mcp-bridge: %s\n", e.what());
  }
  // Release the message and both references before counting as finished.
  message = Json();
  forward = nullptr;
  output.reset();
  finished->store(true, std::memory_order_release);
}

// Removes finished workers in one pass, keeping the order of the rest.
void prune(std::vector<Worker>& workers) {
  std::erase_if(workers, [](Worker& w) {
    if (!w.finished->load(std::memory_order_acquire)) return false;
    w.thread.detach();
    return true;
  });
}

bool runs_inline(const Json& message) {
  const auto method = message.find("method");
  if (method != message.end() && method->is_string() &&
      method->get_ref<const std::string&>() == "initialize") {
    return true;
  }
  return !message.contains("id");
}

}  // namespace

int run_loop(int input_fd, std::shared_ptr<Output> output, Forwarder forward) {
  std::vector<Worker> workers;
  LineReader reader(input_fd);
  std::string_view line;
  while (reader.next(line) == LineReader::Status::kLine) {
    // The reader checks UTF-8 itself, so a line is looked at again only when
    // it fails: invalid UTF-8 ends reading, a blank line goes unanswered.
    std::optional<Json> message = parse_json(line);
    if (!message) {
      if (!valid_utf8(line)) break;
      if (trim_white_space(line).empty()) continue;
    }
    if (!message || !message->is_object()) {
      write_line(*output, parse_error_reply());
      continue;
    }
    if (runs_inline(*message)) {
      try {
        forward_and_reply(forward, *output, *message, line.size());
      } catch (const std::exception& e) {
        die("fatal error", e.what());
      }
      continue;
    }
    prune(workers);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
      std::thread thread(run_worker, forward, output, std::move(*message), line.size(), finished);
      workers.push_back({std::move(thread), std::move(finished)});
    } catch (const std::system_error& e) {
      die("failed to spawn thread", e.code().message().c_str());
    }
  }
  for (Worker& worker : workers) worker.thread.join();
  return 0;
}

}  // namespace bridge
