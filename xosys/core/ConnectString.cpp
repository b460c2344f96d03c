#include "ConnectString.h"

#include <cstring>

#include "IniData.h"
#include "XoSysCodes.h"

namespace xosys {

namespace {

bool isSeparator(char c) {
    return c == ';' || c == ',';
}

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

}  // namespace

std::string ConnectParams::url() const {
    std::string out = "nats://";
    if (lrpcqPort != 0) {
        out += "127.0.0.1:" + std::to_string(lrpcqPort);
        return out;
    }
    // A bare IPv6 address needs brackets in a URL.
    if (host.find(':') != std::string::npos && host[0] != '[') {
        out += "[" + host + "]";
    } else {
        out += host;
    }
    out += ":" + std::to_string(port);
    return out;
}

bool findConnectField(const char* text, const char* name, std::string* value) {
    value->clear();
    if (text == nullptr || name == nullptr) {
        return false;
    }
    const size_t nameLen = std::strlen(name);
    const char* p = text;
    for (;;) {
        const char* fieldEnd = p;
        while (*fieldEnd != '\0' && !isSeparator(*fieldEnd)) {
            ++fieldEnd;
        }
        const char* b = p;
        const char* e = fieldEnd;
        trimBlanks(&b, &e);
        const char* eq = static_cast<const char*>(std::memchr(b, '=', static_cast<size_t>(e - b)));
        const char* nb = b;
        const char* ne = eq != nullptr ? eq : e;
        trimBlanks(&nb, &ne);
        if (static_cast<size_t>(ne - nb) == nameLen && sameName(nb, nameLen, name)) {
            const char* vb = eq != nullptr ? eq + 1 : e;
            const char* ve = e;
            trimBlanks(&vb, &ve);
            // An empty occurrence is passed over: the program appends its
            // default behind a field it finds empty, and that default must
            // be the value that counts.
            if (vb != ve) {
                value->assign(vb, static_cast<size_t>(ve - vb));
                return true;
            }
        }
        if (*fieldEnd == '\0') {
            return false;
        }
        p = fieldEnd + 1;
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
    return XOSYS_OK;
}

}  // namespace xosys
