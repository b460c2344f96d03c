// Scope guards for XoSys handles: one guard class per handle kind, all built
// on one template. A guard starts empty, lends the address of its handle
// variable to the call that fills it, and frees a non-null handle exactly once
// when its scope ends.
#ifndef XOMQ_SENDER_HANDLEGUARD_H
#define XOMQ_SENDER_HANDLEGUARD_H

#include "XoSys.h"

template <class Handle, class Release>
class HandleGuard {
  public:
    HandleGuard() = default;
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    ~HandleGuard() {
        if (m_handle != nullptr) {
            Release::release(m_handle);
        }
    }

    // Address of the handle variable, for the call that stores a handle.
    Handle* slot() { return &m_handle; }
    Handle get() const { return m_handle; }

  private:
    Handle m_handle = nullptr;
};

// The free calls are wrapped in functions of our own: the address of an
// imported DLL function is not a compile-time constant on Windows.
struct MessageRelease {
    static void release(XoMsgHandle h) { XoMsgFreeMessage(h); }
};
struct ComposerRelease {
    static void release(XoComposerHandle h) { XoSysFreeComposer(h); }
};
struct ConnectionRelease {
    static void release(XoMQConnHandle h) { XoMQFreeConnection(h); }
};

using MessageGuard = HandleGuard<XoMsgHandle, MessageRelease>;
using ComposerGuard = HandleGuard<XoComposerHandle, ComposerRelease>;
using ConnectionGuard = HandleGuard<XoMQConnHandle, ConnectionRelease>;

#endif  // XOMQ_SENDER_HANDLEGUARD_H
