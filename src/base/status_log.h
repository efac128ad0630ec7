// The message log of the main window: a bounded text that the server thread
// and the engines append to (the "running" line, outbox messages, engine
// errors) and the console window shows. The router asks for a fresh log at
// the start of each request. Safe to use from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tallypad {

// Most characters the log holds; appends beyond it are dropped.
inline constexpr size_t kStatusLogLimit = 8195;

// Appends UTF-8 `text` (cut to what is left of the limit, counted in
// characters) and tells the observer. Empties the log first when a fresh
// log was asked for.
void StatusLogAppend(std::string_view text);
// Replaces the whole log with `text`.
void StatusLogReplace(std::string_view text);
// Makes the next StatusLogAppend empty the log first.
void StatusLogRequestClear();
// Returns a copy of the log.
std::string StatusLogText();
// Empties the log and the clear request.
void StatusLogReset();
// Sets the function called (outside the log's lock) after each change, with
// the text that was appended; null removes it.
void StatusLogSetObserver(std::function<void(std::string_view appended)> observer);

}  // namespace tallypad
