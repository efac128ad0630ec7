#include "store/form.h"

#include <utility>
#include <vector>

#include "base/str.h"
#include "platform/profile.h"
#include "store/access.h"

namespace tallypad {

namespace {

std::string_view KeyDefaultOf(std::string_view key) {
  for (const FormSettingKey& row : kFormSettingKeys)
    if (StrEqualNoCase(row.key, key)) return row.default_value;
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

bool FormKeyKnown(std::string_view key, bool access_section) {
  if (access_section) {
    for (std::string_view known : kAccessKeys)
      if (StrEqualNoCase(known, key)) return true;
    return false;
  }
  for (const FormSettingKey& row : kFormSettingKeys)
    if (StrEqualNoCase(row.key, key)) return true;
  return false;
}

std::string FormSetting(const VarTable* settings, std::string_view key) {
  return VarTableGet(settings, key, KeyDefaultOf(key));
}

int FormSettingInt(const VarTable* settings, std::string_view key) {
  return StrToIntClamped(FormSetting(settings, key));
}

}  // namespace tallypad
