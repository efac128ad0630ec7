// The check of one form: its settings file, its pages (the page files of a
// multi-page form, or the single-page form file), the files they include,
// its validation file, and the files the settings name (data, index, XML,
// statistics, ID file, report and mail templates), each against the others.
// It finds what the engine would refuse or silently skip: sections and
// markers without their end, pages without a FORM tag or a _PAGE field,
// pages that are named but missing or present but unreachable, entries and
// scripts that never run, variables nothing sets, columns nothing fills,
// statistics keys that count nothing, settings keys the engine never reads.
// It reads files only; it never changes one.
#pragma once

#include <string>
#include <string_view>

#include "check/findings.h"

namespace tallypad {

// Checks the form `name` (its settings file is NAME.ini) of the server root
// `root` (ending in '/'), adding the findings.
void CheckForm(const std::string& root, std::string_view name, Findings* findings);

}  // namespace tallypad
