#include "store/form.h"

#include <utility>
#include <vector>

#include "base/str.h"
#include "platform/profile.h"
#include "store/access.h"

namespace tallypad {

namespace {

struct KeyDefault {
  std::string_view key;
  std::string_view value;
};

// Keys whose default is not empty (numeric keys left out default to 0).
// Keys of the result page have their own defaults where the result page
// is written.
constexpr KeyDefault kKeyDefaults[] = {
    {"ACTIVE", "1"},
    {"IDFIELDS", "IFMUID"},
    {"MAXMESSAGE", "Sorry, this form is no longer available."},
    {"PWDMESSAGE", "Sorry, you need a password to access this form."},
    {"STARTPAGE", "page0"},
    {"LOGINSEQUENCE", "ASC"},
    {"LOGDATETIME", "1"},
    {"DISPLAYMESSAGE", "1"},
    {"HOTLINK", "/index.html"},
    {"CHECKANSWERS", "1"},
};

std::string_view KeyDefaultOf(std::string_view key) {
  for (const KeyDefault& row : kKeyDefaults)
    if (StrEqualNoCase(row.key, key)) return row.value;
  return {};
}

}  // namespace

Form FormLoad(std::string_view base_path, std::string_view database) {
  Form form;
  form.name = std::string(database);
  if (database.empty() || !AccessNameAllowed(database)) return form;
  const std::string path = PathBuild(base_path, database, ".ini");
  if (path.empty()) return form;
  std::vector<VarTablePtr> sections = IniLoadSections(path, {"DATABASE", "access"}, 0);
  form.settings = std::move(sections[0]);
  form.access = std::move(sections[1]);
  return form;
}

std::string FormSetting(const VarTable* settings, std::string_view key) {
  return VarTableGet(settings, key, KeyDefaultOf(key));
}

int FormSettingInt(const VarTable* settings, std::string_view key) {
  return StrToIntClamped(FormSetting(settings, key));
}

}  // namespace tallypad
