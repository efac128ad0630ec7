#include "cgi/kqs/survey_errors.h"

#include <string>

#include "base/status_log.h"
#include "base/text.h"

namespace tallypad {

void WriteSurveyError(OutputStream* out, ResultCode code, int place, std::string_view message) {
  StreamPrintf(out, "Error %i in %.*s@%d: ", ResultNumber(code),
               static_cast<int>(kSurveyModuleName.size()), kSurveyModuleName.data(), place);
  StreamWriteText(out, message);
}

void LogSurveyError(std::string_view format, std::string_view argument) {
  std::string line = "\n";
  line.append(kSurveyModuleName);
  line.append(": ");
  line.append(format);
  line.push_back('\t');
  line.append(argument);
  StatusLogAppend(line);
}

}  // namespace tallypad
