// A temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>
#include <string_view>

namespace tallypad::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder's path, ending in '/'.
  const std::string& path() const { return path_; }
  // Path of `name` inside the folder.
  std::string File(std::string_view name) const { return path_ + std::string(name); }
  // Writes `content` to `name` (creating sub-folders) and returns its path.
  std::string Write(std::string_view name, std::string_view content) const;
  // Returns the content of `name`, or "" when it cannot be read.
  std::string Read(std::string_view name) const;

 private:
  std::string path_;
};

// Returns the whole content of the file at `path` ("" when unreadable).
std::string ReadFileText(const std::string& path);
// Writes `content` to `path`.
void WriteFileText(const std::string& path, std::string_view content);

}  // namespace tallypad::testing
