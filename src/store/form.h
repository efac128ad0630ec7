// The form: a survey form as one request sees it. Its configuration file
// (the form's name followed by ".ini" beside the server root) is read once
// per request, and the two sections the engines use come from that one
// read: the settings (DATABASE) and the passwords (access). The survey
// engine loads the form when a request names it and hands it to every step;
// the defaults below apply to settings a form leaves out. The tables of the
// keys each section knows serve the engine's defaults and `tallypad check`,
// which names a key no table holds.
#pragma once

#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

// One key of a form's DATABASE section and its default: the value a form
// that leaves the key out (or gives it empty) gets; "" for keys without one
// (numeric keys then read as 0).
struct FormSettingKey {
  std::string_view key;
  std::string_view default_value;
};

// Every key of the DATABASE section the engines read, in the order the
// author's guide lists them. Keys are compared without regard to case.
inline constexpr FormSettingKey kFormSettingKeys[] = {
    {"Title", ""},
    {"Description", ""},
    {"ACTIVE", "1"},
    {"MULTIPAGE", ""},
    {"STARTPAGE", "page0"},
    {"FORM", ""},
    {"SAVEPAGE", ""},
    {"HASUID", ""},
    {"IDFIELDS", "IFMUID"},
    {"LOGINSEQUENCE", "ASC"},
    {"PWDFILE", ""},
    {"PWDMESSAGE", "Sorry, you need a password to access this form."},
    {"MAXRESPONSES", ""},
    {"MAXMESSAGE", "Sorry, this form is no longer available."},
    {"SAVEDATA", ""},
    {"SAVEDATANAME", ""},
    {"SAVEINDEXNAME", ""},
    {"SAVEXML", ""},
    {"SAVEXMLNAME", ""},
    {"SAVESTAT", ""},
    {"SAVESTATNAME", ""},
    {"SAVEEMAIL", ""},
    {"SAVEEMAILNAME", ""},
    {"EMAILREPORT", ""},
    {"EMAILSERVER", ""},
    {"ADMINEMAIL", ""},
    {"EMAILFROM", ""},
    {"LOGDATETIME", "1"},
    {"HOST", ""},
    {"MESSAGE", ""},
    {"DISPLAYMESSAGE", "1"},
    {"DISPLAYFORM", ""},
    {"DISPLAYREPORT", ""},
    {"REPORT", ""},
    {"DISPLAYHOTLINK", ""},
    {"HOTLINK", "/index.html"},
    {"SHOWREDIRECT", ""},
    {"REDIRECT", ""},
    {"REPORT2", ""},
    {"CHECKANSWERS", "1"},
    // The messages of answers refused by their fields' attributes; the
    // answer checks hold their plain-English defaults.
    {"REQUIREDMESSAGE", ""},
    {"EMAILMESSAGE", ""},
    {"NUMBERMESSAGE", ""},
    {"DATEMESSAGE", ""},
    {"TOOLOWMESSAGE", ""},
    {"TOOHIGHMESSAGE", ""},
    {"TOOEARLYMESSAGE", ""},
    {"TOOLATEMESSAGE", ""},
    {"STEPMESSAGE", ""},
    {"TOOSHORTMESSAGE", ""},
    {"TOOLONGMESSAGE", ""},
    {"PATTERNMESSAGE", ""},
    {"CHOICEMESSAGE", ""},
};

// The keys of the access section, each granting its rights (see
// store/access.h), in the order the rights check reads them.
inline constexpr std::string_view kAccessKeys[] = {
    "PWDREAD", "PWDUPDATE", "PWDAPPEND", "PWDDELETE", "PWDWRITE", "PWDADMIN", "PWDREPORT", "PWD",
};

struct Form {
  std::string name;      // the form's name, as the request gave it
  VarTablePtr settings;  // the DATABASE section; null when missing or empty
  VarTablePtr access;    // the access section; null when missing or empty
};

// Loads form `database` from the folder of `base_path`. The empty name, and
// a name the rights check refuses (see AccessNameAllowed), read nothing:
// both sections are then null.
Form FormLoad(std::string_view base_path, std::string_view database);

// True when `key` is one of kFormSettingKeys (section DATABASE), or of
// kAccessKeys when `access_section` is set; compared without regard to case.
bool FormKeyKnown(std::string_view key, bool access_section = false);

// Returns the value of `key`, or the key's default when it is missing or
// empty ("" for keys without a default).
std::string FormSetting(const VarTable* settings, std::string_view key);
// Returns the value of `key` (or its default) read as a decimal integer:
// leading blanks and a sign, then the leading digits; 0 without digits.
int FormSettingInt(const VarTable* settings, std::string_view key);

}  // namespace tallypad
