// The system's random source, for values that a client must not be able to
// guess (the random part of session identifiers). Reads getrandom(2) and,
// when that call is missing or refused, /dev/urandom. Safe to use from any
// thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tallypad {

// Returns `count` bytes from the system's random source, or nullopt when
// neither getrandom nor /dev/urandom delivered them all.
std::optional<std::string> RandomBytes(size_t count);

}  // namespace tallypad
