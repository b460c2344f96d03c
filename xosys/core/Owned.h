// Owners of C handles: a std::unique_ptr whose deleter calls the handle's
// own free function, so that a handle is freed exactly once, on every path
// out of the code that made it.
//
//   Owned<X509, X509_free> cert(PEM_read_X509(...));
//
// libnats's handles have theirs in net/NatsHandles.h.
#ifndef XOSYS_CORE_OWNED_H
#define XOSYS_CORE_OWNED_H

#include <cstdio>
#include <memory>

namespace xosys {

// Calls Free on a handle; unique_ptr never passes it a null one.
template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* handle) const {
        Free(handle);
    }
};

template <typename T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

// A file of our own, closed when it goes (stdin, stdout and stderr are never
// put into one).
using FilePtr = Owned<FILE, std::fclose>;

}  // namespace xosys

#endif  // XOSYS_CORE_OWNED_H
