// The fleet agent's checks of an order, the INI files it writes from one,
// the senders' connect string and the router flags the tools share.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "ConnectString.h"
#include "IniData.h"
#include "Order.h"
#include "RouterFlags.h"

namespace {

using Json = nlohmann::json;

const int64_t kNow = 1767268800000;  // the agent's clock in these tests

Json validOrder() {
    return Json::parse(R"({"schema": "xomq-order-1", "run": "r-1", "agents": ["a1", "a2"],
        "senders": 2, "amount": 500, "warmup": 10, "rate": 250.5,
        "settings": {"toServiceName": "bench", "sendtimeout": 5000, "timeout": 1500,
                     "appname": "fleet"},
        "start_ms": 1767268802000, "timeout_s": 60})");
}

bool hasControl(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {
            return true;
        }
    }
    return false;
}

TEST(AgentOrder, RefusesWhatItDoesNotKnowOrCouldBreakItsFiles) {
    struct Case {
        const char* what;
        const char* path;  // JSON pointer of the field changed
        Json value;        // null: removed
        const char* reason;
    };
    Json manyAgents = Json::array();
    for (int i = 0; i <= 256; ++i) {
        manyAgents.push_back("a" + std::to_string(i));
    }
    const Case cases[] = {
        {"service with a line end", "/settings/toServiceName", "svc\n[options:mq]",
         "control character"},
        {"service with ';'", "/settings/toServiceName", "svc;x", "[ ] = ; ,"},
        {"service with '['", "/settings/toServiceName", "[svc]", "[ ] = ; ,"},
        {"appname with '='", "/settings/appname", "x=y", "[ ] = ; ,"},
        {"text of blanks at an end", "/settings/toServiceName", " svc", "blank"},
        {"non-ASCII text", "/settings/toServiceName", "caf\xc3\xa9", "printable ASCII"},
        {"unknown setting", "/settings/fooBar", 1, "unknown sender setting 'fooBar'"},
        {"hostile setting name", "/settings/a\nb", 1, "no plain key"},
        {"the router from an order", "/settings/connect", "servers = nats://evil:4222",
         "agent's own --server"},
        {"the amount as a setting", "/settings/sendAmount", 5, "'amount'"},
        {"a file as a setting", "/settings/resultFile", "/etc/passwd",
         "chooses the senders' files"},
        {"number as text", "/settings/sendtimeout", "5000", "must be a whole number"},
        {"number out of range", "/settings/sendtimeout", 0, "from 1 to 3600000"},
        {"text as number", "/settings/toServiceName", 7, "must be a text"},
        {"no service", "/settings/toServiceName", nullptr, "'toServiceName' is required"},
        {"unknown field", "/command", "rm -rf /", "unknown field 'command'"},
        {"other schema", "/schema", "xomq-order-2", "'schema'"},
        {"run id as a path", "/run", "../x", "field 'run'"},
        {"no agents", "/agents", Json::array(), "field 'agents'"},
        {"an agent twice", "/agents", Json::array({"a1", "a1"}), "twice"},
        {"too many agents", "/agents", manyAgents, "1 to 256 agent names"},
        {"too many senders", "/senders", 17, "from 1 to 16"},
        {"amount not whole", "/amount", 2.5, "field 'amount'"},
        {"negative rate", "/rate", -1, "field 'rate'"},
        {"no time-out", "/timeout_s", nullptr, "'timeout_s' is missing"},
        {"start long past", "/start_ms", kNow - 61000, "in the past"},
        {"start far ahead", "/start_ms", kNow + 3601000, "ahead"},
        {"too large", "/settings/appname", std::string(70000, 'x'), "larger than 65536"},
    };
    xoagent::OrderLimits limits;
    limits.nowMs = kNow;
    for (const Case& c : cases) {
        Json j = validOrder();
        const Json::json_pointer at(c.path);
        if (c.value.is_null()) {
            j.at(at.parent_pointer()).erase(at.back());
        } else {
            j[at] = c.value;
        }
        xoagent::Order order;
        std::string reason;
        EXPECT_FALSE(xoagent::parseOrder(j.dump(), limits, &order, &reason)) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
        EXPECT_FALSE(hasControl(reason)) << c.what;
    }
    std::string reason;
    xoagent::Order order;
    EXPECT_FALSE(xoagent::parseOrder("[1, 2", limits, &order, &reason));
    EXPECT_EQ(reason, "the order is no JSON object");
    // Setting names match ignoring case, as INI keys do: once only.
    Json twice = validOrder();
    twice["settings"]["SENDTIMEOUT"] = 10;
    EXPECT_FALSE(xoagent::parseOrder(twice.dump(), limits, &order, &reason));
    EXPECT_NE(reason.find("'sendtimeout' is given twice"), std::string::npos) << reason;
}

