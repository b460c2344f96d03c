// printf-style formatting for the XoSys log, with the Windows "I64" length
// modifier ("%I64u", "%I64d", "%I64x", ...) accepted on every platform.
#ifndef XOSYS_LOGFORMAT_H
#define XOSYS_LOGFORMAT_H

#include <cstdarg>
#include <string>

namespace xolog {

// The format with every "I64" length modifier rewritten to the standard "ll".
// Everything else, including "%%" and malformed conversions, is kept as it is.
std::string rewriteFormat(const char* format);

// Formats like vsnprintf after rewriteFormat. A null format gives "".
std::string formatV(const char* format, va_list args);

}  // namespace xolog

#endif  // XOSYS_LOGFORMAT_H
