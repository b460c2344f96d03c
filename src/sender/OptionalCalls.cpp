#include "OptionalCalls.h"

#if defined(_WIN32)
#include <windows.h>

namespace optionalcalls {

void* xoSysExport(const char* name) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&XoMQSendMsg), &module)) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

XoMQServiceStatsCall serviceStats() {
    return reinterpret_cast<XoMQServiceStatsCall>(xoSysExport(XO_SERVICE_STATS_CALL));
}

}  // namespace optionalcalls

#else

// Resolved when the library exports it, null otherwise.
extern "C" XoResult XoMQServiceStats(XoMQConnHandle conn, const char* serviceName, char* json,
                                     uint64_t* jsonSize, int32_t waitMs) __attribute__((weak));

namespace optionalcalls {

XoMQServiceStatsCall serviceStats() {
    return XoMQServiceStats;
}

}  // namespace optionalcalls

#endif
