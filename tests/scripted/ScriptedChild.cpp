// Makes a few XoSys calls against the scripted library, for the tests of its
// file-driven mode. The connection is deliberately left unfreed. With the
// argument "crash" the process aborts instead of returning; with "none" it
// makes no call at all.
#include <cstdlib>
#include <cstring>

#include "XoSys.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "none") == 0) {
        return 0;
    }
    XoMQConnHandle conn = nullptr;
    XoMQCreateConnection(&conn);
    XoMsgHandle msg = nullptr;
    const XoResult rc = XoMsgCreateMessage(&msg);
    if (msg != nullptr) {
        XoMsgFreeMessage(msg);
    }
    XoLogInfo("child done %d", static_cast<int>(rc));
    if (argc > 1 && std::strcmp(argv[1], "crash") == 0) {
        std::abort();
    }
    return static_cast<int>(rc);
}
