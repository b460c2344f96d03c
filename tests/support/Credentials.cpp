#include "Credentials.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <ctime>
#include <stdexcept>
#include <vector>

#include "NKey.h"

namespace xotest {

namespace {

// Runs openssl with args in dir; throws with its output when it fails.
void openssl(const TempDir& dir, const std::string& what, std::vector<std::string> args) {
    if (std::string(XO_TEST_OPENSSL).empty()) {
        throw std::runtime_error("the openssl command was not found when the build was configured");
    }
    args.insert(args.begin(), XO_TEST_OPENSSL);
    Process p = Process::combined(dir, "openssl-" + what, args);
    if (p.waitExitCode(Millis(20000)) != 0) {
        throw std::runtime_error("openssl " + what + " failed: " + p.describe());
    }
}

// A key (P-256) and a certificate request for the common name.
void keyAndRequest(const TempDir& dir, const std::string& name, const std::string& cn) {
    openssl(dir, name + "-req",
            {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", dir.file(name + ".key"), "-out", dir.file(name + ".csr"), "-subj",
             "/CN=" + cn});
}

void selfSignedCa(const TempDir& dir, const std::string& name) {
    openssl(dir, name,
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", dir.file(name + ".key"), "-out", dir.file(name + ".pem"), "-days", "2",
             "-subj", "/CN=xomq test " + name, "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
}

// Signs name.csr with the CA, valid from start to end ("YYYYMMDDHHMMSSZ").
void sign(const TempDir& dir, const std::string& name, const std::string& out,
          const std::string& extensions, const std::string& start, const std::string& end) {
    const std::string ext = dir.file(out + ".ext");
    writeFile(ext, extensions);
    // "openssl ca" takes any validity period, also one long past.
    const std::string db = dir.file(out + ".index");
    writeFile(db, "");
    writeFile(dir.file(out + ".serial"), "1000\n");
    const std::string config = dir.file(out + ".cnf");
    writeFile(config, "[ca]\ndefault_ca = test\n[test]\ndatabase = " + db + "\nnew_certs_dir = " +
                          dir.path() + "\nserial = " + dir.file(out + ".serial") +
                          "\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                          "[any]\ncommonName = supplied\n");
    openssl(dir, out,
            {"ca", "-batch", "-notext", "-config", config, "-cert", dir.file("ca.pem"), "-keyfile",
             dir.file("ca.key"), "-in", dir.file(name + ".csr"), "-out", dir.file(out + ".pem"),
             "-startdate", start, "-enddate", end, "-extfile", ext});
}

std::string stamp(std::time_t t) {
    char text[32];
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
    return text;
}

std::string base64url(const std::string& bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    std::string text(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

// A JWT of the NATS kind: header, claims, Ed25519 signature of the issuer.
std::string jwt(const NKeyPair& issuer, const std::string& claims) {
    const std::string signedPart =
        base64url("{\"typ\":\"JWT\",\"alg\":\"ed25519-nkey\"}") + "." + base64url(claims);
    return signedPart + "." + issuer.sign(signedPart);
}

std::string claims(const NKeyPair& issuer, const NKeyPair& subject, const std::string& name,
                   const std::string& nats) {
    NKeyPair id(xosys::nkey::kUser);  // any unique text will do as the id
    return "{\"jti\":\"" + id.publicKey.substr(1, 52) +
           "\",\"iat\":" + std::to_string(std::time(nullptr)) + ",\"iss\":\"" + issuer.publicKey +
           "\",\"name\":\"" + name + "\",\"sub\":\"" + subject.publicKey + "\",\"nats\":" + nats +
           "}";
}

}  // namespace

TestCertificates::TestCertificates(const TempDir& dir) {
    selfSignedCa(dir, "ca");
    selfSignedCa(dir, "other-ca");
    keyAndRequest(dir, "server", "127.0.0.1");
    keyAndRequest(dir, "client", "xomq-client");
    const std::time_t now = std::time(nullptr);
    const std::string from = stamp(now - 3600);
    const std::string to = stamp(now + 2 * 86400);
    const std::string serverExt =
        "subjectAltName = IP:127.0.0.1, DNS:localhost\nextendedKeyUsage = serverAuth\n";
    const std::string clientExt = "extendedKeyUsage = clientAuth\n";
    sign(dir, "server", "server", serverExt, from, to);
    sign(dir, "server", "server-expired", serverExt, "20200101000000Z", "20200102000000Z");
    sign(dir, "client", "client", clientExt, from, to);
    sign(dir, "client", "client-expired", clientExt, "20200101000000Z", "20200102000000Z");
    ca = dir.file("ca.pem");
    otherCa = dir.file("other-ca.pem");
    serverCert = dir.file("server.pem");
    serverKey = dir.file("server.key");
    expiredServerCert = dir.file("server-expired.pem");
    clientCert = dir.file("client.pem");
    clientKey = dir.file("client.key");
    expiredClientCert = dir.file("client-expired.pem");
}

NKeyPair::NKeyPair(uint8_t role) {
    uint8_t key[32];
    if (RAND_bytes(raw, sizeof raw) != 1 || !xosys::nkey::publicKey(raw, key)) {
        throw std::runtime_error("no NKey could be made");
    }
    seed = xosys::nkey::encodeSeed(role, raw);
    publicKey = xosys::nkey::encodePublic(role, key);
}

std::string NKeyPair::sign(const std::string& data) const {
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw, sizeof raw);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char signature[64];
    size_t len = sizeof signature;
    const bool ok =
        key != nullptr && ctx != nullptr &&
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestSign(ctx, signature, &len, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (!ok) {
        throw std::runtime_error("Ed25519 signing failed");
    }
    return base64url(std::string(reinterpret_cast<const char*>(signature), len));
}

OperatorSetup::OperatorSetup(const TempDir& dir) {
    const NKeyPair op(xosys::nkey::kOperator);
    const NKeyPair account(xosys::nkey::kAccount);
    const NKeyPair user(xosys::nkey::kUser);
    const std::string operatorJwt =
        jwt(op, claims(op, op, "xomq-operator", R"({"type":"operator","version":2})"));
    const std::string accountJwt =
        jwt(op, claims(op, account, "xomq-account",
                       R"({"limits":{"subs":-1,"data":-1,"payload":-1,"imports":-1,"exports":-1,)"
                       R"("wildcards":true,"conn":-1,"leaf":-1},"type":"account","version":2})"));
    const std::string userJwt =
        jwt(account, claims(account, user, "xomq-user",
                            R"({"pub":{},"sub":{},"subs":-1,"data":-1,"payload":-1,)"
                            R"("type":"user","version":2})"));
    serverConfig = "operator: \"" + operatorJwt + "\"\nresolver: MEMORY\nresolver_preload: {\n  " +
                   account.publicKey + ": \"" + accountJwt + "\"\n}\n";
    credsFile = dir.file("user.creds");
    userSeed = user.seed;
    writeFile(credsFile, "-----BEGIN NATS USER JWT-----\n" + userJwt +
                             "\n------END NATS USER JWT------\n\n"
                             "-----BEGIN USER NKEY SEED-----\n" +
                             user.seed + "\n------END USER NKEY SEED------\n");
}

}  // namespace xotest
