// The connect string of XoMQConnectEx2: fields "name = value" separated by
// ";" or ",", names matched ignoring case, the first of repeated fields
// counting. Fields used:
//
//   appname     connection name shown by the router   default "XoSys"
//   host        router host                           default 127.0.0.1
//   port        router port                           default 4222
//   lrpcq_port  router on this host (127.0.0.1) at this port; overrides host/port
//   timeout     connect time-out in milliseconds      default 3000
//   password    token the router requires             default none
//
// A field with an empty value counts as absent. Unknown fields are ignored.
#ifndef XOSYS_CORE_CONNECTSTRING_H
#define XOSYS_CORE_CONNECTSTRING_H

#include <cstdint>
#include <string>

namespace xosys {

struct ConnectParams {
    std::string appname = "XoSys";
    std::string host = "127.0.0.1";
    int port = 4222;
    int lrpcqPort = 0;  // 0: not given
    int32_t timeoutMs = 3000;
    std::string password;  // empty: none

    // The router URL, e.g. "nats://127.0.0.1:4222" (never holds the password).
    std::string url() const;
};

// The trimmed value of field name in text; false when the field is absent.
// A bare name (no "=") is found with an empty value.
bool findConnectField(const char* text, const char* name, std::string* value);

// Parses text into *params. Returns 0 or XOSYS_E_CONNECT_STRING with a
// reason in *error; the reason names the field and never holds a value.
uint32_t parseConnectString(const char* text, ConnectParams* params, std::string* error);

}  // namespace xosys

#endif  // XOSYS_CORE_CONNECTSTRING_H
