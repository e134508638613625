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

#include "io.h"
#include "text.h"

namespace bridge {
namespace {

// Splits a descriptor into lines ending in "\n" or "\r\n"; a last line without
// a line feed counts too. Lines have no length limit but memory.
class LineReader {
 public:
  enum class Status {
    kLine,
    /// End of input, or a read that failed: a line cut off by the failure is
    /// dropped, never taken for a whole one.
    kEnd,
    /// A line too long for the memory the bridge could get, skipped through
    /// its line feed.
    kTooLong,
  };

  explicit LineReader(int fd) : fd_(fd) {}

  // On kLine, `line` stays valid until the next call.
  Status next(std::string_view& line) {
    consume();
    for (;;) {
      const char* base = buffer_.data.get() + begin_;
      const size_t unread = buffer_.size - begin_;
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
      switch (fill()) {
        case Fill::kMore: continue;
        case Fill::kFailed:
          buffer_.size = begin_;
          return Status::kEnd;
        case Fill::kNoMemory: skip_rest_of_line(); return Status::kTooLong;
        case Fill::kEnd:
          if (unread == 0) return Status::kEnd;
          // The read may have moved the bytes to a larger block.
          next_begin_ = buffer_.size;
          line = strip_cr(std::string_view(buffer_.data.get() + begin_, unread));
          return Status::kLine;
      }
    }
  }

 private:
  enum class Fill { kMore, kEnd, kFailed, kNoMemory };

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
    if (begin_ == 0 || begin_ < buffer_.size / 2) return;
    const size_t left = buffer_.size - begin_;
    std::memmove(buffer_.data.get(), buffer_.data.get() + begin_, left);
    begin_ = next_begin_ = 0;
    buffer_.size = left;
    if (buffer_.capacity > kKeptRoom && buffer_.size <= kKeptRoom / 2) {
      move_to_block(buffer_, kKeptRoom);  // without the memory, the large block stays
    }
  }

  // Reads once with `read`, waiting while an input handed over non-blocking
  // has nothing yet: that is no end.
  template <typename Read>
  IoResult read_waiting(Read read) {
    for (;;) {
      const IoResult got = read();
      if (got.status != Io::kWouldBlock) return got;
      if (wait_until(fd_, POLLIN, std::nullopt) != Wait::kReady) return {};
    }
  }

  // Appends what the descriptor has. The room doubles when a line outgrows
  // it, and is never cleared before a read: only the buffer's size tells how
  // much of it holds input.
  Fill fill() {
    if (eof_) return Fill::kEnd;
    const IoResult got = read_waiting([&] { return read_into(fd_, buffer_, kChunk); });
    switch (got.status) {
      case Io::kMoved: return Fill::kMore;
      case Io::kNoMemory: return Fill::kNoMemory;
      case Io::kEnd: eof_ = true; return Fill::kEnd;
      case Io::kWouldBlock:
      case Io::kFailed: break;
    }
    eof_ = true;
    return Fill::kFailed;
  }

  // Reads on through the line feed of a line that could not be held, through
  // a small block of its own, and keeps what follows the line feed.
  void skip_rest_of_line() {
    buffer_.size = 0;
    begin_ = next_begin_ = scanned_ = 0;
    char scratch[4096];
    for (;;) {
      const IoResult got = read_waiting([&] { return read_once(fd_, scratch, sizeof scratch); });
      if (got.status != Io::kMoved) {
        eof_ = true;
        return;
      }
      const auto* lf = static_cast<const char*>(std::memchr(scratch, '\n', got.bytes));
      if (lf == nullptr) continue;
      const size_t rest = got.bytes - static_cast<size_t>(lf + 1 - scratch);
      // Without even that little memory the next line loses its start, and
      // gets the parse error in its turn.
      if (make_room(buffer_, rest)) {
        std::memcpy(buffer_.data.get(), lf + 1, rest);
        buffer_.size = rest;
      }
      return;
    }
  }