TEST(AgentOrder, WritesTheSendersIniFromTheOrderAndTheAgentsRouter) {
    xoagent::OrderLimits limits;
    limits.nowMs = kNow;
    xoagent::Order order;
    std::string reason;
    ASSERT_TRUE(xoagent::parseOrder(validOrder().dump(), limits, &order, &reason)) << reason;
    // What the controller sends is what the agent reads.
    xoagent::Order again;
    ASSERT_TRUE(xoagent::parseOrder(xoagent::orderJson(order), limits, &again, &reason));
    EXPECT_EQ(again.agents, order.agents);
    EXPECT_EQ(again.rate, 250.5);
    EXPECT_EQ(again.settings.size(), 4u);

    xosys::ConnectParams router;
    router.servers = {"nats://r1:4222", "nats://r2:4223"};
    router.user = "load";
    router.password = "p=w#rd x";  // '=', '#' and a blank inside are carried
    router.credsFile = "";
    router.tlsCa = "/etc/xomq/ca.pem";
    std::string connect;
    ASSERT_TRUE(xoagent::senderConnectString(router, order.settings, &connect, &reason)) << reason;

    xosys::IniData ini;
    size_t line = 0;
    std::string error;
    ASSERT_EQ(
        ini.parse(xoagent::senderIni(order, connect, "/w/r-1/sender-1.json", "/w/r-1/sender-1.log"),
                  &line, &error, nullptr),
        0u)
        << error;
    const auto value = [&ini](const char* section, const char* key) {
        const std::string* v = ini.find(section, key);
        return v != nullptr ? *v : std::string("(absent)");
    };
    EXPECT_EQ(value("options:ap", "toServiceName"), "bench");
    EXPECT_EQ(value("options:ap", "sendAmount"), "500");
    EXPECT_EQ(value("options:ap", "warmupAmount"), "10");
    EXPECT_EQ(value("options:ap", "sendRate"), "250.5");
    EXPECT_EQ(value("options:ap", "sendtimeout"), "5000");
    EXPECT_EQ(value("options:ap", "latencyHistogram"), "1");
    EXPECT_EQ(value("options:ap", "resultFile"), "/w/r-1/sender-1.json");
    EXPECT_EQ(value("log", "file"), "/w/r-1/sender-1.log");
    // The connect-string settings go into the connect string, not beside it.
    EXPECT_EQ(value("options:mq", "timeout"), "(absent)");
    EXPECT_EQ(ini.keys("options:mq").size(), 1u);

    xosys::ConnectParams back;
    ASSERT_EQ(xosys::parseConnectString(value("options:mq", "connect").c_str(), &back, &error), 0u)
        << error;
    EXPECT_EQ(back.servers, router.servers);
    EXPECT_EQ(back.user, "load");
    EXPECT_EQ(back.password, "p=w#rd x");
    EXPECT_EQ(back.tlsCa, "/etc/xomq/ca.pem");
    EXPECT_EQ(back.timeoutMs, 1500);
    EXPECT_EQ(back.appname, "fleet");
}

