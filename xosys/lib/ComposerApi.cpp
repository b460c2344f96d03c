// Binary composer calls. Every failure is logged with its reason before its
// code is returned.
#include <cstdarg>
#include <new>

#include "Codes.h"
#include "Composer.h"
#include "LogLine.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

const char kTag[] = "XoSys";

uint32_t refuse(uint32_t code, const char* call, const char* reason) {
    XoLogEx(xosys::kLevelError, kTag, "%s: %s", call, reason);
    return code;
}

}  // namespace

extern "C" {

XoResult XoSysCreateBinaryComposer(XoComposerHandle* slot) {
    if (slot == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, "XoSysCreateBinaryComposer", "no slot for the handle");
    }
    XoComposer_* composer = new (std::nothrow) XoComposer_;
    if (composer == nullptr) {
        return refuse(XOSYS_E_NO_MEMORY, "XoSysCreateBinaryComposer", "out of memory");
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
        return refuse(XOSYS_E_INVALID_ARG, "XoSysCompose", "no composer");
    }
    va_list args;
    va_start(args, format);
    const XoResult rc = composer->compose(format, args);
    va_end(args);
    if (rc != XOSYS_OK) {
        XoLogEx(xosys::kLevelError, kTag, "XoSysCompose: format '%.64s' cannot be composed: %s",
                format != nullptr ? format : "", xosys::codeText(rc));
    }
    return rc;
}

XoResult XoSysComposeGetSize(XoComposerHandle composer, uint64_t* size) {
    if (composer == nullptr || size == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, "XoSysComposeGetSize", "no composer or size");
    }
    *size = composer->size();
    return XOSYS_OK;
}

XoResult XoSysComposeGetBuffer(XoComposerHandle composer, const uint8_t** buffer) {
    if (composer == nullptr || buffer == nullptr) {
        return refuse(XOSYS_E_INVALID_ARG, "XoSysComposeGetBuffer", "no composer or buffer");
    }
    *buffer = composer->data();
    return XOSYS_OK;
}

}  // extern "C"
