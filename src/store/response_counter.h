// The response counter file "kqscounts.ini" in the server root: section
// "responses" holds one key per form, named by the database name, whose
// value is the number of save steps run for that form. The save step raises
// it; the dispatcher reads it against the form's MAXRESPONSES.
#pragma once

#include <string>
#include <string_view>

namespace tallypad {

inline constexpr std::string_view kResponseCounterFile = "kqscounts.ini";
inline constexpr std::string_view kResponseCounterSection = "responses";

// Returns the path of the counter file for the server root `base_path`.
std::string ResponseCounterPath(std::string_view base_path);
// Returns the count of form `database` (0 when the file or key is missing).
int ResponseCountRead(std::string_view base_path, std::string_view database);
// Adds 1 to the count of form `database` under the counter's named lock,
// rewriting the file whole. Returns the new count, or -1 when the file
// could not be written (the count is then unchanged).
int ResponseCountRaise(std::string_view base_path, std::string_view database);

}  // namespace tallypad
