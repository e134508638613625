#include "path.h"

namespace bridge {

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  size_t begin = 0;
  if (!path.empty() && path.front() == '/') {
    components.push_back(path.substr(0, 1));
    begin = 1;
  }
  while (begin <= path.size()) {
    size_t end = path.find('/', begin);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view piece = path.substr(begin, end - begin);
    // "." only means something as the first thing of a relative path.
    const bool leading_dot = piece == "." && begin == 0;
    if (!piece.empty() && (piece != "." || leading_dot)) components.push_back(piece);
    begin = end + 1;
  }
  return components;
}

std::optional<std::string_view> parent_path(std::string_view path) {
  const auto components = path_components(path);
  if (components.empty() || components.back() == "/") return std::nullopt;
  if (components.size() == 1) return path.substr(0, 0);
  const std::string_view previous = components[components.size() - 2];
  return path.substr(0, static_cast<size_t>(previous.data() + previous.size() - path.data()));
}

std::optional<std::string_view> file_name(std::string_view path) {
  const auto components = path_components(path);
  if (components.empty()) return std::nullopt;
  const std::string_view last = components.back();
  if (last == "/" || last == "." || last == "..") return std::nullopt;
  return last;
}

std::optional<std::string_view> extension(std::string_view path) {
  const auto name = file_name(path);
  if (!name) return std::nullopt;
  const size_t dot = name->rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name->substr(dot + 1);
}

bool same_path(std::string_view a, std::string_view b) {
  return path_components(a) == path_components(b);
}

}  // namespace bridge
