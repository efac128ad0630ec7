#include "cgi/list/list_viewer.h"

namespace tallypad {

// Placeholder until the list viewer is built: an empty page.
int ListDispatch(const std::string& server_root, VarTable* vars, OutputStream* out,
                 const RequestInfo& info) {
  WriteResponseHeader(out);
  return 0;
}

}  // namespace tallypad
