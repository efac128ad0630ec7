// The encodings a mail is written in: base64 (RFC 4648) for logins and
// encoded words, quoted-printable bodies (RFC 2045) whose lines stay short
// whatever the answers hold, header texts in encoded words (RFC 2047) when
// they are not plain ASCII, and the date form of mail headers (RFC 5322).
// The composer writes with them, the SMTP client logs in with base64, and
// the outbox listing reads subjects and dates back. Pure functions; safe
// from any thread.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace tallypad {

// Longest line of a quoted-printable body, soft line break included
// (RFC 2045, 6.7).
inline constexpr size_t kQuotedPrintableLineLimit = 76;
// Bytes of text carried by one encoded word: 39 bytes make 52 base64
// characters, so that "Subject: " and one word stay within 78 characters.
inline constexpr size_t kEncodedWordBytes = 39;

// Returns `bytes` in base64 with padding, on one line.
std::string Base64Encode(std::string_view bytes);
// Returns the bytes of base64 `text` (blanks and line breaks ignored);
// nullopt when it holds any other character or is cut short.
std::optional<std::string> Base64Decode(std::string_view text);

// Returns `text` as a quoted-printable body: each line ending of `text`
// (CR LF, a lone LF or a lone CR) becomes CR LF, every byte outside printable
// ASCII and every "=" is written =XX, a blank before a line end is written
// =20 (or =09), a "." at the start of a line =2E, and longer lines are cut
// with soft line breaks to at most kQuotedPrintableLineLimit characters.
// Decoding gives back `text` exactly, its line endings as CR LF.
std::string QuotedPrintableEncode(std::string_view text);
// Returns the bytes of a quoted-printable body (soft line breaks removed,
// =XX decoded); malformed escapes are kept as they are.
std::string QuotedPrintableDecode(std::string_view text);

// Returns `text` fit for a header field whose name and ": " take
// `name_length` characters: unchanged when it is printable ASCII, holds no
// "=?" and fits the line; otherwise as UTF-8 encoded words (base64) of at
// most kEncodedWordBytes bytes each, never splitting a UTF-8 character,
// folded onto lines of their own.
std::string HeaderTextEncode(std::string_view text, size_t name_length);
// Returns a header value for display: folded lines joined, encoded words
// (base64 or Q) decoded to their bytes, the blanks between two encoded words
// dropped.
std::string HeaderTextDecode(std::string_view value);

// Returns the local time `when` in the form of mail headers,
// "Thu, 13 Feb 2025 14:03:05 +0100".
std::string MailDate(std::time_t when);
// Returns the moment a mail header's date names ("Thu, 13 Feb 2025
// 14:03:05 +0100", the day name and the seconds optional, the zone an
// offset or "GMT"/"UT"); nullopt for anything else.
std::optional<std::time_t> MailDateParse(std::string_view text);

}  // namespace tallypad
