// The XML transaction file: each saved response is appended as one
// TRANSACTION element whose children are the answers, with the answers of
// numbered grid rows (group_row_field) grouped into one element per row.
// The file is a sequence of transactions without a root element; it is
// never created here. Used by the survey engine's save step.
#pragma once

#include <cstdint>
#include <string>

#include "base/vartable.h"

namespace tallypad {

// Result code of XmlAppendTransaction: the file is missing or not writable.
inline constexpr int kXmlCannotWrite = 6;

// Returns the transaction for `vars` with "\r\n" line ends: every variable
// whose name is not empty and does not begin with "_", in table order,
// values escaped for XML.
std::string XmlTransactionText(const VarTable* vars);
// Appends the transaction of `vars` to the existing file at `path`. Returns
// 0 and sets *offset (when given) to where the transaction starts, or
// kXmlCannotWrite.
int XmlAppendTransaction(const VarTable* vars, const std::string& path, int64_t* offset);

}  // namespace tallypad
