// XoMQSender and the responder against routers that require TLS or
// credentials: nats-server configured for them judges every attempt. Each
// refusal ends the run with its code and a line that says why, and no
// secret (password, NKey seed, private key) shows in any output of any case.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "Credentials.h"
#include "Harness.h"
#include "NKey.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;

const Millis kBound(30000);
const char kService[] = "secure-echo";

struct Case {
    const char* name;
    std::string fields;  // the connect string
    uint32_t code;       // 0: a complete run
    std::string line;    // in the log of a refused run
};

class SecureRouters : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            m_dir.keep();
            std::cerr << "[ secure ] files kept in " << m_dir.path() << "\n";
        }
    }

    // Runs every case (one connect attempt each) and checks its outcome and
    // that none of the secrets shows anywhere.
    void runCases(const std::vector<Case>& cases, const std::vector<std::string>& secrets,
                  std::vector<Responder*> responders) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            IniFile ini = standardIni(0, kService, 20, m_logPath);
            ini.set("options:mq", "connect", c.fields)
                .set("options:mq", "timeoutToAllReconnectingTriing", 0)
                .set("log", "level", "trace");
            ini.write(m_iniPath);
            const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);
            ASSERT_TRUE(r.finished) << r.describe();
            EXPECT_TRUE(r.status.exitedWith(static_cast<int>(c.code & 0xFF))) << r.describe();
            if (c.code == 0) {
                const auto report = parseReport(r.log);
                ASSERT_TRUE(report.has_value()) << r.describe();
                EXPECT_EQ(report->count, 20u);
            } else {
                EXPECT_EQ(linesWith(r.log, c.line).size(), 1u) << r.describe();
                EXPECT_EQ(linesWith(r.log, "XoMQConnect failed").size(), 1u) << r.describe();
            }
            for (const std::string& secret : secrets) {
                EXPECT_EQ(r.log.find(secret), std::string::npos) << r.describe();
                EXPECT_EQ(r.out.find(secret), std::string::npos) << r.describe();
                EXPECT_EQ(r.err.find(secret), std::string::npos) << r.describe();
            }
        }
        // The instances of the service shared the requests of the complete runs.
        long complete = 0;
        for (const Case& c : cases) {
            complete += c.code == 0 ? 20 : 0;
        }
        long answered = 0;
        for (Responder* responder : responders) {
            for (const std::string& secret : secrets) {
                EXPECT_EQ(responder->process().out().find(secret), std::string::npos);
                EXPECT_EQ(responder->process().err().find(secret), std::string::npos);
            }
            const auto summary = responder->stop();
            ASSERT_TRUE(summary.has_value()) << responder->process().describe();
            answered += summary->answered;
        }
        EXPECT_EQ(answered, complete);
    }

    // A line of the private key's PEM body: it must never be printed.
    std::string keyLine(const std::string& path) const {
        const auto lines = splitLines(readFile(path));
        return lines.size() > 2 ? lines[1] : std::string("missing key");
    }

    TempDir m_dir{"xomq-secure"};
    const std::string m_iniPath = m_dir.file("sender.ini");
    const std::string m_logPath = m_dir.file("sender.log");
};

TEST_F(SecureRouters, TlsWithClientCertificatesAndWhatEachRefusalSays) {
    const TestCertificates certs(m_dir);
    NatsServer::Options options;
    options.config = "tls {\n  cert_file: \"" + certs.serverCert + "\"\n  key_file: \"" +
                     certs.serverKey + "\"\n  ca_file: \"" + certs.ca +
                     "\"\n  verify: true\n  timeout: 3\n}\n";
    NatsServer router(m_dir, options);
    NatsServer::Options expiredOptions = options;
    expiredOptions.config = "tls {\n  cert_file: \"" + certs.expiredServerCert +
                            "\"\n  key_file: \"" + certs.serverKey + "\"\n}\n";
    NatsServer expired(m_dir, expiredOptions);
    const std::string tls = "tls://127.0.0.1:" + std::to_string(router.port());
    const std::string client =
        "; tls_cert = " + certs.clientCert + "; tls_key = " + certs.clientKey;
    Responder responder(
        m_dir, tls, kService,
        {"--tls-ca", certs.ca, "--tls-cert", certs.clientCert, "--tls-key", certs.clientKey});

    const std::string handshake =
        "the TLS handshake failed (the router's certificate must chain to "
        "tls_ca, be valid now and name the host; a router that requires "
        "a client certificate must accept tls_cert): SSL handshake error: ";
    const std::vector<Case> cases = {
        {"trusted, as a server list", "servers = " + tls + "; tls_ca = " + certs.ca + client, 0,
         ""},
        {"trusted, host and port",
         "port = " + std::to_string(router.port()) + "; tls_ca = " + certs.ca + client, 0, ""},
        {"another CA", "servers = " + tls + "; tls_ca = " + certs.otherCa + client, XOSYS_E_CONNECT,
         handshake},
        {"expired router certificate",
         "servers = tls://127.0.0.1:" + std::to_string(expired.port()) + "; tls_ca = " + certs.ca,
         XOSYS_E_CONNECT, handshake + "10:certificate has expired"},
        {"expired client certificate",
         "servers = " + tls + "; tls_ca = " + certs.ca + "; tls_cert = " + certs.expiredClientCert +
             "; tls_key = " + certs.clientKey,
         XOSYS_E_CONNECT,
         "the client certificate (field 'tls_cert') expired on Jan  2 00:00:00 2020 GMT"},
        {"no client certificate", "servers = " + tls + "; tls_ca = " + certs.ca, XOSYS_E_CONNECT,
         "needs tls_cert and tls_key"},
        // libnats turns TLS on by itself, and without tls_ca trusts only the
        // system's CAs.
        {"no TLS fields", "port = " + std::to_string(router.port()), XOSYS_E_CONNECT,
         "cannot connect to nats://127.0.0.1:" + std::to_string(router.port()) +
             " as 'XoMQSender': " + handshake + "20:unable to get local issuer certificate"},
    };
    runCases(cases, {keyLine(certs.clientKey), keyLine(certs.serverKey)}, {&responder});
}

