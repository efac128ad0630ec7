// Temporary stand-in for the save step until it is built: saves nothing
// and thanks the respondent. Dropped when the real save step is merged.
#include "base/text.h"
#include "cgi/kqs/save.h"

namespace tallypad {

int SaveResponse(std::string_view base_path, std::string_view database, VarTable* vars,
                 const VarTable* settings, bool may_have_record) {
  return 0;
}

int ShowResult(std::string_view base_path, OutputStream* out, std::string_view database,
               const VarTable* settings, VarTable* vars, int code, const RequestInfo& info) {
  WriteResponseHeader(out);
  StreamWriteText(out, "<P>Thank you!");
  return 0;
}

}  // namespace tallypad
