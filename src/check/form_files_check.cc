// The settings part of the form check: the keys of a form's settings file,
// the files its settings name, the data file's columns and the statistics
// keys.
#include <unistd.h>

#include "base/file.h"
#include "base/str.h"
#include "base/vartable.h"
#include "base/wordlist.h"
#include "check/form_model.h"
#include "cgi/kqs/pages.h"
#include "platform/profile.h"
#include "store/datafile.h"
#include "store/form.h"

namespace tallypad {

namespace {

// Variables the engine sets (or the browser posts for it) in every survey
// request; a page may read them without an input of its own.
constexpr std::string_view kEngineVariables[] = {
    "HOST",      "DATE",      "TIME",      "DATABASE",  "_PASSWORD", "_ACTION",
    "_PAGE",     "_SESSION",  "_PAGEWARN", "_PAGENEXT", "_PAGEBACK", "_PAGESKIP",
    "_FORMDONE", "_HOST",     "_DATE",     "_TIME",     "_PAGENUMBER", "_PAGECOUNT",
};
// The engine's message about an input's answer is _PAGEWARN_ and the
// input's name.
constexpr std::string_view kFieldWarningPrefix = "_PAGEWARN_";
// The ID fields the login page offers when IDFIELDS is not set.
constexpr std::string_view kDefaultIdFields = "IFMUID,IFMUID1,IFMUID2,IFMUID3,IFMUID4";

// Keys whose value is read as a number (from its leading digits).
constexpr std::string_view kNumericKeys[] = {
    "ACTIVE",   "MULTIPAGE", "SAVEPAGE",      "HASUID",       "MAXRESPONSES",
    "SAVEDATA", "SAVEXML",   "SAVESTAT",      "SAVEEMAIL",    "LOGDATETIME",
    "DISPLAYMESSAGE", "DISPLAYFORM", "DISPLAYREPORT", "DISPLAYHOTLINK", "SHOWREDIRECT",
    "CHECKANSWERS",
};

bool IsNumericKey(std::string_view key) {
  for (std::string_view k : kNumericKeys)
    if (StrEqualNoCase(k, key)) return true;
  return false;
}

bool StartsWithDigit(std::string_view value) {
  size_t i = value.find_first_not_of(" \t");
  if (i != std::string_view::npos && (value[i] == '-' || value[i] == '+')) ++i;
  return i != std::string_view::npos && i < value.size() && value[i] >= '0' && value[i] <= '9';
}

std::vector<std::string> KnownKeys(bool access) {
  std::vector<std::string> keys;
  if (access) {
    for (std::string_view k : kAccessKeys) keys.emplace_back(k);
  } else {
    for (const FormSettingKey& row : kFormSettingKeys) keys.emplace_back(row.key);
  }
  return keys;
}

std::string TrimRight(std::string_view s) {
  const size_t end = s.find_last_not_of(" \t");
  return std::string(end == std::string_view::npos ? std::string_view() : s.substr(0, end + 1));
}


void CheckSection(const FormModel& form, const IniSection& section, bool access,
                  Findings* findings) {
  const std::vector<std::string> known = KnownKeys(access);
  const std::string where = access ? "[access]" : "[DATABASE]";
  for (size_t i = 0; i < section.keys.size(); ++i) {
    const IniKey& key = section.keys[i];
    const std::string trimmed = TrimRight(key.key);
    if (!key.has_equals) {
      findings->Warning(form.ini_file, key.line,
                        "this line of " + where + " has no '=': Tallypad reads it as the key " +
                            key.key + " without a value");
      continue;
    }
    if (trimmed != key.key && FormKeyKnown(trimmed, access)) {
      findings->Error(form.ini_file, key.line,
                      "the key \"" + key.key + "\" ends in a blank before '=', so Tallypad reads "
                      "no key " + trimmed + ": write " + trimmed + "=" +
                          std::string(key.value.substr(key.value.find_first_not_of(" \t") ==
                                                               std::string::npos
                                                           ? key.value.size()
                                                           : key.value.find_first_not_of(" \t"))) +
                          " without blanks around '='");
      continue;
    }
    if (!FormKeyKnown(key.key, access)) {
      findings->Warning(form.ini_file, key.line,
                        "Tallypad reads no key " + key.key + " in " + where +
                            DidYouMean(ClosestName(trimmed, known)));
      continue;
    }
    for (size_t j = 0; j < i; ++j) {
      if (!StrEqualNoCase(section.keys[j].key, key.key)) continue;
      findings->Warning(form.ini_file, key.line,
                        "the key " + key.key + " is set again: Tallypad reads only the first, on "
                        "line " + std::to_string(section.keys[j].line));
      break;
    }
    if (!key.value.empty() && (key.value.front() == ' ' || key.value.front() == '\t')) {
      if (access) {
        findings->Error(form.ini_file, key.line,
                        "the value of " + key.key + " begins with a blank, so it is the "
                        "password \"" + key.value + "\", blank included: write " + key.key +
                            "=" + key.value.substr(key.value.find_first_not_of(" \t")) +
                            " without blanks around '='");
      } else if (!IsNumericKey(key.key)) {
        findings->Warning(form.ini_file, key.line,
                          "the value of " + key.key + " begins with a blank, which is part of "
                          "it: write no blanks around '='");
      }
    }
    if (!access && IsNumericKey(key.key) && !key.value.empty() && !StartsWithDigit(key.value))
      findings->Warning(form.ini_file, key.line,
                        key.key + "=" + key.value + " reads as 0: settings like this one are "
                        "read from their leading digits (1 or 0)");
  }
}

// Tells about a file a setting names: missing, unreadable or, for a file
// the engine writes, not writable. Returns true when it can be read.
bool CheckFile(const FormModel& form, std::string_view key, std::string_view name,
               std::string_view what, bool written, std::string_view fix, Findings* findings) {
  const std::string path = form.PathOf(name);
  const int line = form.LineOf(key);
  if (path.empty() || !FileExists(path)) {
    findings->Error(form.ini_file, line,
                    std::string(what) + " " + std::string(name) + " (" + std::string(key) +
                        ") does not exist" + (fix.empty() ? "" : ": " + std::string(fix)));
    return false;
  }
  if (::access(path.c_str(), R_OK) != 0) {
    findings->Error(form.ini_file, line,
                    std::string(what) + " " + std::string(name) + " (" + std::string(key) +
                        ") cannot be read");
    return false;
  }
  if (written && ::access(path.c_str(), W_OK) != 0)
    findings->Error(form.ini_file, line,
                    std::string(what) + " " + std::string(name) + " (" + std::string(key) +
                        ") cannot be written: the server writes to it with every save");
  return true;
}

}  // namespace

std::string FormModel::Setting(std::string_view key) const {
  const IniKey* found = IniFind(settings, key);
  if (found && !found->value.empty()) return found->value;
  for (const FormSettingKey& row : kFormSettingKeys)
    if (StrEqualNoCase(row.key, key)) return std::string(row.default_value);
  return "";
}

int FormModel::SettingInt(std::string_view key) const { return StrToIntClamped(Setting(key)); }

int FormModel::LineOf(std::string_view key) const {
  if (const IniKey* found = IniFind(settings, key)) return found->line;
  return settings ? settings->line : 1;
}

std::string FormModel::PathOf(std::string_view name) const { return FormFilePath(root, name); }

std::vector<std::string> FormModel::SetNames() const {
  std::vector<std::string> names;
  for (std::string_view v : kEngineVariables) names.emplace_back(v);
  const IniKey* id_fields = IniFind(settings, "IDFIELDS");
  for (std::string& id : ListItems(id_fields && !id_fields->value.empty() ? id_fields->value
                                                                       : kDefaultIdFields))
    names.push_back(std::move(id));
  for (const PlacedField& input : inputs) {
    if (input.field.name.empty()) continue;
    names.push_back(input.field.name);
    names.push_back(std::string(kFieldWarningPrefix) + input.field.name);
  }
  for (const PlacedName& set : sets) names.push_back(set.name);
  return names;
}

bool FormModel::IsSet(std::string_view name, bool pattern) const {
  for (const std::string& set : SetNames()) {
    if (StrEqualNoCase(set, name)) return true;
    if (pattern && set.size() > name.size() + 1 && StrStartsNoCase(set, name) &&
        set[name.size()] == '_')
      return true;
  }
  return false;
}

void CheckSettingKeys(const FormModel& form, Findings* findings) {
  for (const IniSection& section : form.ini.sections) {
    const bool database = StrEqualNoCase(section.name, "DATABASE");
    const bool access = StrEqualNoCase(section.name, "access");
    if (section.repeated && (database || access)) {
      findings->Warning(form.ini_file, section.line,
                        "a second [" + section.name + "] section: Tallypad reads only the first");
      continue;
    }
    if (database || access) {
      CheckSection(form, section, access, findings);
      continue;
    }
    const std::string closest = ClosestName(section.name, std::vector<std::string>{"DATABASE", "access"});
    if (!closest.empty())
      findings->Warning(form.ini_file, section.line,
                        "Tallypad reads no section [" + section.name + "]" +
                            DidYouMean("[" + closest + "]"));
  }
  if (!form.access) {
    findings->Warning(form.ini_file, form.settings ? form.settings->line : 1,
                      "the form has no [access] section, so nobody may save answers: a public "
                      "survey needs PWDAPPEND=(allow) in a section [access]");
    return;
  }
  bool can_append = false;
  for (std::string_view key : {"PWDAPPEND", "PWD"}) {
    const IniKey* found = IniFind(form.access, key);
    if (found && !found->value.empty() && !StrEqualNoCase(found->value, "(deny)"))
      can_append = true;
  }
  if (!can_append)
    findings->Warning(form.ini_file, form.access->line,
                      "no key of [access] grants the right to save (PWDAPPEND or PWD), so every "
                      "respondent is asked for a password it cannot give");
}

void CheckNamedFiles(const FormModel& form, Findings* findings) {
  const std::string ini = form.ini_file;
  if (form.SettingInt("SAVEDATA") != 0) {
    const std::string name = form.Setting("SAVEDATANAME").empty()
                                 ? form.name + ".asc"
                                 : form.Setting("SAVEDATANAME").substr(0, kMaxFileNameLength);
    const std::string key =
        form.Setting("SAVEDATANAME").empty() ? std::string("SAVEDATA") : "SAVEDATANAME";
    if (CheckFile(form, key, name, "the data file", true,
                  "Tallypad never creates it: create it with its header line (the column names, "
                  "separated by tabs)",
                  findings) &&
        !DataFileReadColumns(form.PathOf(name), 0))
      findings->Error(ini, form.LineOf(key),
                      "the data file " + name + " has no header line: its first line names the "
                      "columns, separated by tabs, and ends with a line break");
  }
  const std::string index = form.Setting("SAVEINDEXNAME");
  if (!index.empty() &&
      CheckFile(form, "SAVEINDEXNAME", index, "the index file", true,
                "create it with its header line: the ID fields and _POS, separated by tabs",
                findings)) {
    VarTablePtr columns = DataFileReadColumns(form.PathOf(index), 0);
    std::string last;
    VarTableForEach(columns.get(), [&](const VarEntry& e) { last = *e.name; });
    if (!columns) {
      findings->Error(ini, form.LineOf("SAVEINDEXNAME"),
                      "the index file " + index + " has no header line: write the ID fields "
                      "and _POS, separated by tabs");
    } else if (!StrEqualNoCase(last, "_POS")) {
      findings->Error(ini, form.LineOf("SAVEINDEXNAME"),
                      "the header line of the index file " + index + " does not end with the "
                      "column _POS, where the engine keeps each record's place");
    }
  }
  if (form.SettingInt("SAVEXML") != 0) {
    const std::string xml = form.Setting("SAVEXMLNAME");
    if (xml.empty()) {
      findings->Error(ini, form.LineOf("SAVEXML"),
                      "SAVEXML=1 but SAVEXMLNAME names no XML file: every save fails with "
                      "error 6");
    } else {
      CheckFile(form, "SAVEXMLNAME", xml, "the XML file", true,
                "Tallypad never creates it: create it empty", findings);
    }
  }
  if (form.SettingInt("SAVESTAT") != 0) {
    const std::string stats = form.Setting("SAVESTATNAME");
    if (stats.empty()) {
      findings->Error(ini, form.LineOf("SAVESTAT"),
                      "SAVESTAT=1 but SAVESTATNAME names no statistics file: no response is "
                      "counted");
    } else {
      CheckFile(form, "SAVESTATNAME", stats, "the statistics file", true,
                "create it with the keys to count in [COUNT] and to add up in [SUM]", findings);
    }
  }
  const std::string pwd_file = form.Setting("PWDFILE");
  if (!pwd_file.empty() &&
      CheckFile(form, "PWDFILE", pwd_file, "the ID file", false,
                "every ID is refused; the name is relative to the server root", findings)) {
    std::optional<std::string> ids = ReadPageFile(form.PathOf(pwd_file));
    if (ids && ids->find_first_not_of(" \t\r\n") == std::string::npos)
      findings->Warning(ini, form.LineOf("PWDFILE"),
                        "the ID file " + pwd_file + " lists no ID: every ID is refused");
  }
  const bool display_report = form.SettingInt("DISPLAYREPORT") != 0;
  if (display_report && form.Setting("REPORT").empty())
    findings->Error(ini, form.LineOf("DISPLAYREPORT"),
                    "DISPLAYREPORT=1 but REPORT names no template for the result page");
  for (std::string_view key : {"REPORT", "REPORT2", "EMAILREPORT"}) {
    const std::string name = form.Setting(key);
    if (!name.empty()) CheckFile(form, key, name, "the template", false, "", findings);
  }
  if (form.SettingInt("DISPLAYFORM") != 0 && form.SettingInt("MULTIPAGE") != 0) {
    const std::string name = form.Setting("FORM");
    if (name.empty())
      findings->Error(ini, form.LineOf("DISPLAYFORM"),
                      "DISPLAYFORM=1 but FORM names no file to show on the result page");
    else
      CheckFile(form, "FORM", name, "the form file", false, "", findings);
  }
  if (!form.Setting("REPORT2").empty() && !IniFind(form.access, "PWDREPORT") &&
      !IniFind(form.access, "PWD"))
    findings->Warning(ini, form.LineOf("REPORT2"),
                      "REPORT2 names a report, but no key of [access] grants the report right "
                      "(PWDREPORT): nobody can see it");
  if (form.SettingInt("SAVEEMAIL") != 0) {
    if (form.Setting("EMAILSERVER").empty())
      findings->Error(ini, form.LineOf("SAVEEMAIL"),
                      "SAVEEMAIL=1 but EMAILSERVER names no mail server: every save fails with "
                      "error 1 and nothing is saved");
    const std::string to = form.Setting("SAVEEMAILNAME");
    if (std::count(to.begin(), to.end(), '@') != 1)
      findings->Error(ini, form.LineOf("SAVEEMAILNAME"),
                      "SAVEEMAILNAME (" + to + ") is no mail address (it needs exactly one @): "
                      "every save fails with error 68");
  }
  if (form.SettingInt("SHOWREDIRECT") != 0 && form.Setting("REDIRECT").empty())
    findings->Warning(ini, form.LineOf("SHOWREDIRECT"),
                      "SHOWREDIRECT=1 but REDIRECT names no address: the result page is shown");
}

void CheckColumnsAndStatistics(const FormModel& form, Findings* findings) {
  const std::vector<std::string> set_names = form.SetNames();
  // The answers the browser sends: named fields that are no buttons.
  std::vector<const PlacedField*> answers;
  for (const PlacedField& input : form.inputs) {
    const FormField& f = input.field;
    if (f.name.empty() || f.tag == "BUTTON" || f.tag == "OPTION" || f.name[0] == '_') continue;
    if (f.type == "SUBMIT" || f.type == "RESET" || f.type == "BUTTON" || f.type == "IMAGE")
      continue;
    if (StrEqualNoCase(f.name, "DATABASE")) continue;
    answers.push_back(&input);
  }

  if (form.SettingInt("SAVEDATA") != 0) {
    const std::string name = form.Setting("SAVEDATANAME").empty()
                                 ? form.name + ".asc"
                                 : form.Setting("SAVEDATANAME").substr(0, kMaxFileNameLength);
    if (VarTablePtr columns = DataFileReadColumns(form.PathOf(name), 0)) {
      std::vector<std::string> column_names;
      VarTableForEach(columns.get(), [&](const VarEntry& e) { column_names.push_back(*e.name); });
      for (const std::string& column : column_names) {
        if (form.IsSet(column, false)) continue;
        findings->Warning(name, 1,
                          "the column " + column + " is filled by no input, script or engine "
                          "variable of the form " + form.name + ": it stays empty" +
                              DidYouMean(ClosestName(column, set_names)));
      }
      std::vector<std::string> told;
      for (const PlacedField* input : answers) {
        const std::string& answer = input->field.name;
        bool saved = false;
        for (const std::string& column : column_names) saved = saved || StrEqualNoCase(column, answer);
        for (const std::string& t : told) saved = saved || StrEqualNoCase(t, answer);
        if (saved) continue;
        told.push_back(answer);
        findings->Warning(input->file, input->field.line,
                          "the answer " + answer + " is saved in no column of the data file " +
                              name + ": add " + answer + " to its header line, or it is lost" +
                              DidYouMean(ClosestName(answer, column_names)));
      }
      if (form.SettingInt("HASUID") != 0) {
        const std::vector<std::string> ids = ListItems(form.Setting("IDFIELDS"));
        for (const std::string& id : ids) {
          bool present = false;
          for (const std::string& column : column_names) present = present || StrEqualNoCase(column, id);
          if (!present)
            findings->Error(form.ini_file, form.LineOf("HASUID"),
                            "HASUID=1, but the data file " + name + " has no column " + id +
                                ": a returning respondent's answers are never found");
        }
      }
    }
  }

  if (form.SettingInt("SAVESTAT") == 0) return;
  const std::string stats = form.Setting("SAVESTATNAME");
  const std::string path = form.PathOf(stats);
  if (stats.empty() || !FileExists(path)) return;
  std::optional<IniFile> file = IniFileRead(path);
  if (!file) return;
  // The choices each question offers (radio buttons, boxes, options).
  auto choices_of = [&](std::string_view question) {
    std::vector<std::string> values;
    for (const PlacedField& input : form.inputs) {
      const FormField& f = input.field;
      const bool choice = f.tag == "OPTION" || f.type == "RADIO" || f.type == "CHECKBOX";
      if (choice && StrEqualNoCase(f.name, question) && !f.value.empty()) values.push_back(f.value);
    }
    return values;
  };
  auto has_text_input = [&](std::string_view question) {
    for (const PlacedField& input : form.inputs) {
      const FormField& f = input.field;
      if (StrEqualNoCase(f.name, question) && f.tag != "OPTION" && f.type != "RADIO" &&
          f.type != "CHECKBOX")
        return true;
    }
    return false;
  };
  if (const IniSection* count = file->Section("COUNT")) {
    for (const IniKey& key : count->keys) {
      const std::string& k = key.key;
      if (form.IsSet(k, true)) continue;
      // QUESTION_CHOICE: the question is set and offers the choice (or is
      // a text the respondent types).
      bool counts = false;
      std::string offered_by, offered;
      for (size_t cut = k.find('_', 1); cut != std::string::npos && !counts;
           cut = k.find('_', cut + 1)) {
        const std::string question = k.substr(0, cut);
        const std::string choice = k.substr(cut + 1);
        if (!form.IsSet(question, false)) continue;
        const std::vector<std::string> values = choices_of(question);
        for (const std::string& v : values) counts = counts || v == choice;
        if (!counts && has_text_input(question)) counts = true;
        if (!counts && offered_by.empty()) {
          offered_by = question;
          for (const std::string& v : values) offered += (offered.empty() ? "" : ", ") + v;
        }
      }
      if (counts) continue;
      findings->Warning(stats, key.line,
                        offered_by.empty()
                            ? "the key " + k + " counts nothing: no input of the form " +
                                  form.name + " is named " + k +
                                  " or is the question of a choice " + k +
                                  DidYouMean(ClosestName(k, set_names))
                            : "the key " + k + " counts nothing: " + offered_by +
                                  " offers no such choice (it offers " + offered + ")");
    }
  }
  if (const IniSection* sum = file->Section("SUM")) {
    for (const IniKey& key : sum->keys) {
      if (form.IsSet(key.key, false)) continue;
      findings->Warning(stats, key.line,
                        "the key " + key.key + " adds up nothing: no input or script of the "
                        "form " + form.name + " sets " + key.key +
                            DidYouMean(ClosestName(key.key, set_names)));
    }
  }
}

}  // namespace tallypad