TEST_F(SecureRouters, UserPasswordAndNKeySignIn) {
    const std::string password = "Pw-0f-Alice";
    const NKeyPair user(xosys::nkey::kUser);
    const NKeyPair stranger(xosys::nkey::kUser);
    const std::string seedFile = m_dir.file("user.nk");
    const std::string strangerFile = m_dir.file("stranger.nk");
    writeFile(seedFile, user.seed + "\n");
    writeFile(strangerFile, stranger.seed + "\n");
    NatsServer::Options options;
    // Alice may use our subjects only ("_XO.>"): the program, the library
    // and the responder need no others.
    options.config = "authorization {\n  users = [\n    {user: \"alice\", password: \"" + password +
                     "\", permissions: {publish: \"_XO.>\", subscribe: \"_XO.>\"}}\n" +
                     "    {nkey: \"" + user.publicKey + "\"}\n  ]\n}\n";
    NatsServer router(m_dir, options);
    Responder byPassword(m_dir, router.url(), kService, {"--user", "alice", "--password", password},
                         "by-password");
    Responder byNKey(m_dir, router.url(), kService, {"--nkey-seed", seedFile}, "by-nkey");
    const std::string port = "port = " + std::to_string(router.port());
    const std::string refused = "the router refused the credentials: Authorization Violation";
    const std::vector<Case> cases = {
        {"user and password", port + "; user = alice; password = " + password, 0, ""},
        {"wrong password", port + "; user = alice; password = " + password + "x", XOSYS_E_AUTH,
         refused},
        {"password alone is a token", port + "; password = " + password, XOSYS_E_AUTH, refused},
        {"NKey seed", port + "; nkey_seed = " + seedFile, 0, ""},
        {"unknown NKey", port + "; nkey_seed = " + strangerFile, XOSYS_E_AUTH, refused},
        {"no credentials", port, XOSYS_E_AUTH, refused},
    };
    runCases(cases, {password, user.seed, stranger.seed}, {&byPassword, &byNKey});
}

TEST_F(SecureRouters, CredentialsFileAgainstAnOperatorModeRouter) {
    const OperatorSetup setup(m_dir);
    TempDir elsewhere("xomq-secure-other");
    const OperatorSetup other(elsewhere);
    const std::string garbled = m_dir.file("garbled.creds");
    writeFile(garbled,
              "-----BEGIN NATS USER JWT-----\nnot a token\n------END NATS USER JWT------\n");
    NatsServer::Options options;
    options.config = setup.serverConfig;
    NatsServer router(m_dir, options);
    Responder responder(m_dir, router.url(), kService, {"--creds", setup.credsFile});
    const std::string port = "port = " + std::to_string(router.port());
    const std::vector<Case> cases = {
        {"the account's user", port + "; creds = " + setup.credsFile, 0, ""},
        {"a user of another operator", port + "; creds = " + other.credsFile, XOSYS_E_AUTH,
         "the router refused the credentials: Authorization Violation"},
        {"no seed in the file", port + "; creds = " + garbled, XOSYS_E_CONNECT,
         "no nkey user seed found in '(the file)'"},
    };
    runCases(cases, {setup.userSeed, other.userSeed}, {&responder});
}

}  // namespace
