// Hostile INI files and arguments: every one ends the run with a defined code
// and a clear line, never a crash; where the scripted XoSys can show it, the
// same situation is run against it to prove that no handle is lost.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "Harness.h"
#include "XoSysCodes.h"

namespace {

using namespace xotest;

const char kService[] = "fault-echo";
const Millis kBound(30000);
const char kNoServiceLine[] = "Parameter 'toServiceName' is absent in 'options:ap' section of INI";

std::string hex(uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", code);
    return text;
}

// Bytes of a fixed pseudo-random sequence (the same in every run).
std::string noise(size_t size, uint32_t seed, bool withNul) {
    std::string bytes(size, '\0');
    uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
        if (!withNul && b == '\0') {
            b = '\x80';
        }
    }
    return bytes;
}

class HostileInput : public faults::FaultTest {
  protected:
    SenderRun runWith(const std::string& iniText) {
        writeFile(m_iniPath, iniText);
        return runSender(m_dir, {m_iniPath}, m_logPath, kBound);
    }
    SenderRun run(const IniFile& ini) { return runWith(ini.text()); }

    // A start-up failure of XoIniOpen: its line on standard output, the code
    // as exit status, nothing logged, and no crash.
    void expectIniRefused(const SenderRun& r, uint32_t code) {
        ASSERT_TRUE(r.finished) << r.describe();
        EXPECT_TRUE(r.status.exitedWith(static_cast<int>(code & 0xFFu))) << r.describe();
        EXPECT_EQ(r.out, "XoIniOpen not ok. Error code: " + hex(code)) << r.describe();
        EXPECT_EQ(r.log, "") << "the log is never opened";
    }

    // The same refusal against the scripted XoSys: the environment is torn
    // down once by the guard and nothing is left behind.
    void expectScriptedIniRefusal(uint32_t code) {
        const faults::ScriptedRun s = faults::runScripted(
            m_dir, "scripted-ini", "result XoIniOpen 1 " + std::to_string(code) + "\n");
        ASSERT_TRUE(s.finished) << s.describe();
        EXPECT_TRUE(s.status.exitedWith(static_cast<int>(code & 0xFFu))) << s.describe();
        EXPECT_TRUE(s.handleTrouble().empty()) << s.describe();
        EXPECT_TRUE(s.lines("XoLogOpen").empty()) << s.describe();
        EXPECT_EQ(s.lines("XoMQCleanup").size(), 1u) << s.describe();
        EXPECT_EQ(s.lines("XoIniClose").size(), 1u) << s.describe();
    }
};

TEST_F(HostileInput, EmptyFileIsAnEmptyConfiguration) {
    // No section at all: no service name, so 13, with the line in the log
    // (standard error, since no [log] section names a file).
    const SenderRun r = runWith("");
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(13)) << r.describe();
    EXPECT_EQ(linesWith(r.err, kNoServiceLine).size(), 1u) << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("Init complete"), std::string::npos);

    const faults::ScriptedRun s = faults::runScripted(m_dir, "scripted-empty", "");
    ASSERT_TRUE(s.finished) << s.describe();
    EXPECT_TRUE(s.status.exitedWith(13)) << s.describe();
    EXPECT_TRUE(s.handleTrouble().empty()) << s.describe();
    EXPECT_TRUE(s.lines("XoMQCreateConnection").empty()) << s.describe();
}

TEST_F(HostileInput, BinaryFilesAreRefusedWithTheSyntaxCode) {
    for (const bool withNul : {true, false}) {
        SCOPED_TRACE(withNul ? "with NUL bytes" : "without NUL bytes");
        const SenderRun r = runWith(noise(4096, withNul ? 7 : 11, withNul));
        expectIniRefused(r, XOSYS_E_INI_SYNTAX);
        // Standard error names the file and the first bad line.
        EXPECT_NE(r.err.find(m_iniPath + ":"), std::string::npos) << r.err;
    }
    expectScriptedIniRefusal(XOSYS_E_INI_SYNTAX);
}

TEST_F(HostileInput, DirectoryAsIniPathIsRefusedWithTheOpenCode) {
    const SenderRun r = runSender(m_dir, {m_dir.path()}, m_logPath, kBound);
    expectIniRefused(r, XOSYS_E_INI_OPEN);
    EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
    expectScriptedIniRefusal(XOSYS_E_INI_OPEN);
}

