// Binary composer calls.
#include <cstdarg>
#include <new>

#include "Composer.h"
#include "XoSys.h"
#include "XoSysCodes.h"

extern "C" {

XoResult XoSysCreateBinaryComposer(XoComposerHandle* slot) {
    if (slot == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    XoComposer_* composer = new (std::nothrow) XoComposer_;
    if (composer == nullptr) {
        return XOSYS_E_NO_MEMORY;
    }
    *slot = composer;
    return XOSYS_OK;
}

XoResult XoSysFreeComposer(XoComposerHandle composer) {
    delete composer;
    return XOSYS_OK;
}

XoResult XoSysCompose(XoComposerHandle composer, const char* format, ...) {
    if (composer == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    va_list args;
    va_start(args, format);
    const XoResult rc = composer->compose(format, args);
    va_end(args);
    return rc;
}

XoResult XoSysComposeGetSize(XoComposerHandle composer, uint64_t* size) {
    if (composer == nullptr || size == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    *size = composer->size();
    return XOSYS_OK;
}

XoResult XoSysComposeGetBuffer(XoComposerHandle composer, const uint8_t** buffer) {
    if (composer == nullptr || buffer == nullptr) {
        return XOSYS_E_INVALID_ARG;
    }
    *buffer = composer->data();
    return XOSYS_OK;
}

}  // extern "C"
