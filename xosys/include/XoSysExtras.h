// Calls of our XoSys library beyond the XoSys API. A program that uses them
// must not depend on them: the vendor's library does not have them.
#ifndef XOSYS_EXTRAS_H
#define XOSYS_EXTRAS_H

#include "XoSys.h"

#ifdef __cplusplus
extern "C" {
#endif

// "XoSys over NATS <version>, libnats <version>"; valid for the life of the
// process.
XOSYS_API const char* XoSysVersion(void);

#ifdef __cplusplus
}
#endif

#endif  // XOSYS_EXTRAS_H
