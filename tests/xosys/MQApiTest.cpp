// Messaging calls of libXoSysExt that need no router: runtime lifecycle,
// unconnected handles, connect-string and connect failures.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Process.h"
#include "TestFiles.h"
#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

class MQApi : public ::testing::Test {
  protected:
    void TearDown() override {
        XoMQFreeConnection(conn);
        XoMQCleanup();
    }
    XoMQConnHandle conn = nullptr;
};

TEST_F(MQApi, CleanupIsHarmlessInAnyOrder) {
    EXPECT_EQ(XoMQCleanup(), 0u);  // never started
    EXPECT_EQ(XoMQCreateConnection(&conn), XOSYS_E_NOT_STARTED);
    EXPECT_EQ(conn, nullptr);
    ASSERT_EQ(XoMQStartup(), 0u);
    ASSERT_EQ(XoMQStartup(), 0u);  // twice is fine
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(XoMQCleanup(), 0u);
    EXPECT_EQ(XoMQCleanup(), 0u);
    // The handle outlives the runtime: calls refuse, the free is harmless.
    XoMsgHandle msg = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &msg, 0), XOSYS_E_NOT_STARTED);
    EXPECT_EQ(XoMQConnectEx2(conn, "port = 1", nullptr), XOSYS_E_NOT_STARTED);
    EXPECT_EQ(XoMQFreeConnection(conn), 0u);
    conn = nullptr;
    // And the runtime starts again.
    ASSERT_EQ(XoMQStartup(), 0u);
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
}

TEST_F(MQApi, UnconnectedHandleRefusesWork) {
    ASSERT_EQ(XoMQStartup(), 0u);
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
    XoMsgHandle msg = nullptr;
    XoMsgHandle reply = nullptr;
    ASSERT_EQ(XoMsgCreateMessage(&msg), 0u);
    char address[64];
    uint64_t size = sizeof address;
    EXPECT_EQ(XoMQGetMsg(conn, &reply, 0), XOSYS_E_NOT_CONNECTED);
    EXPECT_EQ(XoMQSendMsg(conn, msg, &reply, 100), XOSYS_E_NOT_CONNECTED);
    EXPECT_EQ(XoMQServiceResolve(conn, "bench", address, &size, nullptr, 0), XOSYS_E_NOT_CONNECTED);
    EXPECT_EQ(reply, nullptr);
    XoMsgFreeMessage(msg);
}

TEST_F(MQApi, NullArgumentsAreRefused) {
    ASSERT_EQ(XoMQStartup(), 0u);
    XoMsgHandle msg = nullptr;
    ASSERT_EQ(XoMsgCreateMessage(&msg), 0u);
    char address[8];
    uint64_t size = sizeof address;
    EXPECT_EQ(XoMQCreateConnection(nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQFreeConnection(nullptr), 0u);
    EXPECT_EQ(XoMQConnectEx2(nullptr, "port = 1", nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQGetMsg(nullptr, &msg, 0), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQSendMsg(nullptr, msg, &msg, 10), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQServiceResolve(nullptr, "s", address, &size, nullptr, 0), XOSYS_E_INVALID_ARG);
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
    XoMsgHandle reply = nullptr;
    EXPECT_EQ(XoMQSendMsg(conn, nullptr, &reply, 10), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQSendMsg(conn, msg, nullptr, 10), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQGetMsg(conn, nullptr, 0), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQServiceResolve(conn, nullptr, address, &size, nullptr, 0), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMQServiceResolve(conn, "s", address, nullptr, nullptr, 0), XOSYS_E_INVALID_ARG);
    XoMsgFreeMessage(msg);
}

TEST_F(MQApi, ConnectFailuresAreQuickAndKeepThePasswordOutOfTheLog) {
    ScratchDir dir;
    const std::string log = dir.path("mq.log");
    ASSERT_EQ(XoIniOpen(dir.write("mq.ini", "[log]\nfile = " + log + "\n").c_str()), 0u);
    ASSERT_EQ(XoLogOpen(0), 0u);
    ASSERT_EQ(XoMQStartup(), 0u);
    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);

    EXPECT_EQ(XoMQConnectEx2(conn, "port = 70000; password = TOPSECRET", nullptr),
              XOSYS_E_CONNECT_STRING);
    EXPECT_EQ(XoMQConnectEx2(conn, nullptr, nullptr), XOSYS_E_CONNECT_STRING);
    const std::string text =
        "appname = t; host = 127.0.0.1; port = " + std::to_string(xotest::freeLoopbackPort()) +
        "; password = TOPSECRET; timeout = 2000";
    const auto start = std::chrono::steady_clock::now();
    uint64_t info = 0;
    EXPECT_EQ(XoMQConnectEx2(conn, text.c_str(), &info), XOSYS_E_CONNECT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // Still a usable, unconnected handle.
    XoMsgHandle msg = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &msg, 0), XOSYS_E_NOT_CONNECTED);

    XoLogClose();
    XoIniClose();
    const std::string written = readFile(log);
    EXPECT_NE(written.find("port"), std::string::npos) << written;
    EXPECT_NE(written.find("cannot connect"), std::string::npos) << written;
    EXPECT_EQ(written.find("TOPSECRET"), std::string::npos) << written;
}

}  // namespace
