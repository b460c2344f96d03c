// The optional calls of the XoSys library (XoSys.h), found without loading
// anything: a weak symbol on Linux, GetProcAddress on the module that holds
// the XoSys calls on Windows. Null when the library has none (the vendor's).
#ifndef XOMQ_SENDER_OPTIONALCALLS_H
#define XOMQ_SENDER_OPTIONALCALLS_H

#include "XoSys.h"

namespace optionalcalls {

XoMQServiceStatsCall serviceStats();

#if defined(_WIN32)
// The export name of the module that holds XoMQSendMsg, or null.
void* xoSysExport(const char* name);
#endif

}  // namespace optionalcalls

#endif  // XOMQ_SENDER_OPTIONALCALLS_H
