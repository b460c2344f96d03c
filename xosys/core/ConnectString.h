// The connect string of XoMQConnectEx2: fields "name = value" separated by
// ";" or ",", names matched ignoring case. Of repeated fields the first one
// with a non-empty value counts; empty ones count as absent. Fields used:
//
//   appname            connection name shown by the router   default "XoMQSender"
//   host               router host                           default 127.0.0.1
//   port               router port                           default 3001
//   lrpcq_port         router on this host (127.0.0.1) at this port; overrides host/port
//   timeout            connect time-out in milliseconds      default 3000
//   password           token the router requires, or the password of user
//   servers            routers as nats:// or tls:// URLs separated by blanks,
//                      tried in that order; overrides host, port and lrpcq_port
//   ignore_discovered  1: only the listed routers, not those a cluster announces
//   reconnect_attempts attempts per router after a loss; 0 turns reconnecting off
//                      default 10 with servers, otherwise 0
//   reconnect_wait     pause in milliseconds after each round of attempts (250)
//   user               user name (password is then its password)
//   nkey_seed          file holding an NKey seed
//   creds              credentials file (user JWT and NKey seed)
//   tls_ca             CA certificates the router's certificate must chain to
//   tls_cert, tls_key  client certificate and its private key
//   spin_us            a wait for a message first polls the socket without
//                      sleeping for up to this many microseconds, 0 to 100000;
//                      0 (the default): it sleeps at once
//
// Unknown fields are ignored. The defaults are XoMQSender's own, taken from
// the header the program uses too (ConnectDefaults.h), so that a field the
// program leaves empty means what the program means by it.
#ifndef XOSYS_CORE_CONNECTSTRING_H
#define XOSYS_CORE_CONNECTSTRING_H

#include <cstdint>
#include <string>
#include <vector>

#include "ConnectDefaults.h"

namespace xosys {

struct ConnectParams {
    static const int kDefaultReconnectAttempts = 10;
    static const int32_t kDefaultReconnectWaitMs = 250;
    static const int32_t kMaxSpinUs = 100000;

    std::string appname = xoconnect::kDefaultAppName;
    std::string host = xoconnect::kDefaultHost;
    int port = xoconnect::kDefaultPort;
    int lrpcqPort = 0;  // 0: not given
    int32_t timeoutMs = xoconnect::kDefaultTimeoutMs;
    std::string password;  // empty: none

    std::vector<std::string> servers;  // normalized URLs; empty: host and port
    bool ignoreDiscovered = false;
    int reconnectAttempts = 0;  // 0: a lost router fails the calls at once
    int32_t reconnectWaitMs = kDefaultReconnectWaitMs;

    std::string user;
    std::string nkeySeedFile;
    std::string credsFile;
    std::string tlsCa;
    std::string tlsCert;
    std::string tlsKey;

    int32_t spinUs = 0;  // 0: a wait sleeps at once

    // The routers to try, in order (never holds a secret).
    std::vector<std::string> urls() const;
    // The same, separated by blanks, for messages.
    std::string url() const;
    // TLS: a tls:// router or any tls_ field.
    bool secure() const;
};

// The trimmed value of the first field called name in text whose value is
// not empty; false when there is none (a bare name or "name =" does not
// count). Fields are found by the program's own lookup (optstr::GetFldVal),
// so both match names alike; only here are a value's trailing blanks dropped.
bool findConnectField(const char* text, const char* name, std::string* value);

// Checks one router URL, "nats://host:port" or "tls://host:port", and
// writes it with the scheme in lower case. False for anything else (no user
// or password inside, no path).
bool normalizeServerUrl(const std::string& text, std::string* url);

// The routers of a "servers" value: URLs separated by blanks, at most 32,
// all of one scheme. False with the reason in *error (no value quoted).
bool parseServerList(const std::string& value, std::vector<std::string>* servers,
                     std::string* error);

// Parses text into *params. Returns 0 or XOSYS_E_CONNECT_STRING with a
// reason in *error; the reason names the field and never holds a value.
uint32_t parseConnectString(const char* text, ConnectParams* params, std::string* error);

}  // namespace xosys

#endif  // XOSYS_CORE_CONNECTSTRING_H
