#include "cgi/kqs/survey.h"

namespace tallypad {

// Placeholder until the survey engine is built: an empty page.
int SurveyDispatch(const std::string& server_root, VarTable* vars, OutputStream* out,
                   const RequestInfo& info) {
  WriteResponseHeader(out);
  return 0;
}

}  // namespace tallypad