  static constexpr size_t kChunk = 64 * 1024;
  /// Room kept after a long line has been handed out.
  static constexpr size_t kKeptRoom = 1024 * 1024;
  const int fd_;
  ByteBuffer buffer_;
  size_t begin_ = 0;       // first byte of the current line
  size_t next_begin_ = 0;  // first byte after the current line
  size_t scanned_ = 0;     // bytes after begin_ known to hold no line feed
  bool eof_ = false;
};

struct Worker {
  std::thread thread;
  /// Set by the worker as its very last step.
  std::shared_ptr<std::atomic<bool>> finished;
};

// What one worker thread owns. The reading thread keeps its own reference
// until the thread has started, so that a message whose thread could not be
// started is still at hand to be answered.
struct Job {
  Forwarder forwarder;
  std::shared_ptr<Output> output;
  Json message;
  std::shared_ptr<std::atomic<bool>> finished;
};

[[noreturn]] void die(const char* what, const char* reason) {
  std::fprintf(stderr, "mcp-bridge: %s: %s\n", what, reason);
  std::_Exit(101);
}

// How answering one message came out.
enum class Answered {
  kDone,
  /// Memory ran out for this message: it alone goes without its reply.
  kOutOfMemory,
  /// A fatal error, such as a lock found broken; `failure` tells it.
  kFailed,
};

// Runs `step`, which makes the reply to write, if any, and writes it.
template <typename Step>
Answered answer(Output& output, Step step, std::string& failure) {
  try {
    const std::optional<Json> reply = step();
    if (reply) write_line(output, *reply);
    return Answered::kDone;
  } catch (const std::bad_alloc&) {
    failure = "out of memory";
    return Answered::kOutOfMemory;
  } catch (const std::exception& e) {
    failure = e.what();
    return Answered::kFailed;
  }
}

void run_worker(std::shared_ptr<Job> job) {
  std::string failure;
  const auto forward = [&] { return job->forwarder.forward(job->message); };
  if (answer(*job->output, forward, failure) != Answered::kDone) {
    std::fprintf(stderr, "mcp-bridge: %s\n", failure.c_str());
  }
  // Release the message and both references before counting as finished.
  const auto finished = std::move(job->finished);
  job->message = Json();
  job->forwarder = Forwarder();
  job->output.reset();
  job.reset();
  finished->store(true, std::memory_order_release);
}

// Removes finished workers in one pass, keeping the order of the rest. Their
// threads are let go first, in a pass of their own.
void prune(std::vector<Worker>& workers) {
  for (Worker& worker : workers) {
    if (worker.finished->load(std::memory_order_acquire)) worker.thread.detach();
  }
  std::erase_if(workers, [](const Worker& worker) { return !worker.thread.joinable(); });
}

// Starts a worker thread for `message` and adds it to `workers`; false, the
// message untouched, when the thread cannot be started (a thread or memory
// limit of the process or the system).
bool start_worker(std::vector<Worker>& workers, const Forwarder& forwarder,
                  const std::shared_ptr<Output>& output, Json& message) {
  try {
    workers.reserve(workers.size() + 1);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    auto job = std::make_shared<Job>(Job{forwarder, output, Json(), finished});
    job->message = std::move(message);
    try {
      workers.push_back({std::thread(run_worker, job), std::move(finished)});
      return true;
    } catch (...) {
      message = std::move(job->message);
      throw;
    }
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  return false;
}

bool runs_inline(const Json& message) {
  const JsonValue* method = member(&message.root, "method");
  if (method != nullptr && method->is_string() && method->string() == "initialize") return true;
  return member(&message.root, "id") == nullptr;
}

// What an input line holds.
enum class LineKind { kObject, kNotAnObject, kBlank, kNotUtf8 };

// Reads `line`; `message` holds the object for kObject. A line too large for
// the memory at hand counts as not an object: the parse error answers it.
LineKind read_line(std::string_view line, std::optional<Json>& message) {
  try {
    message = parse_json(line);
  } catch (const std::bad_alloc&) {
    message.reset();
    return LineKind::kNotAnObject;
  }
  if (message) return message->root.is_object() ? LineKind::kObject : LineKind::kNotAnObject;
  // The reader checks UTF-8 itself, so a line is looked at again only when
  // it fails: invalid UTF-8 ends reading, a blank line goes unanswered.
  if (!valid_utf8(line)) return LineKind::kNotUtf8;
  return trim_white_space(line).empty() ? LineKind::kBlank : LineKind::kNotAnObject;
}

}  // namespace

int run_loop(int input_fd, std::shared_ptr<Output> output, Forwarder forwarder) {
  std::vector<Worker> workers;
  LineReader reader(input_fd);
  std::string_view line;
  for (;;) {
    const LineReader::Status status = reader.next(line);
    if (status == LineReader::Status::kEnd) break;
    std::optional<Json> message;
    const LineKind kind =
        status == LineReader::Status::kTooLong ? LineKind::kNotAnObject : read_line(line, message);
    if (kind == LineKind::kNotUtf8) break;
    if (kind == LineKind::kBlank) continue;
    if (kind == LineKind::kNotAnObject) {
      write_line(*output, parse_error_reply());
      continue;
    }
    if (forwarder.admit) forwarder.admit(*message);
    std::string failure;
    if (runs_inline(*message)) {
      const auto forward = [&] { return forwarder.forward(*message); };
      if (answer(*output, forward, failure) == Answered::kFailed) die("fatal error", failure.c_str());
      continue;
    }
    prune(workers);
    if (!start_worker(workers, forwarder, output, *message) && forwarder.refuse) {
      answer(*output, [&] { return forwarder.refuse(*message); }, failure);
    }
  }
  for (Worker& worker : workers) worker.thread.join();
  return 0;
}

}  // namespace bridge
