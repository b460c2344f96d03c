#include "Version.h"

#include "XoSys.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace xoversion {

#if defined(_WIN32)

LibraryInfo library() {
    LibraryInfo info{"unknown", "version not reported"};
    HMODULE module = nullptr;
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&XoIniOpen), &module)) {
        char path[MAX_PATH];
        const DWORD n = GetModuleFileNameA(module, path, sizeof path);
        if (n > 0 && n < sizeof path) {
            info.path.assign(path, n);
        }
        using VersionCall = const char* (*)();
        const auto call = reinterpret_cast<VersionCall>(
            reinterpret_cast<void*>(GetProcAddress(module, "XoSysVersion")));
        if (call != nullptr && call() != nullptr) {
            info.version = call();
        }
    }
    return info;
}

#else

// Resolved when the library exports it, null otherwise.
extern "C" const char* XoSysVersion(void) __attribute__((weak));

LibraryInfo library() {
    LibraryInfo info{"unknown", "version not reported"};
    Dl_info where{};
    if (dladdr(reinterpret_cast<void*>(&XoIniOpen), &where) != 0 && where.dli_fname != nullptr) {
        info.path = where.dli_fname;
    }
    if (XoSysVersion != nullptr && XoSysVersion() != nullptr) {
        info.version = XoSysVersion();
    }
    return info;
}

#endif

}  // namespace xoversion
