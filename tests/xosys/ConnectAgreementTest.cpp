// The program and our library read a connect string by one rule: a field
// given with an empty value counts as missing, the first non-empty one
// counts, and a missing field means XoMQSender's default. Each case goes
// through both: the program completes the INI's settings into a connect
// string, and the library takes host, port, name and time-out from it.
#include <gtest/gtest.h>

#include <string>

#include "ConnectString.h"
#include "MQConnection.h"
#include "TestFiles.h"
#include "XoSys.h"

namespace {

struct AgreementCase {
    const char* name;
    const char* mqSection;  // lines of [options:mq]
    const char* url;        // where the library connects
    const char* appname;
    int timeoutMs;
};

void PrintTo(const AgreementCase& c, std::ostream* os) {
    *os << c.name;
}

class ConnectAgreement : public ::testing::TestWithParam<AgreementCase> {};

TEST_P(ConnectAgreement, ProgramAndLibraryMeanTheSameRouter) {
    const AgreementCase& c = GetParam();
    ScratchDir dir;
    const std::string ini = dir.write("a.ini", std::string("[options:mq]\n") + c.mqSection);
    ASSERT_EQ(XoIniOpen(ini.c_str()), 0u);
    const std::string connect = buildConnectString();
    XoIniClose();

    xosys::ConnectParams params;
    std::string error;
    ASSERT_EQ(xosys::parseConnectString(connect.c_str(), &params, &error), 0u) << error;
    EXPECT_EQ(params.url(), c.url) << connect;
    EXPECT_EQ(params.appname, c.appname) << connect;
    EXPECT_EQ(params.timeoutMs, c.timeoutMs) << connect;
}

const AgreementCase kCases[] = {
    {"Defaults", "", "nats://127.0.0.1:3001", "XoMQSender", 3000},
    {"EmptyPortInConnect", "connect = host = 10.0.0.5; port = ;\n", "nats://10.0.0.5:3001",
     "XoMQSender", 3000},
    {"EmptyNameAndTimeoutInConnect", "connect = appname = ; timeout = ; port = 4100\n",
     "nats://127.0.0.1:4100", "XoMQSender", 3000},
    {"EmptyThenGivenPort", "connect = port = ; port = 5000\n", "nats://127.0.0.1:5000",
     "XoMQSender", 3000},
    {"EmptyLocalPort", "connect = lrpcq_port = ; host = h1\n", "nats://h1:3001", "XoMQSender",
     3000},
    {"LocalPort", "connect = lrpcq_port = 4002;\n", "nats://127.0.0.1:4002", "XoMQSender", 3000},
    {"FirstOfTwo", "connect = HOST = h1; host = h2; port = 7\n", "nats://h1:7", "XoMQSender", 3000},
    {"EmptySingleKeys", "appname =\nhost =\nport =\ntimeout =\n", "nats://127.0.0.1:3001",
     "XoMQSender", 3000},
    {"SingleKeys", "appname = bench\nhost = h3\nport = 4333\ntimeout = 700\n", "nats://h3:4333",
     "bench", 700},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConnectAgreement, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
