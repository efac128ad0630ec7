#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "base/file.h"
#include "base/str.h"
#include "platform/atomic_file.h"

namespace tallypad {

namespace {

struct RegValue {
  std::string name;
  bool is_dword = false;
  std::string text;     // string values
  uint32_t number = 0;  // 32-bit values
};

struct RegKey {
  std::string path;  // as first written, without leading or trailing '\'
  std::vector<RegValue> values;
};

// The contents of one root's file.
struct Hive {
  std::vector<RegKey> keys;
};

struct RootFile {
  const char* file_name;
  const char* title;
};

// One row per RegistryRoot, in enum order.
constexpr RootFile kRootFiles[] = {
    {"local_machine", "local machine"},
    {"current_user", "current user"},
    {"classes_root", "classes root"},
};

const RootFile& RootInfo(RegistryRoot root) { return kRootFiles[static_cast<int>(root)]; }

// Key paths are given with or without surrounding backslashes.
std::string_view NormalizeKey(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  return key;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Writes `s` so that it survives the line format: '%', control bytes, bytes
// in `special`, leading and trailing blanks, and (with `guard_first`) a
// first byte that would start a key or comment line become %XX.
std::string Escape(std::string_view s, std::string_view special, bool guard_first) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool edge = (i == 0 || i + 1 == s.size()) && c == ' ';
    bool first = guard_first && i == 0 && (c == '[' || c == ';' || c == '#');
    if (c == '%' || c < 0x20 || c == 0x7f || edge || first ||
        special.find(static_cast<char>(c)) != std::string_view::npos) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Parses a decimal or 0x-prefixed hexadecimal 32-bit number.
std::optional<uint32_t> ParseNumber(std::string_view s) {
  s = TrimBlanks(s);
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0 || d >= base) return std::nullopt;
    value = value * base + d;
    if (value > 0xffffffffULL) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

RegKey* FindKey(Hive& hive, std::string_view path) {
  for (RegKey& k : hive.keys)
    if (StrEqualNoCase(k.path, path)) return &k;
  return nullptr;
}

RegValue* FindValue(RegKey& key, std::string_view name) {
  for (RegValue& v : key.values)
    if (StrEqualNoCase(v.name, name)) return &v;
  return nullptr;
}

bool HasSubkeys(const Hive& hive, std::string_view path) {
  for (const RegKey& k : hive.keys)
    if (k.path.size() > path.size() + 1 && k.path[path.size()] == '\\' &&
        StrStartsNoCase(k.path, path))
      return true;
  return false;
}

RegKey& CreateKey(Hive& hive, std::string_view path) {
  if (RegKey* k = FindKey(hive, path)) return *k;
  hive.keys.push_back(RegKey{std::string(path), {}});
  return hive.keys.back();
}

void SetValue(RegKey& key, RegValue value) {
  if (RegValue* v = FindValue(key, value.name)) {
    value.name = v->name;  // keep the spelling first written
    *v = std::move(value);
  } else {
    key.values.push_back(std::move(value));
  }
}

// Reads one line of the file into the hive; lines that do not parse (a
// person's typing mistakes) are skipped.
void ParseLine(std::string_view line, Hive& hive, RegKey** current) {
  line = TrimBlanks(line);
  if (line.empty() || line.front() == ';' || line.front() == '#') return;
  if (line.front() == '[') {
    size_t close = line.find(']');
    *current = nullptr;
    if (close == std::string_view::npos) return;
    std::string path = Unescape(TrimBlanks(line.substr(1, close - 1)));
    std::string_view normal = NormalizeKey(path);
    if (!normal.empty()) *current = &CreateKey(hive, normal);
    return;
  }
  if (!*current) return;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return;
  std::string_view rest = TrimBlanks(line.substr(eq + 1));
  size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return;
  std::string_view type = TrimBlanks(rest.substr(0, colon));
  RegValue value;
  value.name = Unescape(TrimBlanks(line.substr(0, eq)));
  if (StrEqualNoCase(type, "string")) {
    value.text = Unescape(rest.substr(colon + 1));
  } else if (StrEqualNoCase(type, "dword")) {
    std::optional<uint32_t> n = ParseNumber(rest.substr(colon + 1));
    if (!n) return;
    value.is_dword = true;
    value.number = *n;
  } else {
    return;
  }
  SetValue(**current, std::move(value));
}

Hive ParseHive(const std::string& text) {
  Hive hive;
  RegKey* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // `current` stays valid: keys are only added by the line that makes
    // the added key current.
    ParseLine(std::string_view(text).substr(start, end - start), hive, &current);
    start = end + 1;
  }
  return hive;
}

std::string SerializeHive(const Hive& hive, RegistryRoot root) {
  std::string out = "; Tallypad registry, ";
  out += RootInfo(root).title;
  out +=
      ".\n"
      "; Each [key] line starts a key; each line after it is one value of that key:\n"
      "; name=string:text or name=dword:number. An empty name is the key's default\n"
      "; value. %XX stands for the byte with hexadecimal code XX.\n";
  for (const RegKey& k : hive.keys) {
    out += "\n[" + Escape(k.path, "]", false) + "]\n";
    for (const RegValue& v : k.values) {
      out += Escape(v.name, "=", true);
      if (v.is_dword) {
        out += "=dword:" + std::to_string(v.number) + "\n";
      } else {
        out += "=string:" + Escape(v.text, {}, false) + "\n";
      }
    }
  }
  return out;
}

// Reads the root's file; a missing file is an empty hive. False when the
// file exists but cannot be read.
bool LoadHive(RegistryRoot root, Hive* hive) {
  std::string path = RegistryFilePath(root);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *hive = Hive{};
    std::error_code error;
    return !std::filesystem::exists(path, error) && !error;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return false;
  *hive = ParseHive(text.str());
  return true;
}

// Holds the root's advisory lock (a separate lock file, since the data file
// itself is replaced by rename on every change).
class HiveLock {
 public:
  explicit HiveLock(RegistryRoot root) {
    std::string path = RegistryFolder() + "/" + RootInfo(root).file_name + ".lock";
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_.valid()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRegistryLockWaitMs);
    auto pause = std::chrono::microseconds(200);
    while (true) {
      if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) return;
      if (std::chrono::steady_clock::now() >= deadline) return;
      std::this_thread::sleep_for(pause);
      if (pause < std::chrono::milliseconds(10)) pause *= 2;
    }
  }
  ~HiveLock() {
    if (locked_) ::flock(fd_.get(), LOCK_UN);
  }
  HiveLock(const HiveLock&) = delete;
  HiveLock& operator=(const HiveLock&) = delete;

