#include "LogIni.h"

#include <cstdio>

#include "TraceSite.h"
#include "XoSys.h"

LogIni::~LogIni() {
    XoMQCleanup();
    XoLogClose();
    XoIniClose();
}

uint32_t LogIni::logIniInit(const char* iniPath) {
    XoIniSetOpt(0);

    XoResult rc = XoIniOpen(iniPath);
    if (rc != 0) {
        // The log is not open yet, so the failure goes to standard output.
        std::printf("XoIniOpen not ok. Error code: %x", static_cast<unsigned>(rc));
        std::fflush(stdout);
        return rc;
    }

    rc = XoLogOpen(0);
    if (rc != 0) {
        std::printf("XoLogOpen not ok. Error code: %x", static_cast<unsigned>(rc));
        std::fflush(stdout);
        XoIniClose();
        return rc;
    }

    rc = XoMQStartup();
    if (rc != 0) {
        XO_LOG_EX(2, "RERUZU", "XoMQStartup not ok. Error code: %x", rc);
        XoLogClose();
        XoIniClose();
        return rc;
    }
    return 0;
}
