// Per-statement logging on top of the XoSys log calls.
//
// Every logging statement owns one static TraceSite: the address of the
// statement's enable flag inside the log library, null until registered.
// The first execution registers through the trcheckEx_ variant (which also
// writes the message); later executions read the flag anew and call the plain
// variant only when it is non-zero. A switched-off statement therefore costs
// one pointer test and one integer test, and its arguments are not evaluated.
// A null registration result leaves the site null, so it registers again.
#ifndef XOMQ_SYSAPI_TRACESITE_H
#define XOMQ_SYSAPI_TRACESITE_H

#include "XoSys.h"

using TraceSite = int32_t*;

#define XO_TRACE_STATEMENT(plainCall, registerCall, ...) \
    do {                                                 \
        static TraceSite xoTraceSite_ = nullptr;         \
        if (xoTraceSite_ == nullptr) {                   \
            xoTraceSite_ = registerCall(__VA_ARGS__);    \
        } else if (*xoTraceSite_ != 0) {                 \
            plainCall(__VA_ARGS__);                      \
        }                                                \
    } while (0)

// (format, ...)
#define XO_LOG_INFO(...) XO_TRACE_STATEMENT(XoLogInfo, trcheckEx_XoLogInfo_, __VA_ARGS__)
#define XO_LOG_ERROR(...) XO_TRACE_STATEMENT(XoLogError, trcheckEx_XoLogError_, __VA_ARGS__)
// (source, format, ...)
#define XO_LOG_INFO_EX(...) XO_TRACE_STATEMENT(XoLogInfoEx, trcheckEx_XoLogInfoEx_, __VA_ARGS__)
#define XO_LOG_ERROR_EX(...) XO_TRACE_STATEMENT(XoLogErrorEx, trcheckEx_XoLogErrorEx_, __VA_ARGS__)
// (code, format, ...)
#define XO_LOG_ERROR_WITH_CODE(...) \
    XO_TRACE_STATEMENT(XoLogErrorWithCode, trcheckEx_XoLogErrorWithCode_, __VA_ARGS__)
// (level, source, format, ...)
#define XO_LOG_EX(...) XO_TRACE_STATEMENT(XoLogEx, trcheckEx_XoLogEx_, __VA_ARGS__)

#endif  // XOMQ_SYSAPI_TRACESITE_H
