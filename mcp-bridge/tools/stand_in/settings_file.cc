#include "stand_in/settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>

#include "fd.h"
#include "stand_in/message_json.h"

namespace stand_in {
namespace {

// A name no other writer uses, not even another server in this process.
std::string temporary_name(const std::string& dir) {
  static std::atomic<unsigned> counter{0};
  return dir + "/.mcp.json." + std::to_string(::getpid()) + "." + std::to_string(counter++) +
         ".tmp";
}

bool write_file(const std::string& path, const std::string& text) {
  bridge::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd) return false;
  for (std::string_view rest = text; !rest.empty();) {
    ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    rest.remove_prefix(n);
  }
  return ::close(fd.release()) == 0;
}

}  // namespace

bool write_settings_file(const std::string& dir, uint16_t port, const std::string& token,
                         std::optional<bool> enabled) {
  Json settings = Json::object();
  if (enabled) settings["enabled"] = *enabled;
  Json file = {{"port", port}, {"token", token}, {"settings", std::move(settings)}};
  std::string temporary = temporary_name(dir);
  if (write_file(temporary, serialize(file)) &&
      ::rename(temporary.c_str(), (dir + "/mcp.json").c_str()) == 0) {
    return true;
  }
  ::unlink(temporary.c_str());
  return false;
}

std::string random_token() {
  std::random_device source;
  std::string token;
  char digits[16];
  for (int i = 0; i < 4; ++i) {
    token.append(digits,
                 std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(source())));
  }
  return token;
}

}  // namespace stand_in
