#include "ConnectString.h"

#include <cstring>

#include "IniData.h"
#include "OptionString.h"
#include "XoSysCodes.h"

namespace xosys {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(const char* a, size_t len, const char* b) {
    for (size_t i = 0; i < len; ++i) {
        if (b[i] == '\0' || lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return b[len] == '\0';
}

bool parsePort(const std::string& text, int* port) {
    int32_t v = 0;
    if (!parseInt32(text, &v) || v < 1 || v > 65535) {
        return false;
    }
    *port = v;
    return true;
}

bool validHost(const std::string& host) {
    if (host.empty() || host.size() > 253) {
        return false;
    }
    for (char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == ':' ||
                        c == '[' || c == ']';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// A connection name. "=" is refused too: it shows that a separator is
// missing and the text runs on into the next field, which may be the
// password (the name goes to the router and into log lines).
bool validName(const std::string& name) {
    if (name.size() > 255) {
        return false;
    }
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"' || c == '\\' ||
            c == '=') {
            return false;
        }
    }
    return true;
}

// A file name: any text without control characters.
bool validPath(const std::string& path) {
    if (path.size() > 4095) {
        return false;
    }
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool startsWithScheme(const std::string& text, const char* scheme) {
    const size_t n = std::strlen(scheme);
    return text.size() >= n && sameName(text.data(), n, scheme);
}

const size_t kMaxServers = 32;

}  // namespace

bool parseServerList(const std::string& value, std::vector<std::string>* servers,
                     std::string* error) {
    servers->clear();
    size_t i = 0;
    while (i < value.size()) {
        while (i < value.size() && isBlank(value[i])) {
            ++i;
        }
        size_t end = i;
        while (end < value.size() && !isBlank(value[end])) {
            ++end;
        }
        if (end == i) {
            break;
        }
        std::string url;
        if (!normalizeServerUrl(value.substr(i, end - i), &url)) {
            *error =
                "field 'servers' must hold nats://host:port or tls://host:port URLs separated by "
                "blanks, with ports from 1 to 65535";
            return false;
        }
        servers->push_back(url);
        i = end;
    }
    if (servers->size() > kMaxServers) {
        *error = "field 'servers' names more than 32 routers";
        return false;
    }
    for (const std::string& url : *servers) {
        if (url.compare(0, 4, (*servers)[0], 0, 4) != 0) {
            *error = "field 'servers' mixes nats:// and tls:// URLs; use one scheme for all";
            return false;
        }
    }
    return true;
}

namespace {

bool parseCount(const std::string& text, int32_t low, int32_t high, int32_t* value) {
    int32_t v = 0;
    if (!parseInt32(text, &v) || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

}  // namespace

std::vector<std::string> ConnectParams::urls() const {
    if (!servers.empty()) {
        return servers;
    }
    std::string out = secure() ? "tls://" : "nats://";
    if (lrpcqPort != 0) {
        out += "127.0.0.1:" + std::to_string(lrpcqPort);
        return {out};
    }
    // A bare IPv6 address needs brackets in a URL.
    if (host.find(':') != std::string::npos && host[0] != '[') {
        out += "[" + host + "]";
    } else {
        out += host;
    }
    out += ":" + std::to_string(port);
    return {out};
}

std::string ConnectParams::url() const {
    std::string out;
    for (const std::string& u : urls()) {
        out += out.empty() ? u : " " + u;
    }
    return out;
}

bool ConnectParams::secure() const {
    return (!servers.empty() && servers[0].compare(0, 6, "tls://") == 0) || !tlsCa.empty() ||
           !tlsCert.empty() || !tlsKey.empty();
}

bool normalizeServerUrl(const std::string& text, std::string* url) {
    std::string scheme;
    if (startsWithScheme(text, "nats://")) {
        scheme = "nats://";
    } else if (startsWithScheme(text, "tls://")) {
        scheme = "tls://";
    } else {
        return false;
    }
    const std::string rest = text.substr(scheme.size());
    size_t colon = std::string::npos;
    std::string host;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return false;
        }
        host = rest.substr(0, close + 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        host = rest.substr(0, colon);
        if (host.find_first_of(":[]") != std::string::npos) {
            return false;
        }
    }
    int port = 0;
    if (!validHost(host) || !parsePort(rest.substr(colon + 1), &port)) {
        return false;
    }
    *url = scheme + host + ":" + std::to_string(port);
    return true;
}

bool findConnectField(const char* text, const char* name, std::string* value) {
    value->clear();
    if (text == nullptr || name == nullptr) {
        return false;
    }
    // The program's own lookup finds each field; walking on past it finds the
    // next one of the same name.
    const char* rest = text;
    for (;;) {
        size_t len = 0;
        const char* found = optstr::GetFldVal(rest, name, &len);
        if (found == nullptr) {
            return false;
        }
        // optstr keeps a value's trailing blanks; the library drops them.
        const char* b = found;
        const char* e = found + len;
        trimBlanks(&b, &e);
        // An empty occurrence is passed over: the program appends its
        // default behind a field it finds empty, and that default must
        // be the value that counts.
        if (b != e) {
            value->assign(b, static_cast<size_t>(e - b));
            return true;
        }
        // The value (or a bare name) ends at the field's separator or at the
        // end of the text.
        if (found[len] == '\0') {
            return false;
        }
        rest = found + len + 1;
    }
}

// The reasons of a refusal name the field but never quote its value: with a
// separator missing, a value runs on into the next field, and that may be
// the password.
uint32_t parseConnectString(const char* text, ConnectParams* params, std::string* error) {
    *params = ConnectParams();
    if (text == nullptr) {
        *error = "no connect string";
        return XOSYS_E_CONNECT_STRING;
    }
    std::string value;
    if (findConnectField(text, "appname", &value)) {
        if (!validName(value)) {
            *error = "field 'appname' holds control characters, quotes, '=' or more than 255 bytes";
            return XOSYS_E_CONNECT_STRING;
        }
        params->appname = value;
    }
    if (findConnectField(text, "host", &value)) {
        if (!validHost(value)) {
            *error = "field 'host' is not a host name or address";
            return XOSYS_E_CONNECT_STRING;
        }
        params->host = value;
    }
    if (findConnectField(text, "port", &value) && !parsePort(value, &params->port)) {
        *error = "field 'port' must be a number from 1 to 65535";
        return XOSYS_E_CONNECT_STRING;
    }
    if (findConnectField(text, "lrpcq_port", &value) && !parsePort(value, &params->lrpcqPort)) {
        *error = "field 'lrpcq_port' must be a number from 1 to 65535";
        return XOSYS_E_CONNECT_STRING;
    }
    if (findConnectField(text, "timeout", &value)) {
        int32_t ms = 0;
        if (!parseInt32(value, &ms) || ms < 1) {
            *error = "field 'timeout' must be a positive number of milliseconds";
            return XOSYS_E_CONNECT_STRING;
        }
        params->timeoutMs = ms;
    }
    if (findConnectField(text, "password", &value)) {
        params->password = value;
    }
    if (findConnectField(text, "servers", &value)) {
        if (!parseServerList(value, &params->servers, error)) {
            return XOSYS_E_CONNECT_STRING;
        }
        params->reconnectAttempts = ConnectParams::kDefaultReconnectAttempts;
    }
    if (findConnectField(text, "ignore_discovered", &value)) {
        if (value != "0" && value != "1") {
            *error = "field 'ignore_discovered' must be 0 or 1";
            return XOSYS_E_CONNECT_STRING;
        }
        params->ignoreDiscovered = value == "1";
    }
    if (findConnectField(text, "reconnect_attempts", &value)) {
        int32_t n = 0;
        if (!parseCount(value, 0, 1000000, &n)) {
            *error = "field 'reconnect_attempts' must be a number from 0 to 1000000";
            return XOSYS_E_CONNECT_STRING;
        }
        params->reconnectAttempts = n;
    }
    if (findConnectField(text, "reconnect_wait", &value) &&
        !parseCount(value, 0, 3600000, &params->reconnectWaitMs)) {
        *error = "field 'reconnect_wait' must be a number of milliseconds from 0 to 3600000";
        return XOSYS_E_CONNECT_STRING;
    }
    if (findConnectField(text, "spin_us", &value) &&
        !parseCount(value, 0, ConnectParams::kMaxSpinUs, &params->spinUs)) {
        *error = "field 'spin_us' must be a number of microseconds from 0 to 100000";
        return XOSYS_E_CONNECT_STRING;
    }
    if (findConnectField(text, "user", &value)) {
        if (!validName(value)) {
            *error = "field 'user' holds control characters, quotes, '=' or more than 255 bytes";
            return XOSYS_E_CONNECT_STRING;
        }
        params->user = value;
    }
    struct FileField {
        const char* name;
        std::string ConnectParams::*member;
    };
    static const FileField kFiles[] = {
        {"nkey_seed", &ConnectParams::nkeySeedFile}, {"creds", &ConnectParams::credsFile},
        {"tls_ca", &ConnectParams::tlsCa},           {"tls_cert", &ConnectParams::tlsCert},
        {"tls_key", &ConnectParams::tlsKey},
    };
    for (const FileField& f : kFiles) {
        if (findConnectField(text, f.name, &value)) {
            if (!validPath(value)) {
                *error = std::string("field '") + f.name +
                         "' must be a file name without control characters";
                return XOSYS_E_CONNECT_STRING;
            }
            params->*f.member = value;
        }
    }
    if (!params->nkeySeedFile.empty() && !params->credsFile.empty()) {
        *error = "fields 'nkey_seed' and 'creds' cannot be used together";
        return XOSYS_E_CONNECT_STRING;
    }
    if (params->tlsCert.empty() != params->tlsKey.empty()) {
        *error = "fields 'tls_cert' and 'tls_key' go together: give both or neither";
        return XOSYS_E_CONNECT_STRING;
    }
    return XOSYS_OK;
}

}  // namespace xosys
