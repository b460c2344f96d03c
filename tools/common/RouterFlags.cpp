#include "RouterFlags.h"

namespace xotools {

const char kRouterFlagsHelp[] =
    "  --server            the router (NATS server) to connect to: host:port,\n"
    "                      nats://host:port or tls://host:port; several separated by\n"
    "                      commas are tried in order, and a lost router is then\n"
    "                      replaced by another one (or one its cluster announces)\n"
    "  --user              user name; --password is then its password\n"
    "  --password          token the router requires, or the password of --user\n"
    "  --nkey-seed         file holding the NKey seed to sign in with\n"
    "  --creds             credentials file (user JWT and NKey seed)\n"
    "  --tls-ca            CA certificates the router's certificate must chain to\n"
    "  --tls-cert          client certificate (with --tls-key, its private key)\n";

namespace {

// One router of --server: "nats://host:port", "tls://host:port",
// "host:port" or "host" (port 4222), as a URL.
bool serverUrl(std::string server, std::string* url) {
    if (server.find("://") == std::string::npos) {
        server = "nats://" + server;
    }
    const size_t hostAt = server.find("://") + 3;
    const size_t colon = server.rfind(':');
    const bool bracketed = hostAt < server.size() && server[hostAt] == '[';
    if (colon < hostAt || (bracketed && server.back() == ']')) {
        server += ":4222";
    }
    return xosys::normalizeServerUrl(server, url);
}

}  // namespace

bool parseServerFlag(const std::string& text, std::vector<std::string>* urls, std::string* error) {
    std::string blankSeparated;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find(',', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string url;
        if (!serverUrl(text.substr(begin, end - begin), &url)) {
            *error =
                "--server must be routers separated by commas, each host:port, "
                "nats://host:port or tls://host:port";
            return false;
        }
        blankSeparated += url + " ";
        begin = end + 1;
    }
    return xosys::parseServerList(blankSeparated, urls, error);
}

bool RouterFlags::take(const std::string& flag, const char* value) {
    struct Text {
        const char* flag;
        std::string xosys::ConnectParams::*member;
    };
    static const Text kTexts[] = {
        {"--user", &xosys::ConnectParams::user},
        {"--password", &xosys::ConnectParams::password},
        {"--nkey-seed", &xosys::ConnectParams::nkeySeedFile},
        {"--creds", &xosys::ConnectParams::credsFile},
        {"--tls-ca", &xosys::ConnectParams::tlsCa},
        {"--tls-cert", &xosys::ConnectParams::tlsCert},
        {"--tls-key", &xosys::ConnectParams::tlsKey},
    };
    if (flag == "--server") {
        m_server = value;
        return true;
    }
    for (const Text& t : kTexts) {
        if (flag == t.flag) {
            m_params.*t.member = value;
            return true;
        }
    }
    return false;
}

bool RouterFlags::finish(xosys::ConnectParams* params, std::string* error) const {
    if (m_server.empty()) {
        *error = "--server is required";
        return false;
    }
    std::vector<std::string> servers;
    if (!parseServerFlag(m_server, &servers, error)) {
        return false;
    }
    if (m_params.tlsCert.empty() != m_params.tlsKey.empty()) {
        *error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (!m_params.nkeySeedFile.empty() && !m_params.credsFile.empty()) {
        *error = "--nkey-seed and --creds cannot be used together";
        return false;
    }
    // Only the fields of these flags: a tool may have set others.
    params->servers = servers;
    params->user = m_params.user;
    params->password = m_params.password;
    params->nkeySeedFile = m_params.nkeySeedFile;
    params->credsFile = m_params.credsFile;
    params->tlsCa = m_params.tlsCa;
    params->tlsCert = m_params.tlsCert;
    params->tlsKey = m_params.tlsKey;
    params->reconnectAttempts =
        params->servers.size() > 1 ? xosys::ConnectParams::kDefaultReconnectAttempts : 0;
    params->timeoutMs = 2000;
    return true;
}

}  // namespace xotools
