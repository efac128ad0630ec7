// The XML transaction file: each saved response is appended as one
// TRANSACTION element whose children are the answers, with the answers of
// numbered grid rows (group_row_field) grouped into one element per row.
// The file is a sequence of transactions without a root element; it is
// never created here. Variable names come from the posted form, so a name
// that is not a valid XML name is written as one, with the original in a
// name="..." attribute: no answer can add tags or transactions.
// Used by the survey engine's save step.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result_code.h"
#include "base/vartable.h"

namespace tallypad {

// Returns `name` as a valid XML element name: ASCII letters, digits, '_',
// '-', '.' and the non-ASCII letters, marks and digits XML names allow are
// kept; every other character (':' included) and every byte that is no
// UTF-8 becomes '_'; a name that would begin with a digit, '-', '.' or a
// mark gets a leading '_'; an empty name becomes "_". A valid name comes
// back unchanged.
std::string XmlElementName(std::string_view name);

// Returns the transaction for `vars` with "\r\n" line ends: every variable
// whose name is not empty and does not begin with "_", in table order,
// values escaped for XML. An element (a grid row's group and fields
// included) whose name XmlElementName had to change carries the original
// in the attribute name="...".
std::string XmlTransactionText(const VarTable* vars);
// Appends the transaction of `vars` to the existing file at `path`. Returns
// kOk and sets *offset (when given) to where the transaction starts, or
// kAnswersNotWritten when the file is missing or not writable.
ResultCode XmlAppendTransaction(const VarTable* vars, const std::string& path, int64_t* offset);

}  // namespace tallypad
