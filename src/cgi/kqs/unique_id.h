// Unique identifiers: the session identifiers the survey engine gives each
// respondent's pass through a form, and the values of the "uniqueid" page
// script function. An identifier mixes a 32-bit state kept across runs (the
// registry value RANDOM of the current user), the clock, the process and an
// optional text. The state is updated under the named mutex
// "KQS.CGI.RANDOM", so processes sharing the registry never reuse a state.
// Those parts alone can be narrowed down from a few identifiers of one's
// own, so each identifier ends in 64 bits from the system's random source:
// a session cannot be taken over by guessing its identifier.
// The pure steps are exposed so that the time, the state and the random
// bits can be chosen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace tallypad {

// Where the state lives, and the lock that guards its update.
inline constexpr std::string_view kUniqueIdKey = "SOFTWARE\\Velkorn\\Tallypad";
inline constexpr std::string_view kUniqueIdValue = "RANDOM";
inline constexpr std::string_view kUniqueIdMutex = "KQS.CGI.RANDOM";
// Bits of the identifier taken from the time stamp in the first value and
// from the state in the second.
inline constexpr uint32_t kUniqueIdMask = 0x55aa55aa;
// Digits of the random part: 64 bits in base-32 digits of 5 bits, rounded
// up. Always this many, so the part is the identifier's last 13 characters.
inline constexpr size_t kUniqueIdRandomDigits = 13;

// Returns the time stamp packed from the UTC time `utc`: the second in bits
// 0-5, (hour * 32 | minute) from bit 6, day - 1 from bit 16, month - 1
// from bit 20, all combined with OR (the fields may overlap).
uint32_t UniqueIdTimeStamp(const std::tm& utc);
// Returns `value` in base 32, least significant digit first, digits "0"-"9"
// and "a"-"v"; 0 gives "".
std::string UniqueIdBase32(uint32_t value);
// Returns the state that follows `old_state`, mixed with `text` (each byte
// as a signed number), the millisecond tick count and the process id.
uint32_t UniqueIdAdvance(uint32_t old_state, std::string_view text, uint32_t tick_ms, uint32_t pid);
// Returns the identifier text for the new state `state` at UTC time `utc`:
// "x", the year minus 2000, A, "Y", B, each in base 32.
std::string UniqueIdFormat(uint32_t state, const std::tm& utc);
// Returns the random part for the random bits `bits`: exactly
// kUniqueIdRandomDigits base-32 digits, least significant first, with "0"s
// where the number has no digits left.
std::string UniqueIdRandomDigits(uint64_t bits);

// Makes a new identifier, mixing in `text`, and stores the new state: the
// text of UniqueIdFormat followed by the random part of 64 fresh random
// bits. Waits at most 20,000 ms for the lock and goes on without it after
// that.
std::string UniqueIdNew(std::string_view text);

}  // namespace tallypad