  bool locked() const { return locked_; }

 private:
  UniqueFd fd_;
  bool locked_ = false;
};

// Runs `change` on the root's contents under the lock and writes the result
// back when `change` returns kRegistryOk and reports a change.
int ModifyHive(RegistryRoot root, const std::function<int(Hive&, bool* changed)>& change,
               Durability durability = Durability::kOnDisk) {
  std::error_code ignored;
  std::filesystem::create_directories(RegistryFolder(), ignored);
  HiveLock lock(root);
  if (!lock.locked()) return kRegistryFailed;
  Hive hive;
  if (!LoadHive(root, &hive)) return kRegistryFailed;
  bool changed = false;
  int rc = change(hive, &changed);
  if (rc != kRegistryOk || !changed) return rc;
  return AtomicWriteFile(RegistryFilePath(root), SerializeHive(hive, root), durability)
             ? kRegistryOk
             : kRegistryFailed;
}

// Finds a value for reading, without taking the lock: every change replaces
// the file whole, so a reader always sees a complete state.
std::optional<RegValue> ReadValue(RegistryRoot root, std::string_view key, std::string_view name) {
  key = NormalizeKey(key);
  Hive hive;
  if (key.empty() || !LoadHive(root, &hive)) return std::nullopt;
  RegKey* k = FindKey(hive, key);
  if (!k) return std::nullopt;
  RegValue* v = FindValue(*k, name);
  if (!v) return std::nullopt;
  return *v;
}

int SetOne(RegistryRoot root, std::string_view key, RegValue value) {
  key = NormalizeKey(key);
  if (key.empty()) return kRegistryBadKey;
  return ModifyHive(root, [&](Hive& hive, bool* changed) {
    SetValue(CreateKey(hive, key), value);
    *changed = true;
    return kRegistryOk;
  });
}

}  // namespace

std::string RegistryFolder() {
  if (const char* folder = std::getenv("TALLYPAD_REGISTRY"); folder && *folder) return folder;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
    return std::string(config) + "/tallypad/registry";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/tallypad/registry";
}

std::string RegistryFilePath(RegistryRoot root) {
  return RegistryFolder() + "/" + RootInfo(root).file_name + ".txt";
}

