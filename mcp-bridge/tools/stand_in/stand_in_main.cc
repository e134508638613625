// stand-in-app --dir DIR [--port N] [--token T] [--chunked]
//
// Runs the stand-in application until SIGTERM or SIGINT: serves on
// 127.0.0.1, writes DIR/mcp.json for the bridge to find it, and reports the
// port on standard error.
#include <signal.h>
#include <sys/resource.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "stand_in/stand_in.h"

namespace {

struct Arguments {
  std::string dir;
  stand_in::Options options;
};

bool parse_port(std::string_view text, uint16_t& port) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size();
}

// False, after saying why, when the command line is not usable.
bool parse_arguments(int argc, char** argv, Arguments& out) {
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    bool has_value = i + 1 < argc;
    if (flag == "--chunked") {
      out.options.chunked = true;
    } else if (flag == "--dir" && has_value) {
      out.dir = argv[++i];
    } else if (flag == "--token" && has_value) {
      out.options.token = argv[++i];
    } else if (flag == "--port" && has_value && parse_port(argv[i + 1], out.options.port)) {
      ++i;
    } else {
      std::fprintf(stderr, "stand-in-app: bad argument: %s\n", argv[i]);
      return false;
    }
  }
  if (out.dir.empty()) std::fprintf(stderr, "stand-in-app: --dir is required\n");
  return !out.dir.empty();
}

// Stress runs open a thousand connections at once; take every descriptor
// the hard limit allows.
void raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!parse_arguments(argc, argv, arguments)) {
    std::fprintf(stderr, "usage: stand-in-app --dir DIR [--port N] [--token T] [--chunked]\n");
    return 2;
  }
  raise_descriptor_limit();
  // Blocked before any thread starts, so that every thread inherits the mask
  // and the signals wait for sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string error;
  auto server = stand_in::Server::start(std::move(arguments.options), &error);
  if (!server) {
    std::fprintf(stderr, "stand-in-app: %s\n", error.c_str());
    return 1;
  }
  if (!server->write_settings(arguments.dir, true)) {
    std::fprintf(stderr, "stand-in-app: cannot write %s/mcp.json: %s\n", arguments.dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "listening on 127.0.0.1:%u\n", static_cast<unsigned>(server->port()));
  int received = 0;
  sigwait(&stop_signals, &received);
  server->stop();
  return 0;
}
