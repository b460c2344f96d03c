// Connection set-up: creates the connection handle, builds the connect string
// from the INI section "options:mq" and connects, retrying every 300 ms until
// a deadline.
#ifndef XOMQ_SENDER_MQCONNECTION_H
#define XOMQ_SENDER_MQCONNECTION_H

#include <cstdint>
#include <string>

#include "StopRequest.h"
#include "XoSys.h"

// One connect attempt on a created handle.
struct ConnectFunctor {
    XoMQConnHandle m_conn;
    const char* m_connStr;  // borrowed; valid while the set-up runs

    ConnectFunctor(XoMQConnHandle conn, const char* connStr) : m_conn(conn), m_connStr(connStr) {}
    uint32_t operator()() const;
};

// Milliseconds of a monotonic clock, truncated to 32 bits (the deadline
// arithmetic is modulo 2^32, so a wrap does no harm).
uint32_t retryClockMs();
// The fixed pause between two attempts: 300 ms.
void retryPause();

// Calls object() until it returns 0 or the deadline of timeoutMs milliseconds,
// counted from the first call, has passed. Every failed call is logged as
// "<name> failed" and followed by the pause. There is always one call, also
// for a deadline of 0 or less. A stop request (SIGINT, SIGTERM, ...) ends
// the loop after the call that was under way. Returns 0 or the code of the
// last call; the final failure is left to the caller to log.
template <class Object>
uint32_t tryExecuteObjectUntilTimeout(int32_t timeoutMs, Object object, const char* name) {
    const uint32_t start = retryClockMs();
    for (;;) {
        const uint32_t rc = object();
        if (rc == 0) {
            return 0;
        }
        XoLogErrorWithCode(rc, "%s failed", name);
        if (stoprequest::requested() != 0) {
            return rc;
        }
        retryPause();
        if (stoprequest::requested() != 0) {
            return rc;
        }
        // Elapsed time modulo 2^32, so a wrap of the clock does no harm. A
        // deadline of 0 or less allows the one attempt only: modular
        // arithmetic alone would read a very negative one as weeks ahead.
        const uint32_t elapsed = retryClockMs() - start;
        if (timeoutMs <= 0 || elapsed >= static_cast<uint32_t>(timeoutMs)) {
            return rc;
        }
    }
}

// The connect string that the settings of "options:mq" describe. A non-empty
// "connect" value is completed with the fields it lacks; otherwise the string
// is built from the single keys.
std::string buildConnectString();

// Creates the connection in *connSlot (which must hold null) and connects it.
// Returns 0 when connected, otherwise the failing call's code. Whatever handle
// ends up in *connSlot belongs to the caller, also on failure. extraArg is
// accepted for the caller's second command-line argument and not used.
uint32_t createMQConnectionConnect(XoMQConnHandle* connSlot, const char* extraArg);

#endif  // XOMQ_SENDER_MQCONNECTION_H
