// Secrets for the tests of secured routers, made at test time in a test's
// directory and never kept: TLS certificates (made with the openssl
// command), NKey seeds, and NATS credentials files whose user, account and
// operator JWTs are signed here with Ed25519.
#ifndef XOMQ_TESTS_SUPPORT_CREDENTIALS_H
#define XOMQ_TESTS_SUPPORT_CREDENTIALS_H

#include <cstdint>
#include <string>

#include "Process.h"

namespace xotest {

// A CA, a server certificate for 127.0.0.1 and localhost, a client
// certificate, an unrelated CA, and certificates that expired in 2020.
// Throws std::runtime_error when openssl fails.
struct TestCertificates {
    std::string ca;  // PEM file paths
    std::string otherCa;
    std::string serverCert;
    std::string serverKey;
    std::string expiredServerCert;  // same key as serverCert
    std::string clientCert;
    std::string clientKey;
    std::string expiredClientCert;  // same key as clientCert

    explicit TestCertificates(const TempDir& dir);
};

// An NKey pair of a role (xosys::nkey::kUser, ...).
struct NKeyPair {
    std::string seed;       // "S..." text
    std::string publicKey;  // "U...", "A..." or "O..." text
    uint8_t raw[32];        // private key bytes

    explicit NKeyPair(uint8_t role);
    // An Ed25519 signature of data, base64url without padding.
    std::string sign(const std::string& data) const;
};

// An operator, an account and a user of it: the server configuration for
// operator mode (with the account preloaded) and the user's credentials file.
struct OperatorSetup {
    std::string serverConfig;  // text for nats-server -c
    std::string credsFile;     // path of the user's .creds file
    std::string userSeed;      // the secret inside it

    explicit OperatorSetup(const TempDir& dir);
};

}  // namespace xotest

#endif  // XOMQ_TESTS_SUPPORT_CREDENTIALS_H
