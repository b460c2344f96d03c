#include "NatsOptions.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "NKey.h"
#include "XoSysCodes.h"

namespace xosys {

namespace {

// Why libnats failed: its last error text without the source position it
// starts with, or the text of s when it left none.
std::string natsReason(natsStatus s) {
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    if (detail == nullptr || detail[0] == '\0') {
        return natsStatus_GetText(s);
    }
    if (detail[0] == '(') {
        // libnats puts its source position first: "(conn.c:1905): "
        const char* end = std::strstr(detail, "): ");
        detail = end != nullptr ? end + 3 : detail;
    }
    return detail;
}

// Reads a whole file; false with *why when it cannot be read.
bool readSmallFile(const std::string& path, std::string* content, std::string* why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof()) {
        *why = "read error";
        return false;
    }
    *content = text.str();
    return true;
}

// libnats names the file in its errors; the name is left out, since a value
// that runs on over a missing separator may hold the password.
std::string withoutPath(std::string why, const std::string& path) {
    for (size_t at = why.find(path); !path.empty() && at != std::string::npos;
         at = why.find(path, at)) {
        why.replace(at, path.size(), "(the file)");
    }
    return why;
}

uint32_t fileProblem(const char* field, std::string why, const std::string& path,
                     std::string* reason) {
    why = withoutPath(why, path);
    const size_t null = why.rfind(": (null)");
    if (null != std::string::npos && null + 8 == why.size()) {
        why.erase(null);
    }
    *reason = std::string("the file of field '") + field + "' cannot be used: " + why;
    return XOSYS_E_CONNECT_STRING;
}

// The first word of text that is a seed (a seed file may hold comments or
// be a credentials file).
bool findSeed(const std::string& text, std::string* publicKey) {
    size_t i = 0;
    while (i < text.size()) {
        const size_t begin = text.find_first_not_of(" \t\r\n", i);
        if (begin == std::string::npos) {
            break;
        }
        size_t end = text.find_first_of(" \t\r\n", begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end - begin == 58 && text[begin] == 'S' &&
            nkey::publicFromSeed(text.substr(begin, 58), publicKey)) {
            return true;
        }
        i = end;
    }
    return false;
}

using X509Ptr = Owned<X509, X509_free>;
using BioPtr = Owned<BIO, BIO_free>;

// The client certificate must be valid now: an expired one is refused here
// with its date, instead of a bare handshake error from the router.
uint32_t checkCertificateDates(const std::string& path, std::string* reason) {
    X509Ptr cert;
    {
        const FilePtr f(std::fopen(path.c_str(), "r"));
        if (!f) {
            return fileProblem("tls_cert", std::strerror(errno), path, reason);
        }
        cert.reset(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
    }
    if (!cert) {
        return fileProblem("tls_cert", "no PEM certificate in it", path, reason);
    }
    const bool expired = X509_cmp_current_time(X509_get0_notAfter(cert.get())) < 0;
    const bool early = X509_cmp_current_time(X509_get0_notBefore(cert.get())) > 0;
    if (!expired && !early) {
        return XOSYS_OK;
    }
    char date[64] = "";
    const BioPtr bio(BIO_new(BIO_s_mem()));
    if (bio) {
        ASN1_TIME_print(bio.get(),
                        expired ? X509_get0_notAfter(cert.get()) : X509_get0_notBefore(cert.get()));
        const int n = BIO_read(bio.get(), date, sizeof date - 1);
        date[n > 0 ? n : 0] = '\0';
    }
    *reason = std::string("the client certificate (field 'tls_cert') ") +
              (expired ? "expired on " : "is not valid before ") + date;
    return XOSYS_E_CONNECT;
}

uint32_t addTls(const ConnectParams& p, natsOptions* opts, std::string* reason) {
    natsStatus s = natsOptions_SetSecure(opts, true);
    if (s != NATS_OK) {
        *reason = "TLS cannot be set up: " + natsReason(s);
        return XOSYS_E_MESSAGING;
    }
    if (!p.tlsCa.empty() &&
        natsOptions_LoadCATrustedCertificates(opts, p.tlsCa.c_str()) != NATS_OK) {
        return fileProblem("tls_ca", natsReason(NATS_SSL_ERROR), p.tlsCa, reason);
    }
    if (!p.tlsCert.empty()) {
        const uint32_t rc = checkCertificateDates(p.tlsCert, reason);
        if (rc != XOSYS_OK) {
            return rc;
        }
        if (natsOptions_LoadCertificatesChain(opts, p.tlsCert.c_str(), p.tlsKey.c_str()) !=
            NATS_OK) {
            return fileProblem("tls_cert' or 'tls_key",
                               withoutPath(natsReason(NATS_SSL_ERROR), p.tlsKey), p.tlsCert,
                               reason);
        }
    }
    return XOSYS_OK;
}

uint32_t addCredentials(const ConnectParams& p, natsOptions* opts, std::string* reason) {
    natsStatus s = NATS_OK;
    if (!p.user.empty()) {
        s = natsOptions_SetUserInfo(opts, p.user.c_str(),
                                    p.password.empty() ? nullptr : p.password.c_str());
    } else if (!p.password.empty()) {
        s = natsOptions_SetToken(opts, p.password.c_str());
    }
    if (s == NATS_OK && !p.nkeySeedFile.empty()) {
        std::string text;
        std::string why;
        std::string publicKey;
        if (!readSmallFile(p.nkeySeedFile, &text, &why)) {
            return fileProblem("nkey_seed", why, p.nkeySeedFile, reason);
        }
        const bool found = findSeed(text, &publicKey);
        std::fill(text.begin(), text.end(), '\0');
        if (!found) {
            return fileProblem("nkey_seed", "it holds no NKey seed", p.nkeySeedFile, reason);
        }
        s = natsOptions_SetNKeyFromSeed(opts, publicKey.c_str(), p.nkeySeedFile.c_str());
    }
    if (s == NATS_OK && !p.credsFile.empty()) {
        std::string text;
        std::string why;
        if (!readSmallFile(p.credsFile, &text, &why)) {
            return fileProblem("creds", why, p.credsFile, reason);
        }
        std::fill(text.begin(), text.end(), '\0');
        s = natsOptions_SetUserCredentialsFromFiles(opts, p.credsFile.c_str(), nullptr);
    }
    if (s != NATS_OK) {
        *reason = "the credentials cannot be set: " + natsReason(s);
        return s == NATS_NO_MEMORY ? XOSYS_E_NO_MEMORY : XOSYS_E_MESSAGING;
    }
    return XOSYS_OK;
}

uint32_t addRouters(const ConnectParams& p, natsOptions* opts, std::string* reason) {
    const std::vector<std::string> urls = p.urls();
    std::vector<const char*> list;
    for (const std::string& u : urls) {
        list.push_back(u.c_str());
    }
    natsStatus s = natsOptions_SetServers(opts, list.data(), static_cast<int>(list.size()));
    // In the order given: the first router is the preferred one.
    if (s == NATS_OK)
        s = natsOptions_SetNoRandomize(opts, true);
    if (s == NATS_OK)
        s = natsOptions_SetName(opts, p.appname.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(opts, p.timeoutMs);
    if (p.reconnectAttempts > 0) {
        if (s == NATS_OK)
            s = natsOptions_SetMaxReconnect(opts, p.reconnectAttempts);
        if (s == NATS_OK)
            s = natsOptions_SetReconnectWait(opts, p.reconnectWaitMs);
        // No random extra pause: the documented bound holds as it is.
        if (s == NATS_OK)
            s = natsOptions_SetReconnectJitter(opts, 0, 0);
        if (s == NATS_OK)
            s = natsOptions_SetIgnoreDiscoveredServers(opts, p.ignoreDiscovered);
    } else {
        // No reconnect loop: a router that goes away fails the next call at
        // once instead of hiding behind reconnect attempts.
        if (s == NATS_OK)
            s = natsOptions_SetAllowReconnect(opts, false);
        if (s == NATS_OK)
            s = natsOptions_SetIgnoreDiscoveredServers(opts, true);
    }
    if (s != NATS_OK) {
        *reason = natsReason(s);
        return s == NATS_NO_MEMORY ? XOSYS_E_NO_MEMORY : XOSYS_E_MESSAGING;
    }
    return XOSYS_OK;
}

}  // namespace

uint32_t buildNatsOptions(const ConnectParams& params, NatsOptionsPtr* out, std::string* reason) {
    natsOptions* made = nullptr;
    if (natsOptions_Create(&made) != NATS_OK) {
        *reason = "out of memory";
        return XOSYS_E_NO_MEMORY;
    }
    NatsOptionsPtr opts(made);
    uint32_t rc = addRouters(params, made, reason);
    if (rc == XOSYS_OK && params.secure()) {
        rc = addTls(params, made, reason);
    }
    if (rc == XOSYS_OK) {
        rc = addCredentials(params, made, reason);
    }
    if (rc == XOSYS_OK) {
        *out = std::move(opts);
    }
    return rc;
}

uint32_t connectFailure(natsStatus s, const ConnectParams& params, std::string* reason) {
    std::string detail = natsReason(s);
    for (const std::string* path : {&params.credsFile, &params.nkeySeedFile, &params.tlsCa,
                                    &params.tlsCert, &params.tlsKey}) {
        detail = withoutPath(detail, *path);
    }
    if (s == NATS_CONNECTION_AUTH_FAILED || s == NATS_NOT_PERMITTED) {
        // The router's own words (its -ERR text).
        *reason = "the router refused the credentials: " + detail;
        return XOSYS_E_AUTH;
    }
    if (s == NATS_NO_MEMORY) {
        *reason = detail;
        return XOSYS_E_NO_MEMORY;
    }
    if (s == NATS_SSL_ERROR || (params.secure() && detail.find("SSL") != std::string::npos)) {
        *reason =
            "the TLS handshake failed (the router's certificate must chain to tls_ca, be "
            "valid now and name the host; a router that requires a client certificate "
            "must accept tls_cert): " +
            detail;
        return XOSYS_E_CONNECT;
    }
    if (params.secure() && params.tlsCert.empty() &&
        detail.find("Expected 'PONG'") != std::string::npos) {
        // The router ended the connection right after the handshake.
        *reason =
            "the router closed the TLS connection (a router that requires a client "
            "certificate needs tls_cert and tls_key): " +
            detail;
        return XOSYS_E_CONNECT;
    }
    *reason = detail;
    return XOSYS_E_CONNECT;
}

}  // namespace xosys
