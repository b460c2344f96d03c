// The router connection flags our tools share (xomq-responder, xomq-agent,
// xomq-fleet-control): one parser, so that a flag means the same in each.
//
//   --server     routers separated by commas: host:port, host (port 4222),
//                nats://host:port or tls://host:port
//   --user, --password, --nkey-seed, --creds, --tls-ca, --tls-cert, --tls-key
//
//   RouterFlags flags;
//   for each "--flag value": if (flags.take(flag, value)) continue; ...
//   flags.finish(&params, &error);   // after the last flag
#ifndef XOMQ_TOOLS_ROUTERFLAGS_H
#define XOMQ_TOOLS_ROUTERFLAGS_H

#include <string>
#include <vector>

#include "ConnectString.h"

namespace xotools {

// The --help lines of the flags, each starting with two blanks, the texts
// in column 23.
extern const char kRouterFlagsHelp[];

class RouterFlags {
  public:
    // Stores value when flag is one of the connection flags; false for any
    // other flag.
    bool take(const std::string& flag, const char* value);

    // Checks the flags together and sets their fields of params: the
    // routers, the credentials, reconnecting when several routers are given
    // (a lost router is then replaced by another) and a connect time-out of
    // 2 s; its other fields stay. False with the reason, which never quotes
    // a value.
    bool finish(xosys::ConnectParams* params, std::string* error) const;

  private:
    std::string m_server;
    xosys::ConnectParams m_params;
};

// The routers of a --server value as URLs. False when one is not
// host[:port], nats://host:port or tls://host:port.
bool parseServerFlag(const std::string& text, std::vector<std::string>* urls, std::string* error);

}  // namespace xotools

#endif  // XOMQ_TOOLS_ROUTERFLAGS_H
