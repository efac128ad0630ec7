// Access rights: who may read, change, add to and report on a form's data.
// A form grants rights through password keys in the "access" section of its
// configuration file; this module turns a posted password into the rights it
// grants and writes the notice that lists them. The survey engine and the
// list viewer both call it; it keeps no state.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/output_stream.h"
#include "base/vartable.h"

namespace tallypad {

// Rights bits.
inline constexpr int kRightRead = 1, kRightUpdate = 2, kRightAppend = 4, kRightDelete = 8,
                     kRightWrite = 16, kRightAdmin = 32, kRightReport = 64;
// Every right, as the key PWD grants it.
inline constexpr int kRightAll = 127;

// Database names and passwords of this many characters or more are refused:
// no real form name or password is that long, so one is taken as an attempt
// to overrun a buffer and logged.
inline constexpr size_t kMaxAccessTextLength = 129;

// The outcome of checking a posted password list.
struct RightsCheck {
  int rights = 0;       // the rights granted
  int tries = 0;        // the words of the posted list: each is one try
  int wrong_tries = 0;  // the words that equal no password of the form
};

// True when `database` may name a form's configuration file: it holds no
// character that NameCheck::kFileName forbids and is shorter than
// kMaxAccessTextLength. The empty name is allowed but names no form.
bool AccessNameAllowed(std::string_view database);
// Computes the caller's rights from the access section of the form's configuration file.
// `base_path` is the folder the form's files are found in (a path ending in
// '/'); `host_name` only goes into the message log when the names are refused.
int ComputeRights(std::string_view base_path, std::string_view host_name, std::string_view database,
                  std::string_view password);
// Computes the caller's rights as ComputeRights does, and counts the words
// of `password` that are tries and that are wrong.
RightsCheck CheckRights(std::string_view base_path, std::string_view host_name,
                        std::string_view database, std::string_view password);
// Checks the rights as CheckRights does, with the form's access section
// `access` already loaded (null: the form has none); `database` is still
// checked, and a refused name or password grants nothing.
RightsCheck CheckRightsIn(const VarTable* access, std::string_view host_name,
                          std::string_view database, std::string_view password);
// True when `value` occurs in `posted` as one whole item of its list of
// passwords (items separated by commas or blanks); an empty text never matches.
bool PasswordGranted(std::string_view posted, std::string_view value);
// Writes the rights notice for `rights`.
void WriteRightsNotice(OutputStream* out, int rights);

}  // namespace tallypad
