// The password of the connect string never shows in the log, on standard
// output or on standard error, whatever becomes of the run; and every fault
// of a run, replayed against the scripted XoSys, leaves no handle behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FaultSupport.h"
#include "Harness.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;

const char kService[] = "fault-echo";
const char kSecret[] = "Pr1vate-T0ken";
const Millis kBound(30000);

class Secrets : public faults::FaultTest {
  protected:
    SenderRun run(IniFile ini) {
        ini.set("log", "level", "trace");  // every line the library has
        ini.set("options:mq", "timeoutToAllReconnectingTriing", 0);
        ini.write(m_iniPath);
        return runSender(m_dir, {m_iniPath}, m_logPath, kBound);
    }
};

TEST_F(Secrets, PasswordNeverShowsWhateverTheOutcome) {
    NatsServer::Options options;
    options.token = kSecret;
    NatsServer router(m_dir, options);
    Responder responder(m_dir, router.url(), kService, {"--password", kSecret});
    faults::SilentListener silent;
    const std::string secret = kSecret;
    const std::string port = std::to_string(router.port());

    {
        SCOPED_TRACE("success, password from the pwd key");
        IniFile ini = standardIni(router.port(), kService, 20, m_logPath);
        ini.set("options:mq", "pwd", secret);
        const SenderRun r = run(ini);
        EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
        EXPECT_TRUE(parseReport(r.log).has_value()) << r.describe();
        faults::expectSecretHidden(r, secret);
    }
    struct Failing {
        const char* what;
        std::string connect;  // empty: the single keys with "pwd"
        int port;
        uint32_t code;
    };
    const std::vector<Failing> failing = {
        {"separator missing before the password", "port = " + port + " password = " + secret, 0,
         XOSYS_E_CONNECT_STRING},
        {"password run into the host", "host = 127.0.0.1 password = " + secret + "; port = " + port,
         0, XOSYS_E_CONNECT_STRING},
        {"password run into the appname", "appname = b password = " + secret + "; port = " + port,
         0, XOSYS_E_CONNECT_STRING},
        {"password run into the time-out", "timeout = 9 password = " + secret + "; port = " + port,
         0, XOSYS_E_CONNECT_STRING},
        {"nobody at the port", "", freeLoopbackPort(), XOSYS_E_CONNECT},
        {"a listener that never answers", "", silent.port(), XOSYS_E_CONNECT},
        {"a password the router refuses", "port = " + port + "; password = " + secret + "-x", 0,
         XOSYS_E_AUTH},
    };
    // The router's own reason, at the first attempt.
    const std::string refused = "the router refused the credentials: Authorization Violation";
    for (const auto& f : failing) {
        SCOPED_TRACE(f.what);
        IniFile ini = standardIni(f.port, kService, 20, m_logPath);
        ini.set("options:mq", "timeout", 300);
        if (f.connect.empty()) {
            ini.set("options:mq", "pwd", secret);
        } else {
            ini.set("options:mq", "connect", f.connect);
        }
        const SenderRun r = run(ini);
        faults::expectFailedRun(r, f.code, "createMQConnectionConnect");
        faults::expectSecretHidden(r, secret);
        EXPECT_EQ(linesWith(r.log, refused).size(), f.code == XOSYS_E_AUTH ? 1u : 0u)
            << r.describe();
    }
}

// ---- Faults replayed against the scripted XoSys ------------------------------------

struct ScriptedFault {
    const char* name;
    std::string scenario;
    int exitStatus;
    std::string logLine;  // a log line the fault must leave ("" for none)
    size_t times;         // how often it appears
};

TEST(ScriptedFaults, EveryFaultOfARunReleasesEveryHandle) {
    TempDir dir("xomq-faults-scripted");
    const std::string base =
        "ini options:ap toServiceName = svc\n"
        "ini options:ap sendAmount = 6\n"
        "ini options:mq timeoutToAllReconnectingTriing = 700\n";
    const auto code = [](uint32_t c) { return std::to_string(c); };
    const std::vector<ScriptedFault> faultList = {
        {"router gone during a send",
         base + "result XoMQSendMsg 4 " + code(XOSYS_E_CONNECTION_LOST),
         XOSYS_E_CONNECTION_LOST & 0xFF,
         "LOG ErrorWithCode code=" + code(XOSYS_E_CONNECTION_LOST) + ": XoMQSendMsg failed", 1},
        {"router gone at the poll", base + "result XoMQGetMsg 3 " + code(XOSYS_E_CONNECTION_LOST),
         XOSYS_E_CONNECTION_LOST & 0xFF,
         "LOG ErrorWithCode code=" + code(XOSYS_E_CONNECTION_LOST) + ": XoMQGetMsg failed", 1},
        {"responder gone: system error replies",
         base + "reply 3+ category=Xo_System type=0 body=5a600000\n", 0,
         "LOG ErrorWithCode code=" + code(XOSYS_E_NO_RESPONDER) + ": Failed to receive reply", 4},
        {"responder too slow", base + "result XoMQSendMsg 2 " + code(XOSYS_E_TIMEOUT),
         XOSYS_E_TIMEOUT & 0xFF,
         "LOG ErrorWithCode code=" + code(XOSYS_E_TIMEOUT) + ": XoMQSendMsg failed", 1},
        {"router back during the retries",
         base + "result XoMQConnectEx2 1-2 " + code(XOSYS_E_CONNECT), 0,
         "LOG ErrorWithCode code=" + code(XOSYS_E_CONNECT) + ": XoMQConnect failed", 2},
        {"router never answers", base + "result XoMQConnectEx2 * " + code(XOSYS_E_CONNECT),
         XOSYS_E_CONNECT & 0xFF,
         "LOG ErrorWithCode code=" + code(XOSYS_E_CONNECT) + ": createMQConnectionConnect failed",
         1},
        {"no connection handle at all",
         base + "result XoMQCreateConnection 1 " + code(XOSYS_E_NO_MEMORY) + " fill",
         XOSYS_E_NO_MEMORY & 0xFF,
         "LOG ErrorWithCode code=" + code(XOSYS_E_NO_MEMORY) + ": XoMQCreateConnection failed", 1},
    };
    for (const auto& f : faultList) {
        SCOPED_TRACE(f.name);
        const faults::ScriptedRun s = faults::runScripted(dir, "scripted", f.scenario);
        ASSERT_TRUE(s.finished) << s.describe();
        EXPECT_TRUE(s.status.exitedWith(f.exitStatus)) << s.describe();
        EXPECT_TRUE(s.handleTrouble().empty()) << s.describe();
        EXPECT_EQ(s.lines(f.logLine).size(), f.times) << s.describe();
        // The environment is torn down once, at the very end.
        ASSERT_GE(s.trace.size(), 4u);
        EXPECT_EQ(s.lines("XoMQCleanup(").size(), 1u) << s.describe();
        EXPECT_EQ(s.trace[s.trace.size() - 2], "XoIniClose() = 0") << s.describe();
        // A report only when the run completed.
        EXPECT_EQ(s.lines("LOG Info: 6 messages sent for").size(), f.exitStatus == 0 ? 1u : 0u)
            << s.describe();
    }
}

}  // namespace
