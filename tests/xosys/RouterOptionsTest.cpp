// Connect-string fields for router lists, reconnecting, credentials and
// TLS; the files they name; and the NKey text form checked against the
// example key pair of the NATS documentation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConnectString.h"
#include "NKey.h"
#include "NatsOptions.h"
#include "TestFiles.h"
#include "XoSysCodes.h"

namespace {

struct Accepted {
    const char* name;
    const char* text;
    std::vector<std::string> urls;
    int reconnectAttempts;
    int reconnectWaitMs;
    bool secure;
    int32_t spinUs = 0;
};

void PrintTo(const Accepted& c, std::ostream* os) {
    *os << c.name;
}

class RouterFields : public ::testing::TestWithParam<Accepted> {};

TEST_P(RouterFields, AreReadAsDocumented) {
    const Accepted& c = GetParam();
    xosys::ConnectParams p;
    std::string error;
    ASSERT_EQ(xosys::parseConnectString(c.text, &p, &error), 0u) << error;
    EXPECT_EQ(p.urls(), c.urls);
    EXPECT_EQ(p.reconnectAttempts, c.reconnectAttempts);
    EXPECT_EQ(p.reconnectWaitMs, c.reconnectWaitMs);
    EXPECT_EQ(p.secure(), c.secure);
    EXPECT_EQ(p.spinUs, c.spinUs);
}

const Accepted kAccepted[] = {
    {"NoNewFieldsNoReconnect", "host = h; port = 4", {"nats://h:4"}, 0, 250, false},
    // The program appends host and port behind the user's fields.
    {"ServersOverrideTheProgramsHostAndPort",
     "servers = nats://a:1 \t NATS://b:2;port = 3001;host = 127.0.0.1;",
     {"nats://a:1", "nats://b:2"},
     10,
     250,
     false},
    {"ServersOverrideTheLocalPort",
     "lrpcq_port = 7; servers = nats://[::1]:5",
     {"nats://[::1]:5"},
     10,
     250,
     false},
    {"ReconnectOnWithOneRouter",
     "port = 4; reconnect_attempts = 3; reconnect_wait = 0",
     {"nats://127.0.0.1:4"},
     3,
     0,
     false},
    {"ReconnectOffWithServers",
     "servers = nats://a:1; reconnect_attempts = 0",
     {"nats://a:1"},
     0,
     250,
     false},
    {"TlsScheme", "servers = tls://a:1 tls://b:2", {"tls://a:1", "tls://b:2"}, 10, 250, true},
    {"TlsFieldMakesTheHostSecure",
     "tls_ca = /etc/ca.pem; host = h; port = 9",
     {"tls://h:9"},
     0,
     250,
     true},
    {"SpinWindow", "spin_us = 250; host = h; port = 4", {"nats://h:4"}, 0, 250, false, 250},
    {"SpinWindowAtItsMaximum",
     "spin_us = 100000",
     {"nats://127.0.0.1:3001"},
     0,
     250,
     false,
     100000},
};

INSTANTIATE_TEST_SUITE_P(Cases, RouterFields, ::testing::ValuesIn(kAccepted),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RouterFields, RefusalsNameTheFieldAndNeverAValue) {
    const std::string many = [] {
        std::string list = "servers = ";
        for (int i = 1; i <= 33; ++i) {
            list += "nats://h:" + std::to_string(i) + " ";
        }
        return list;
    }();
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"servers = http://a:1", "'servers'"},
        {"servers = nats://a", "'servers'"},
        {"servers = nats://a:0", "'servers'"},
        {"servers = nats://a:65536", "'servers'"},
        {"servers = nats://me:TOPSECRET@a:1", "'servers'"},
        {"servers = nats://a:1/TOPSECRET", "'servers'"},
        {"servers = nats://a:1 tls://b:2", "mixes"},
        {many, "more than 32"},
        {"reconnect_attempts = -1", "'reconnect_attempts'"},
        {"reconnect_wait = soon", "'reconnect_wait'"},
        {"ignore_discovered = yes", "'ignore_discovered'"},
        {"user = a b=TOPSECRET", "'user'"},
        {"nkey_seed = s.txt; creds = c.creds", "cannot be used together"},
        {"tls_cert = c.pem", "go together"},
        {"tls_ca = a\x01TOPSECRET", "'tls_ca'"},
        {"spin_us = -1", "'spin_us'"},
        {"spin_us = 100001", "'spin_us'"},
        {"spin_us = 2ms", "'spin_us'"},
    };
    for (const auto& [text, named] : bad) {
        xosys::ConnectParams p;
        std::string error;
        const std::string full = text + "; password = TOPSECRET";
        EXPECT_EQ(xosys::parseConnectString(full.c_str(), &p, &error), XOSYS_E_CONNECT_STRING)
            << text;
        EXPECT_NE(error.find(named), std::string::npos) << error;
        EXPECT_EQ(error.find("TOPSECRET"), std::string::npos) << error;
    }
}

