// Whole-file reads and writes for tests that set up folders and check what
// ended up in them.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace corvane::testing {

// Writes `contents` to `file`, replacing it, with the folders above it made.
inline void writeFile(const std::filesystem::path& file, const std::string& contents) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
}

// The whole file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace corvane::testing