std::optional<std::string> RegistryGetString(RegistryRoot root, std::string_view key,
                                             std::string_view name) {
  std::optional<RegValue> v = ReadValue(root, key, name);
  if (!v || v->is_dword) return std::nullopt;
  return v->text;
}

std::optional<uint32_t> RegistryGetDword(RegistryRoot root, std::string_view key,
                                         std::string_view name) {
  std::optional<RegValue> v = ReadValue(root, key, name);
  if (!v || !v->is_dword) return std::nullopt;
  return v->number;
}

int RegistrySetString(RegistryRoot root, std::string_view key, std::string_view name,
                      std::string_view value) {
  return SetOne(root, key, RegValue{std::string(name), false, std::string(value), 0});
}

int RegistrySetDword(RegistryRoot root, std::string_view key, std::string_view name,
                     uint32_t value) {
  return SetOne(root, key, RegValue{std::string(name), true, std::string(), value});
}

int RegistryUpdateDword(RegistryRoot root, std::string_view key, std::string_view name,
                        const std::function<uint32_t(std::optional<uint32_t> old)>& fn,
                        uint32_t* result, Durability durability) {
  key = NormalizeKey(key);
  if (key.empty()) return kRegistryBadKey;
  return ModifyHive(
      root,
      [&](Hive& hive, bool* changed) {
        RegKey& k = CreateKey(hive, key);
        std::optional<uint32_t> old;
        if (RegValue* v = FindValue(k, name); v && v->is_dword) old = v->number;
        uint32_t now = fn(old);
        SetValue(k, RegValue{std::string(name), true, std::string(), now});
        if (result) *result = now;
        *changed = true;
        return kRegistryOk;
      },
      durability);
}

int RegistryDeleteValue(RegistryRoot root, std::string_view key, std::string_view name) {
  key = NormalizeKey(key);
  if (key.empty()) return kRegistryBadKey;
  return ModifyHive(root, [&](Hive& hive, bool* changed) {
    RegKey* k = FindKey(hive, key);
    if (!k) return kRegistryNotFound;
    for (auto it = k->values.begin(); it != k->values.end(); ++it) {
      if (StrEqualNoCase(it->name, name)) {
        k->values.erase(it);
        *changed = true;
        return kRegistryOk;
      }
    }
    return kRegistryNotFound;
  });
}

int RegistryCreateKey(RegistryRoot root, std::string_view key) {
  key = NormalizeKey(key);
  if (key.empty()) return kRegistryBadKey;
  return ModifyHive(root, [&](Hive& hive, bool* changed) {
    if (!FindKey(hive, key)) {
      CreateKey(hive, key);
      *changed = true;
    }
    return kRegistryOk;
  });
}

bool RegistryKeyExists(RegistryRoot root, std::string_view key) {
  key = NormalizeKey(key);
  Hive hive;
  if (key.empty() || !LoadHive(root, &hive)) return false;
  return FindKey(hive, key) || HasSubkeys(hive, key);
}

std::optional<size_t> RegistryCountValues(RegistryRoot root, std::string_view key) {
  key = NormalizeKey(key);
  Hive hive;
  if (key.empty() || !LoadHive(root, &hive)) return std::nullopt;
  if (RegKey* k = FindKey(hive, key)) return k->values.size();
  if (HasSubkeys(hive, key)) return 0;
  return std::nullopt;
}

namespace {

int DeleteKey(RegistryRoot root, std::string_view key, bool only_when_empty) {
  key = NormalizeKey(key);
  if (key.empty()) return kRegistryBadKey;
  return ModifyHive(root, [&](Hive& hive, bool* changed) {
    bool subkeys = HasSubkeys(hive, key);
    RegKey* k = FindKey(hive, key);
    if (!k && !subkeys) return kRegistryNotFound;
    if (subkeys) return kRegistryHasSubkeys;
    if (only_when_empty && !k->values.empty()) return kRegistryNotEmpty;
    hive.keys.erase(hive.keys.begin() + (k - hive.keys.data()));
    *changed = true;
    return kRegistryOk;
  });
}

}  // namespace

int RegistryDeleteKey(RegistryRoot root, std::string_view key) {
  return DeleteKey(root, key, false);
}

int RegistryDeleteKeyIfEmpty(RegistryRoot root, std::string_view key) {
  return DeleteKey(root, key, true);
}

}  // namespace tallypad
