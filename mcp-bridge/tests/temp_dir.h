// A fresh directory under the system's temporary directory for one test,
// removed with everything in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
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

  // Writes `text` as the whole content of `name` in the directory.
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path + "/" + name, std::ios::binary | std::ios::trunc) << text;
  }

  /// Empty when the directory could not be made.
  std::string path;
};

}  // namespace bridge
