// Files of the server root that hold a form's settings, answers or reports
// and must never be sent to a browser as they are: the form configuration
// and validation files (with their passwords and checks), the data, index,
// XML and statistics files (respondents' answers), the report and mail
// templates (a report page would list the answers without asking for the
// report password), the ID file, the counter file and the mail outbox.
// The router asks before it serves a file, about the file it opened: a
// symbolic link or a hard link under a harmless name is the file it leads to.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_identity.h"

namespace tallypad {

// Most form configuration files looked at for the files they name; a root
// with more forms than this only has the first ones' files recognised
// (their extensions still protect the usual names).
inline constexpr size_t kMaxFormsScanned = 64;

// How often the set of private files looks whether the root, its forms'
// settings or the folders of their files changed.
inline constexpr std::chrono::seconds kPrivateFilesCheckInterval{1};

// The private files of one server root, told by their identity (device and
// inode), so that a hard link or a symbolic link under a harmless name is
// the file it leads to. The set is made once, from the root's forms and the
// files their settings name, and made again when the root folder, a form's
// settings or a folder holding a private file changed (looked at no more
// than once per kPrivateFilesCheckInterval). Used on one thread.
class PrivateFileSet {
 public:
  explicit PrivateFileSet(std::string server_root);

  // True when the file `identity`, asked for as `path` (relative to the
  // root; `real_path`, where it was resolved, is where it really lies),
  // holds a form's settings, answers or reports: by an extension of either
  // name, or by being one of the private files under whatever name.
  bool Holds(std::string_view path, std::string_view real_path, const FileIdentity& identity);

 private:
  // A folder or file whose change makes the set anew, as it was seen.
  struct Watched {
    std::string path;
    std::optional<std::array<int64_t, 7>> state;  // nullopt: it did not exist
  };
  static Watched Watch(std::string path);
  static bool Changed(const Watched& w);
  void Refresh();
  void Build();

  std::string root_;
  std::vector<FileIdentity> identities_;
  std::vector<Watched> watched_;
  bool built_ = false;
  std::chrono::steady_clock::time_point checked_{};
};

// True when `file`, opened as `path` (relative to `server_root`, which ends
// in '/'), holds a form's settings, answers or reports. Makes the set anew:
// the router keeps a PrivateFileSet instead.
bool IsPrivateFormFile(const std::string& server_root, std::string_view path,
                       const OpenedFile& file);

}  // namespace tallypad
