// The connect string of XoMQConnectEx2: fields "name = value" separated by
// ";" or ",", names matched ignoring case. Of repeated fields the first one
// with a non-empty value counts; empty ones count as absent. Fields used:
//
//   appname     connection name shown by the router   default "XoMQSender"
//   host        router host                           default 127.0.0.1
//   port        router port                           default 3001
//   lrpcq_port  router on this host (127.0.0.1) at this port; overrides host/port
//   timeout     connect time-out in milliseconds      default 3000
//   password    token the router requires             default none
//
// Unknown fields are ignored. The defaults are XoMQSender's own, so that a
// field the program leaves empty means what the program means by it.
#ifndef XOSYS_CORE_CONNECTSTRING_H
#define XOSYS_CORE_CONNECTSTRING_H

#include <cstdint>
#include <string>

namespace xosys {

struct ConnectParams {
    std::string appname = "XoMQSender";
    std::string host = "127.0.0.1";
    int port = 3001;
    int lrpcqPort = 0;  // 0: not given
    int32_t timeoutMs = 3000;
    std::string password;  // empty: none

    // The router URL, e.g. "nats://127.0.0.1:4222" (never holds the password).
    std::string url() const;
};

// The trimmed value of the first field called name in text whose value is
// not empty; false when there is none (a bare name or "name =" does not
// count).
bool findConnectField(const char* text, const char* name, std::string* value);

// Parses text into *params. Returns 0 or XOSYS_E_CONNECT_STRING with a
// reason in *error; the reason names the field and never holds a value.
uint32_t parseConnectString(const char* text, ConnectParams* params, std::string* error);

}  // namespace xosys

#endif  // XOSYS_CORE_CONNECTSTRING_H
