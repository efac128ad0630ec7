// Lets a failing check show a ResultCode by its number and name.
#pragma once

#include <ostream>

#include "base/result_code.h"

namespace tallypad {

inline void PrintTo(ResultCode code, std::ostream* os) {
  *os << "ResultCode(" << ResultNumber(code) << ")";
}

}  // namespace tallypad