// The example pair of the NATS documentation on NKey authentication.
const char kDocSeed[] = "SUACSSL3UAHUDXKFSNVUZRF5UHPMWZ6BFDTJ7M6USDXIEDNPPQYYYCU3VY";
const char kDocUser[] = "UDXU4RCSJNZOIQHZNWXHXORDPRTGNJAHAHFRGZNEEJCPQTT2M7NLCNF4";

TEST(NKey, SeedGivesTheDocumentedPublicKeyAndDamageIsCaught) {
    std::string pub;
    ASSERT_TRUE(xosys::nkey::publicFromSeed(kDocSeed, &pub));
    EXPECT_EQ(pub, kDocUser);

    uint8_t role = 0;
    uint8_t seed[32];
    ASSERT_TRUE(xosys::nkey::decodeSeed(kDocSeed, &role, seed));
    EXPECT_EQ(role, xosys::nkey::kUser);
    EXPECT_EQ(xosys::nkey::encodeSeed(role, seed), kDocSeed);

    std::string damaged = kDocSeed;
    damaged[20] = damaged[20] == 'A' ? 'B' : 'A';  // the CRC no longer fits
    for (const std::string& bad :
         {damaged, std::string(kDocSeed).substr(1), std::string(kDocUser), std::string(58, 'S'),
          std::string(kDocSeed).replace(30, 1, "1")}) {
        EXPECT_FALSE(xosys::nkey::publicFromSeed(bad, &pub)) << bad;
    }
}

TEST(RouterFiles, FilesThatCannotBeUsedAreRefusedBeforeConnecting) {
    ScratchDir dir;
    const std::string noSeed = dir.write("noseed.txt", "# a comment\nUDXU\n");
    const std::string seed = dir.write("seed.txt", std::string("# user\n") + kDocSeed + "\n");
    const std::string missing = dir.path("missing");
    struct Case {
        std::string text;
        uint32_t code;
        const char* field;
    };
    const std::vector<Case> cases = {
        {"nkey_seed = " + missing, XOSYS_E_CONNECT_STRING, "'nkey_seed'"},
        {"nkey_seed = " + noSeed, XOSYS_E_CONNECT_STRING, "'nkey_seed'"},
        {"creds = " + missing, XOSYS_E_CONNECT_STRING, "'creds'"},
        {"tls_ca = " + missing, XOSYS_E_CONNECT_STRING, "'tls_ca'"},
        {"tls_ca = " + noSeed, XOSYS_E_CONNECT_STRING, "'tls_ca'"},
        {"tls_cert = " + missing + "; tls_key = " + missing, XOSYS_E_CONNECT_STRING, "'tls_cert'"},
        {"tls_cert = " + noSeed + "; tls_key = " + noSeed, XOSYS_E_CONNECT_STRING, "'tls_cert'"},
        {"nkey_seed = " + seed, XOSYS_OK, ""},
    };
    for (const Case& c : cases) {
        xosys::ConnectParams p;
        std::string error;
        ASSERT_EQ(xosys::parseConnectString(c.text.c_str(), &p, &error), 0u) << error;
        xosys::NatsOptionsPtr opts;
        std::string reason;
        EXPECT_EQ(xosys::buildNatsOptions(p, &opts, &reason), c.code) << c.text << ": " << reason;
        EXPECT_NE(reason.find(c.field), std::string::npos) << reason;
        EXPECT_EQ(reason.find(kDocSeed), std::string::npos) << reason;
        EXPECT_EQ(reason.find(dir.dir()), std::string::npos) << "a value quoted: " << reason;
    }
    nats_Close();
}

}  // namespace
