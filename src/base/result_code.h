// The result codes of the system: what the survey engine, the list viewer,
// the form store and the mail composer return when a request cannot be
// answered as asked. Each code has the number that the help page
// help/cgi/kqs/error.html lists and that the page's trailer line links to;
// success is kOk (0). Functions return a ResultCode; the engines' entry
// points and the server's trailer line work with its number. This header
// also decides which codes are refusals (the request is treated as an
// attack or a missing right) and which one the server reports as access
// denied. The outbox transmitter's codes are a separate set of its own.
#pragma once

namespace tallypad {

enum class ResultCode : int {
  kOk = 0,
  kNoMailServer = 1,              // a mail is asked for, but EMAILSERVER names no usable server
  kFormFileMissing = 2,           // a page, form or data file cannot be opened, or no data header
  kDataFileUnreadable = 3,        // a report or the list viewer cannot open the data file
  kAnswersNotWritten = 6,         // the data file or the XML file cannot be written
  kNoSuchRecord = 8,              // the list viewer has no record of that number
  kLoginNotAccepted = 11,         // the login is not one of the PWDFILE's IDs
  kFormFull = 12,                 // MAXRESPONSES responses are saved already
  kNoConfiguration = 21,          // no configuration file, or no DATABASE section in it
  kUnknownListCommand = 30,       // the list viewer's action is neither LIST nor VIEW
  kOutboxNotWritten = 67,         // the outbox cannot be opened or written
  kRecipientNoAddress = 68,       // the mail's recipient is no mail address
  kAccessDenied = 101,            // the password does not grant the right the request needs
  kRequestFieldTooLong = 102,     // the form name, password, action or page name is too long
  kBadPageName = 103,             // the posted page name is too short to be one
  kForbiddenNameCharacter = 104,  // the form or page name holds a forbidden character
};

// Every code, in the order the help page lists them.
inline constexpr ResultCode kResultCodes[] = {
    ResultCode::kOk,
    ResultCode::kNoMailServer,
    ResultCode::kFormFileMissing,
    ResultCode::kDataFileUnreadable,
    ResultCode::kAnswersNotWritten,
    ResultCode::kNoSuchRecord,
    ResultCode::kLoginNotAccepted,
    ResultCode::kFormFull,
    ResultCode::kNoConfiguration,
    ResultCode::kUnknownListCommand,
    ResultCode::kOutboxNotWritten,
    ResultCode::kRecipientNoAddress,
    ResultCode::kAccessDenied,
    ResultCode::kRequestFieldTooLong,
    ResultCode::kBadPageName,
    ResultCode::kForbiddenNameCharacter,
};

// Refusals are numbered above this: a code up to it reports a failure, a
// code above it a request that was refused (an attack or a missing right).
inline constexpr int kLastFailureNumber = 100;

// The number of `code`, as the help page and the trailer line show it.
constexpr int ResultNumber(ResultCode code) { return static_cast<int>(code); }

// True when `code` refuses the request (a number above kLastFailureNumber):
// the survey engine then mails the form's administrator and writes the
// rights notice.
constexpr bool IsRefusal(ResultCode code) { return ResultNumber(code) > kLastFailureNumber; }

// True when `code` (or the number of a code) is the access-denied code,
// which the server's trailer reports with a line of its own instead of a
// link to the help page.
constexpr bool IsAccessDenied(ResultCode code) { return code == ResultCode::kAccessDenied; }
constexpr bool IsAccessDenied(int number) {
  return number == ResultNumber(ResultCode::kAccessDenied);
}

}  // namespace tallypad
