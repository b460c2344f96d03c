// XoSysVersion: what XoMQSender --version shows of the library.
#include <nats/nats.h>

#include <string>

#include "XoSysExtras.h"

extern "C" const char* XoSysVersion(void) {
    static const std::string text =
        std::string("XoSys over NATS ") + XOSYS_VERSION + ", libnats " + nats_GetVersion();
    return text.c_str();
}
