// Shared state between the configuration and the log of libXoSys.
#ifndef XOSYS_LIB_LIBINTERNAL_H
#define XOSYS_LIB_LIBINTERNAL_H

#include <string>
#include <vector>

namespace xosys {

// The value of section/key of the open INI file; false when the file is
// not open or the key is absent.
bool iniLookup(const char* section, const char* key, std::string* value);
// The keys of a section of the open INI file (lower case).
std::vector<std::string> iniKeys(const char* section);

}  // namespace xosys

#endif  // XOSYS_LIB_LIBINTERNAL_H