TEST_F(HostileInput, UnreadableIniFileIsRefusedWithTheOpenCode) {
    // Root reads any file whatever its mode, so as root the program runs as
    // the user nobody; the file and a readable control copy lie in a folder
    // nobody may enter.
    std::vector<std::string> prefix;
    if (::geteuid() == 0) {
        const char* tools[] = {"/usr/bin/setpriv", "/bin/setpriv"};
        for (const char* tool : tools) {
            if (::access(tool, X_OK) == 0) {
                prefix = {tool, "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
                break;
            }
        }
        if (prefix.empty()) {
            GTEST_SKIP() << "running as root without setpriv: no way to be refused a read";
        }
    }
    ASSERT_EQ(::chmod(m_dir.path().c_str(), 0755), 0);
    const std::string locked = m_dir.file("locked.ini");
    const std::string open = m_dir.file("open.ini");
    writeFile(locked, "[options:ap]\ntoServiceName = x\n");
    writeFile(open, "");
    ASSERT_EQ(::chmod(locked.c_str(), 0000), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0644), 0);

    const auto runAs = [&](const std::string& ini, const std::string& name) {
        std::vector<std::string> args = prefix;
        args.push_back(senderPath());
        args.push_back(ini);
        Process p(m_dir, name, args);
        SenderRun r;
        const auto status = p.waitFor(kBound);
        r.finished = status.has_value();
        r.status = status ? *status : p.stop();
        r.out = p.out();
        r.err = p.err();
        return r;
    };
    // The control: the same user reads a readable file in the same place.
    const SenderRun control = runAs(open, "control");
    ASSERT_TRUE(control.status.exitedWith(13)) << control.describe();

    const SenderRun r = runAs(locked, "locked");
    expectIniRefused(r, XOSYS_E_INI_OPEN);
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

TEST_F(HostileInput, MissingSectionGivesTheDefaults) {
    // Only the router settings: the service name falls back to "" and the
    // run ends with 13 before any connection is made.
    const SenderRun r = runWith("[options:mq]\nport = 1\ntimeoutToAllReconnectingTriing = 0\n");
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(13)) << r.describe();
    EXPECT_EQ(linesWith(r.err, kNoServiceLine).size(), 1u) << r.describe();
    EXPECT_EQ(r.err.find("XoMQConnect"), std::string::npos) << r.describe();
}

TEST_F(HostileInput, DuplicateSectionsAndKeysKeepTheFirstValue) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    const std::string port = std::to_string(router.port());
    const SenderRun r = runWith(
        "[options:ap]\n"
        "toServiceName = " +
        std::string(kService) +
        "\n"
        "sendAmount = 7\n"
        "sendAmount = 8\n"
        "[options:mq]\n"
        "port = " +
        port +
        "\n"
        "[options:ap]\n"
        "sendAmount = 9\n"
        "toServiceName = nobody-serves-this\n"
        "[log]\n"
        "file = " +
        m_logPath + "\n");
    ASSERT_TRUE(r.finished) << r.describe();
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    const auto report = parseReport(r.log);
    ASSERT_TRUE(report.has_value()) << r.describe();
    EXPECT_EQ(report->count, 7u);
    // Each ignored duplicate is named on standard error with both lines.
    EXPECT_NE(r.err.find("line 4: duplicate key 'sendamount' in [options:ap] ignored; the value "
                         "from line 3 stays"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("line 8: duplicate key 'sendamount'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 9: duplicate key 'toservicename'"), std::string::npos) << r.err;
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->answered, 7);
}

