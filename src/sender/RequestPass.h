// One request of the run: poll, build, compose, send and wait, check the
// reply; and the failure lines of the run's calls.
#ifndef XOMQ_SENDER_REQUESTPASS_H
#define XOMQ_SENDER_REQUESTPASS_H

#include <cstdint>
#include <string>

#include "HandleGuard.h"
#include "Measurement.h"
#include "XoSys.h"

// The result of a pass or a loop that found a stop request pending (a paced
// run's wait for a request's due time ends so); the run's finish turns it
// into the request's code.
const uint32_t kStopped = 0xFFFFFFFFu;

// A call of the run as its failure is logged and recorded.
struct RunCall {
    const char* call;  // the call's own name, for the record
    const char* name;  // the line is "%s failed" with this name, or, when null,
    const char* text;  // this complete text without an argument
};

// The failure of a call: logged once, where it happened, by a direct
// XoLogErrorWithCode (no TraceSite) with the call's code, and noted in
// *failedCall. Returns rc.
uint32_t callFailed(uint32_t rc, const RunCall& call, std::string* failedCall);

// The handles of one pass. Members end in the reverse order of their
// declaration: reply, composer, request, drained message.
struct PassHandles {
    MessageGuard drained;
    MessageGuard request;
    ComposerGuard composer;
    MessageGuard reply;
};

// Where the requests go.
struct RequestTarget {
    XoMQConnHandle connection;
    const char* address;  // the resolved service address
    int32_t sendTimeout;
};

// One request. The handles stay in h for the caller to release after its own
// steps. *systemError tells whether the reply was a system error reply. With
// a measurement, it is told of the moments just before the send and just
// after the reply check (and a paced run waits there for the request's due
// time). Returns 0, kStopped when a stop request ended that wait, or the
// failing call's code after its line, with the call in *failedCall.
uint32_t requestPass(const RequestTarget& target, PassHandles& h, Measurement* measurement,
                     bool* systemError, std::string* failedCall);

#endif  // XOMQ_SENDER_REQUESTPASS_H
