#include "store/access.h"

#include <iterator>
#include <string>
#include <vector>

#include "base/status_log.h"
#include "base/str.h"
#include "base/vartable.h"
#include "platform/profile.h"
#include "store/form.h"
#include "store/form_name.h"

namespace tallypad {

namespace {

struct RightKey {
  std::string_view key;
  int bits;
};

// The keys of the access section, in the order they are read.
constexpr RightKey kRightKeys[] = {
    {"PWDREAD", kRightRead},     {"PWDUPDATE", kRightUpdate}, {"PWDAPPEND", kRightAppend},
    {"PWDDELETE", kRightDelete}, {"PWDWRITE", kRightWrite},   {"PWDADMIN", kRightAdmin},
    {"PWDREPORT", kRightReport}, {"PWD", kRightAll},
};

// The form's table of known keys (store/form.h) lists these keys, in this
// order: `tallypad check` warns about any other key of the section.
constexpr bool SameKeysAsTheFormTable() {
  if (std::size(kRightKeys) != std::size(kAccessKeys)) return false;
  for (size_t i = 0; i < std::size(kRightKeys); ++i)
    if (kRightKeys[i].key != kAccessKeys[i]) return false;
  return true;
}
static_assert(SameKeysAsTheFormTable());

struct NoticeLine {
  int bit;
  std::string_view text;
};

// The rights notice lists the rights in this order.
constexpr NoticeLine kNoticeLines[] = {
    {kRightRead, "<LI>Read data\n"},
    {kRightWrite, "<LI>Edit records\n"},
    {kRightUpdate, "<LI>Update existing records\n"},
    {kRightAppend, "<LI>Append new records\n"},
    {kRightAdmin, "<LI>Administer the database\n"},
    {kRightDelete, "<LI>Delete records\n"},
};

bool IsPasswordSeparator(char c) { return c == ',' || c == ' '; }

// True when the key's value grants its right to a caller who posted `password`.
bool KeyGrants(std::string_view value, std::string_view password) {
  if (value.empty()) return false;
  if (StrEqualNoCase(value, "(allow)")) return true;
  if (StrEqualNoCase(value, "(deny)")) return false;
  return PasswordGranted(password, value);
}

}  // namespace

bool PasswordGranted(std::string_view posted, std::string_view value) {
  if (posted.empty() || value.empty()) return false;
  size_t i = 0;
  while (i < posted.size()) {
    while (i < posted.size() && IsPasswordSeparator(posted[i])) ++i;
    if (i >= posted.size()) break;
    // From the start of this item the text must go on with exactly the
    // value and then end or reach a separator.
    size_t end = i + value.size();
    if (posted.compare(i, value.size(), value) == 0 &&
        (end == posted.size() || IsPasswordSeparator(posted[end])))
      return true;
    while (i < posted.size() && !IsPasswordSeparator(posted[i])) ++i;
  }
  return false;
}

bool AccessNameAllowed(std::string_view database) {
  // Only what would lead the file name out of the server root counts here;
  // the survey engine refuses quotes in a form's name itself.
  return !NameHasForbiddenCharacter(database, NameCheck::kFileName) &&
         database.size() < kMaxAccessTextLength;
}

int ComputeRights(std::string_view base_path, std::string_view host_name, std::string_view database,
                  std::string_view password) {
  return CheckRights(base_path, host_name, database, password).rights;
}

RightsCheck CheckRights(std::string_view base_path, std::string_view host_name,
                        std::string_view database, std::string_view password) {
  // The file is read only for names the check below goes on with.
  VarTablePtr access;
  if (!database.empty() && AccessNameAllowed(database) && password.size() < kMaxAccessTextLength) {
    std::string path = PathBuild(base_path, database, ".ini");
    if (!path.empty()) access = IniLoadSection(path, "access", 0);
  }
  return CheckRightsIn(access.get(), host_name, database, password);
}

RightsCheck CheckRightsIn(const VarTable* access, std::string_view host_name,
                          std::string_view database, std::string_view password) {
  RightsCheck check;
  // Every word of the posted list is a try; the words that no key of the
  // form names are wrong, whatever else happens below.
  std::vector<std::string_view> words;
  for (size_t i = 0; i < password.size();) {
    while (i < password.size() && IsPasswordSeparator(password[i])) ++i;
    size_t end = i;
    while (end < password.size() && !IsPasswordSeparator(password[end])) ++end;
    if (end > i) words.push_back(password.substr(i, end - i));
    i = end;
  }
  check.tries = static_cast<int>(words.size());
  check.wrong_tries = check.tries;

  if (!AccessNameAllowed(database) || password.size() >= kMaxAccessTextLength) {
    StatusLogAppend("\nBuffer overrun attempt\tHOST=" + std::string(host_name));
    return check;
  }
  if (database.empty() || !access) return check;
  // The words of the passwords that matched: a password may hold a blank
  // or a comma itself, and then its words are no wrong tries.
  std::vector<std::string> granted_words;
  for (const RightKey& row : kRightKeys) {
    const std::string value = VarTableGet(access, row.key);
    // Keys only add bits: a refusing key never takes back what another granted.
    if (!KeyGrants(value, password)) continue;
    check.rights |= row.bits;
    if (StrEqualNoCase(value, "(allow)")) continue;
    for (size_t i = 0; i < value.size();) {
      while (i < value.size() && IsPasswordSeparator(value[i])) ++i;
      size_t end = i;
      while (end < value.size() && !IsPasswordSeparator(value[end])) ++end;
      if (end > i) granted_words.push_back(value.substr(i, end - i));
      i = end;
    }
  }
  check.wrong_tries = 0;
  for (std::string_view word : words) {
    bool granted = false;
    for (const std::string& known : granted_words) granted = granted || word == known;
    if (!granted) ++check.wrong_tries;
  }
  return check;
}

void WriteRightsNotice(OutputStream* out, int rights) {
  if (rights == 0) {
    StreamWriteText(out, "<P>You are not permitted to use this server.");
    return;
  }
  StreamWriteText(out, "<P>With this database, you may:<UL>");
  for (const NoticeLine& line : kNoticeLines)
    if (rights & line.bit) StreamWriteText(out, line.text);
  StreamWriteText(out, "</UL>");
}

}  // namespace tallypad
