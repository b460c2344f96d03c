// Versions for --version and the run's record: the program's own (from the
// build) and what can be learnt about the XoSys library it runs with.
#ifndef XOMQ_SENDER_VERSION_H
#define XOMQ_SENDER_VERSION_H

#include <string>

#ifndef XOMQ_VERSION
#define XOMQ_VERSION "unknown"
#endif

namespace xoversion {

struct LibraryInfo {
    std::string path;     // the file the XoSys calls come from
    std::string version;  // what the library says of itself, if it says anything
};

// Found without loading anything: the module that holds XoIniOpen, and an
// optional "XoSysVersion" call (our library exports one; the vendor's need
// not, and then the version reads "version not reported").
LibraryInfo library();

}  // namespace xoversion

#endif  // XOMQ_SENDER_VERSION_H
