#pragma once
// The Assistant's run-time failures (a text that is not a number, a number too
// big for its field) as automation errors of the program itself.
#include "platform/AutomationError.h"

#include <QString>

namespace norvale::assistant
{

inline constexpr int32_t errOverflow = 6;
inline constexpr int32_t errTypeMismatch = 13;

// The program's file name without extension, the source of its own errors.
QString programName();
[[noreturn]] void raiseRuntimeError(int32_t number);

} // namespace norvale::assistant
