// A fresh directory under the system's temporary directory for one test,
// removed with everything in it at the end.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace bridge {

struct TempDir {
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bridge-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes `text` as the whole content of `name` in the directory, making
  // the directories on the way; with `executable`, mode 0755.
  void write(const std::string& name, const std::string& text, bool executable = false) const {
    const std::filesystem::path file = std::filesystem::path(path) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    if (executable) ::chmod(file.c_str(), 0755);
  }

  // The whole content of `name`, empty when it cannot be read.
  std::string read(const std::string& name) const {
    std::ifstream in(std::filesystem::path(path) / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  /// Empty when the directory could not be made.
  std::string path;
};

}  // namespace bridge
