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

// The optional call of XoSys.h (XoMQServiceStatsCall): the statistics of
// every instance of serviceName that answers $SRV.STATS within waitMs.
XOSYS_API XoResult XoMQServiceStats(XoMQConnHandle conn, const char* serviceName, char* json,
                                    uint64_t* jsonSize, int32_t waitMs);

#ifdef __cplusplus
}
#endif

#endif  // XOSYS_EXTRAS_H
