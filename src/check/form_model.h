// What the check of one form knows about the form, shared by its two parts:
// the pages, scripts and variables (check/form_check.cc) and the settings
// and the files they name (check/form_files_check.cc). Filled by CheckForm.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "check/findings.h"
#include "check/ini_lines.h"
#include "check/template_scan.h"
#include "check/validation_scan.h"

namespace tallypad {

// A form field with the file it stands in.
struct PlacedField {
  FormField field;
  std::string file;
  bool included = false;  // in a file a page includes: never filled with answers
};

struct FormModel {
  std::string root;      // the server root, ending in '/'
  std::string name;      // the form's name
  std::string ini_file;  // NAME.ini
  IniFile ini;
  const IniSection* settings = nullptr;  // [DATABASE]; null without one
  const IniSection* access = nullptr;    // [access]; null without one

  std::vector<PlacedField> inputs;  // every field of the form's pages and their includes
  std::vector<PlacedName> reads;    // variables the pages, templates and scripts read
  std::vector<PlacedName> sets;     // variables the scripts set
  std::vector<PlacedTarget> targets;

  // The value of `key` as the engine reads it: the first key of that name,
  // its default when missing or empty.
  std::string Setting(std::string_view key) const;
  // The same read as a number from its leading digits.
  int SettingInt(std::string_view key) const;
  // The line to point at for `key`: its own, else the [DATABASE] header's,
  // else 1.
  int LineOf(std::string_view key) const;
  // A path named by a setting, resolved against the root ("" for "").
  std::string PathOf(std::string_view name) const;
  // Every name something sets: inputs, scripts and the engine's own.
  std::vector<std::string> SetNames() const;
  // True when `name` (without regard to case) is set by something; with
  // `pattern`, also when a set name begins with NAME_.
  bool IsSet(std::string_view name, bool pattern) const;
};

// Checks the keys of the [DATABASE] and [access] sections.
void CheckSettingKeys(const FormModel& form, Findings* findings);
// Checks the files the settings name: they exist, can be read, and those
// the engine writes can be written; data and index files have their headers.
void CheckNamedFiles(const FormModel& form, Findings* findings);
// Checks the data file's columns against the inputs, and the statistics
// keys against the inputs and their choices.
void CheckColumnsAndStatistics(const FormModel& form, Findings* findings);

}  // namespace tallypad