TEST(AgentOrder, RefusesRouterFlagsTheConnectStringCannotCarry) {
    struct Case {
        const char* what;
        std::string xosys::ConnectParams::*member;
        const char* value;
        const char* flag;
    };
    const Case cases[] = {
        {"password with ';'", &xosys::ConnectParams::password, "se;cret", "--password"},
        {"password with ','", &xosys::ConnectParams::password, "se,cret", "--password"},
        {"password with a line end", &xosys::ConnectParams::password, "se\ncret", "--password"},
        {"password ending in a blank", &xosys::ConnectParams::password, "secret ", "--password"},
        {"creds path with ','", &xosys::ConnectParams::credsFile, "/a,b.creds", "--creds"},
    };
    for (const Case& c : cases) {
        xosys::ConnectParams router;
        router.servers = {"nats://r1:4222"};
        router.*c.member = c.value;
        std::string connect;
        std::string reason;
        EXPECT_FALSE(xoagent::senderConnectString(router, {}, &connect, &reason)) << c.what;
        EXPECT_NE(reason.find(c.flag), std::string::npos) << c.what << ": " << reason;
        EXPECT_EQ(reason.find("cret"), std::string::npos) << c.what << ": " << reason;
    }
}

TEST(AgentOrder, TakesOnlyKnownSettingsFromAnIniFile) {
    xoagent::Settings settings;
    std::string reason;
    ASSERT_TRUE(xoagent::settingsFromIni(
        "; the fleet's service\n[options:ap]\nToServiceName = bench\nSendTimeout = 700\n"
        "[options:mq]\ntimeout = 900\n",
        &settings, &reason))
        << reason;
    ASSERT_EQ(settings.count("toServiceName"), 1u);
    EXPECT_EQ(settings["toServiceName"].text, "bench");
    EXPECT_EQ(settings["sendtimeout"].number, 700);
    EXPECT_EQ(settings["timeout"].number, 900);

    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"[options:ap]\nsendRate = 5\n", "'rate' (--rate)"},
        {"[options:ap]\nbogus = 1\n", "unknown sender setting 'bogus'"},
        {"[options:mq]\nport = 4222\n", "agent's own --server"},
        {"[options:ap]\ntimeout = 5\n", "belongs in [options:mq]"},
        {"[options:ap]\nsendtimeout = soon\n", "whole number"},
        {"[log]\nfile = x.log\n", "[log] is not taken"},
        {"[other]\nx = 1\n", "section 'other'"},
        {"[options:ap\n", "line 1"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(xoagent::settingsFromIni(c.text, &settings, &reason)) << c.text;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.text << ": " << reason;
    }
}

TEST(RouterFlags, ParsesTheSharedFlagsAndKeepsTheToolsOwnFields) {
    xotools::RouterFlags flags;
    EXPECT_TRUE(flags.take("--server", "r1,tls://r2:4443"));
    EXPECT_TRUE(flags.take("--user", "u"));
    EXPECT_FALSE(flags.take("--service", "x"));
    xosys::ConnectParams params;
    params.appname = "tool";
    std::string error;
    // Both routers of one scheme only.
    EXPECT_FALSE(flags.finish(&params, &error));
    EXPECT_TRUE(flags.take("--server", "r1,[::1],nats://r3:5000"));
    ASSERT_TRUE(flags.finish(&params, &error)) << error;
    EXPECT_EQ(params.servers,
              (std::vector<std::string>{"nats://r1:4222", "nats://[::1]:4222", "nats://r3:5000"}));
    EXPECT_EQ(params.user, "u");
    EXPECT_EQ(params.appname, "tool");
    EXPECT_GT(params.reconnectAttempts, 0);

    xotools::RouterFlags tls;
    tls.take("--server", "r1");
    tls.take("--tls-cert", "c.pem");
    EXPECT_FALSE(tls.finish(&params, &error));
    EXPECT_EQ(error, "--tls-cert and --tls-key go together");
    xotools::RouterFlags none;
    EXPECT_FALSE(none.finish(&params, &error));
    EXPECT_EQ(error, "--server is required");
}

}  // namespace
