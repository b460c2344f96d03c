// Short descriptions of our result codes, for log lines and messages.
#ifndef XOSYS_CORE_CODES_H
#define XOSYS_CORE_CODES_H

#include <cstdint>

namespace xosys {

// A fixed text for every code of XoSysCodes.h; "unknown code" otherwise.
const char* codeText(uint32_t code);

}  // namespace xosys

#endif  // XOSYS_CORE_CODES_H
