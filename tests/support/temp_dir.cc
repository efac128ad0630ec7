#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tallypad::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tallypad-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = std::string(made ? made : pattern.c_str()) + "/";
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(std::string_view name, std::string_view content) const {
  std::string full = File(name);
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  WriteFileText(full, content);
  return full;
}

std::string TempDir::Read(std::string_view name) const { return ReadFileText(File(name)); }

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileText(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace tallypad::testing