TEST_F(HostileInput, CrlfLineEndsAndHundredKilobyteLinesAreRead) {
    NatsServer router(m_dir);
    Responder responder(m_dir, router.url(), kService);
    IniFile ini = standardIni(router.port(), kService, 5, m_logPath);
    // Long values of keys nobody reads, in both sections the program reads.
    ini.set("options:ap", "note", std::string(100 * 1024, 'a'));
    ini.set("options:mq", "note", std::string(100 * 1024, 'b'));
    std::string text = "; " + std::string(100 * 1024, 'c') + "\n" + ini.text();
    std::string crlf;
    for (const char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    const SenderRun r = runWith(crlf);
    ASSERT_TRUE(r.finished) << r.describe();
    // A value that kept its CR would name another service or port.
    EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
    const auto report = parseReport(r.log);
    ASSERT_TRUE(report.has_value()) << r.describe();
    EXPECT_EQ(report->count, 5u);
}

TEST_F(HostileInput, ConnectStringFitsAt1023CharactersAndIsCutBeyond) {
    // The connect string ends with the password the router requires; the
    // value buffer holds 1023 characters and the NUL. At 1023 the password
    // arrives whole; one character more and the cut takes its last letter,
    // so the router refuses every attempt. The log says the value was cut.
    const std::string token = "Cut-Tok3n";
    NatsServer::Options options;
    options.token = token;
    NatsServer router(m_dir, options);
    Responder responder(m_dir, router.url(), kService, {"--password", token});
    const auto connectText = [&](size_t length) {
        const std::string head =
            "host = 127.0.0.1; port = " + std::to_string(router.port()) + "; pad = ";
        const std::string tail = "; password = " + token;
        return head + std::string(length - head.size() - tail.size(), 'p') + tail;
    };
    for (const size_t length : {size_t{1023}, size_t{1024}, size_t{1500}}) {
        SCOPED_TRACE("connect string of " + std::to_string(length) + " characters");
        IniFile ini = standardIni(router.port(), kService, 3, m_logPath);
        ini.set("options:mq", "connect", connectText(length));
        ini.set("options:mq", "timeoutToAllReconnectingTriing", 0);
        ini.write(m_iniPath);
        const SenderRun r = runSender(m_dir, {m_iniPath}, m_logPath, kBound);
        const auto cut = linesWith(r.log, "connect: value of " + std::to_string(length) +
                                              " bytes cut to the buffer of 1024 bytes");
        if (length == 1023) {
            EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
            EXPECT_TRUE(parseReport(r.log).has_value()) << r.describe();
            EXPECT_TRUE(cut.empty()) << r.describe();
        } else {
            faults::expectFailedRun(r, XOSYS_E_AUTH, "createMQConnectionConnect");
            EXPECT_EQ(cut.size(), 1u) << r.describe();
        }
        // Neither the password nor what is left of it shows anywhere.
        faults::expectSecretHidden(r, token.substr(0, token.size() - 1));
    }
}

TEST_F(HostileInput, AnyServiceNameUpTo255CharactersIsServedAndLongerOnesAreCut) {
    // Names with dots, blanks, wildcards and escapes are served like any
    // other. The program's buffer holds 255 characters: longer names are cut
    // to those, with a warning, and reach the service of the first 255.
    NatsServer router(m_dir);
    std::string name;
    while (name.size() < 100 * 1024) {
        name += "my.service *>%2E-";  // the INI trims blanks at the ends
    }
    const std::string longest = name.substr(0, 255);
    Responder responder(m_dir, router.url(), longest);
    for (const size_t length : {size_t{10}, size_t{255}, size_t{300}, size_t{100 * 1024}}) {
        SCOPED_TRACE(std::to_string(length) + " characters");
        Responder* other = nullptr;
        std::optional<Responder> shorter;
        if (length < 255) {
            shorter.emplace(m_dir, router.url(), name.substr(0, length), std::vector<std::string>{},
                            "short");
            other = &*shorter;
        }
        const SenderRun r = run(standardIni(router.port(), name.substr(0, length), 3, m_logPath));
        EXPECT_TRUE(r.status.exitedWith(0)) << r.describe();
        EXPECT_TRUE(parseReport(r.log).has_value()) << r.describe();
        EXPECT_EQ(linesWith(r.log, "toServiceName: value of").size(), length > 255 ? 1u : 0u)
            << r.describe();
        if (other != nullptr) {
            const auto summary = other->stop();
            ASSERT_TRUE(summary.has_value());
            EXPECT_EQ(summary->answered, 3);
        }
    }
    const auto summary = responder.stop();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->answered, 9);

    // The program hands the library exactly the 255 characters its buffer
    // holds, and frees the connection after the failed resolve.
    const faults::ScriptedRun s = faults::runScripted(
        m_dir, "scripted-resolve",
        "ini options:ap toServiceName = " + std::string(300, 's') +
            "\nresult XoMQServiceResolve 1 " + std::to_string(XOSYS_E_INVALID_ARG) + "\n");
    ASSERT_TRUE(s.finished) << s.describe();
    EXPECT_TRUE(s.status.exitedWith(XOSYS_E_INVALID_ARG & 0xFF)) << s.describe();
    EXPECT_TRUE(s.handleTrouble().empty()) << s.describe();
    const auto resolve = s.lines("XoMQServiceResolve(conn1, \"" + std::string(255, 's') + "\"");
    EXPECT_EQ(resolve.size(), 1u) << s.describe();
    EXPECT_EQ(s.lines("XoMQFreeConnection(conn1) = 0").size(), 1u) << s.describe();
}

}  // namespace
