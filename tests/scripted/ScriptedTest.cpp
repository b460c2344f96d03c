// Tests of the scripted XoSys where its own logic could hide a fault in the
// code tested against it: scenario parsing, occurrence ranges, handle
// tracking, buffer bounds, composer packing and the file-driven mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScriptedXoSys.h"
#include "XoSys.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

std::string loadError(const std::string& scenario) {
    try {
        xoscript::load(scenario);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "loaded";
}

TEST(ScenarioParsing, BadLinesFailNamingTheLine) {
    struct Case {
        const char* text;
        const char* line;
        const char* detail;
    };
    const Case cases[] = {
        {"# comment\n\nfrobnicate 1\n", "line 3", "frobnicate"},
        {"result XoMQSendMsg 0 5", "line 1", "occurrence"},
        {"result XoMQSendMsg 3-2 5", "line 1", "occurrence"},
        {"result XoMQSendMsg 2+3 5", "line 1", "occurrence"},
        {"result XoMQSendMsg x 5", "line 1", "occurrence"},
        {"result XoMQSendMesg 1 5", "line 1", "XoMQSendMesg"},
        {"result XoLogInfo 1 5", "line 1", "XoLogInfo"},
        {"result XoIniCustGetInt 1 5", "line 1", "XoIniCustGetInt"},
        {"result XoMQSendMsg 1 4294967296", "line 1", "code"},
        {"result XoMQSendMsg 1 5 full", "line 1", "full"},
        {"result XoMsgSetBody 1 5 fill", "line 1", "fill"},
        {"result XoMQSendMsg 1", "line 1", "result"},
        {"\nreply 1 colour=red", "line 2", "colour"},
        {"reply 1 body=0g", "line 1", "hex"},
        {"reply 1 body=abc", "line 1", "hex"},
        {"reply 1 type=-1", "line 1", "type"},
        {"reply 1 nobody body=00", "line 1", "twice"},
        {"incoming", "line 1", "incoming"},
        {"logflag maybe Init complete", "line 1", "logflag"},
        {"logflag off", "line 1", "format"},
        {"ini options:ap sendAmount 5", "line 1", "ini"},
        {"ini options:ap = 5", "line 1", "key"},
    };
    for (const Case& c : cases) {
        const std::string error = loadError(c.text);
        EXPECT_THAT(error, HasSubstr(c.line)) << c.text;
        EXPECT_THAT(error, HasSubstr(c.detail)) << c.text;
    }
}

TEST(ScenarioParsing, FailedLoadKeepsThePreviousScenario) {
    xoscript::load("ini s k = kept\n");
    EXPECT_NE(loadError("ini s k = other\nbogus\n"), "loaded");
    char buffer[16];
    XoIniCustGetStr(-1, buffer, sizeof buffer, "s", "k", "default");
    EXPECT_STREQ(buffer, "kept");
}

TEST(ScenarioParsing, IniValuesAndTheirReads) {
    xoscript::load(
        "ini s text =   two words  \n"
        "ini s empty =\n"
        "ini s num = -2147483648\n"
        "ini s big = 2147483648\n"
        "ini s junk = 12abc\n"
        "ini s sign = -\n"
        "ini s quoted = \" a; \"\n"
        "ini s quote = \"\n");
    char buffer[16];
    XoIniCustGetStr(-1, buffer, sizeof buffer, "s", "text", "d");
    EXPECT_STREQ(buffer, "two words");
    XoIniCustGetStr(-1, buffer, sizeof buffer, "s", "empty", "d");
    EXPECT_STREQ(buffer, "");
    XoIniCustGetStr(-1, buffer, sizeof buffer, "s", "quoted", "d");
    EXPECT_STREQ(buffer, " a; ");
    XoIniCustGetStr(-1, buffer, sizeof buffer, "s", "quote", "d");
    EXPECT_STREQ(buffer, "\"");
    XoIniCustGetStr(-1, buffer, sizeof buffer, "s", "absent", "d");
    EXPECT_STREQ(buffer, "d");
    XoIniCustGetStr(-1, buffer, sizeof buffer, "other", "text", "d");
    EXPECT_STREQ(buffer, "d");

    // Truncated to size - 1 and terminated; nothing written past the size.
    char small[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    XoIniCustGetStr(-1, small, 4, "s", "text", "");
    EXPECT_STREQ(small, "two");
    EXPECT_EQ(small[4], 'x');
    XoIniCustGetStr(-1, small, 0, "s", "text", "");
    EXPECT_EQ(small[0], 't');

    EXPECT_EQ(XoIniCustGetInt(-1, "s", "num", 7), INT32_MIN);
    EXPECT_EQ(XoIniCustGetInt(-1, "s", "big", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(-1, "s", "junk", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(-1, "s", "empty", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(-1, "s", "sign", 7), 7);
    EXPECT_EQ(XoIniCustGetInt(-1, "s", "absent", 7), 7);
    EXPECT_THAT(xoscript::calls("XoIniCustGetStr").front(),
                "XoIniCustGetStr(-1, 16, \"s\", \"text\", \"d\") = 0 -> \"two words\"");
}

TEST(Occurrences, RangesPickTheNumberedCalls) {
    xoscript::load(
        "result XoMsgSetFieldStr 2 5\n"
        "result XoMsgSetFieldStr 4-5 6\n"
        "result XoMsgSetFieldStr 7+ 8\n"
        "result XoIniOpen * 3\n"
        "result XoIniOpen 2 4\n");
    XoMsgHandle msg = nullptr;
    ASSERT_EQ(XoMsgCreateMessage(&msg), 0u);
    std::vector<XoResult> codes;
    for (int i = 0; i < 9; ++i) {
        codes.push_back(XoMsgSetFieldStr(msg, "Xo_To", "a"));
    }
    EXPECT_THAT(codes, ElementsAre(0u, 5u, 0u, 6u, 6u, 0u, 8u, 8u, 8u));
    // The first matching directive wins.
    EXPECT_EQ(XoIniOpen("a"), 3u);
    EXPECT_EQ(XoIniOpen("a"), 3u);
    XoMsgFreeMessage(msg);

    // A new load starts counting again.
    xoscript::load("result XoMsgSetFieldStr 2 5\n");
    msg = nullptr;
    XoMsgCreateMessage(&msg);
    EXPECT_EQ(XoMsgSetFieldStr(msg, "Xo_To", "a"), 0u);
    EXPECT_EQ(XoMsgSetFieldStr(msg, "Xo_To", "a"), 5u);
    XoMsgFreeMessage(msg);
    EXPECT_THAT(xoscript::problems(), IsEmpty());
}

TEST(Handles, NamedPerKindAndFreedExactlyOnce) {
    xoscript::load("");
    XoMQConnHandle conn = nullptr;
    XoMsgHandle a = nullptr;
    XoMsgHandle b = nullptr;
    XoComposerHandle comp = nullptr;
    XoMQCreateConnection(&conn);
    XoMsgCreateMessage(&a);
    XoSysCreateBinaryComposer(&comp);
    XoMsgCreateMessage(&b);
    EXPECT_THAT(xoscript::problems(),
                ElementsAre("LIVE conn1", "LIVE msg1", "LIVE comp1", "LIVE msg2"));

    EXPECT_EQ(XoMsgFreeMessage(b), 0u);
    EXPECT_EQ(XoSysFreeComposer(comp), 0u);
    EXPECT_EQ(XoMsgFreeMessage(a), 0u);
    EXPECT_EQ(XoMQFreeConnection(conn), 0u);
    EXPECT_THAT(xoscript::problems(), IsEmpty());
    const std::vector<std::string> t = xoscript::trace();
    ASSERT_EQ(t.size(), 8u);
    EXPECT_EQ(t[0], "XoMQCreateConnection() = 0 -> conn1");
    EXPECT_EQ(t[3], "XoMsgCreateMessage() = 0 -> msg2");
    EXPECT_EQ(t[4], "XoMsgFreeMessage(msg2) = 0");
    EXPECT_EQ(t[7], "XoMQFreeConnection(conn1) = 0");
}

TEST(Handles, MisuseIsReported) {
    xoscript::load("");
    XoMsgHandle msg = nullptr;
    XoMsgCreateMessage(&msg);
    XoMsgHandle kept = msg;
    EXPECT_EQ(XoMsgCreateMessage(&kept), 0u);  // slot still holds msg1
    XoMsgFreeMessage(msg);
    EXPECT_EQ(XoMsgFreeMessage(msg), xoscript::kBadHandle);
    EXPECT_EQ(XoMsgSetFieldStr(msg, "Xo_To", "a"), xoscript::kBadHandle);
    EXPECT_EQ(XoSysFreeComposer(reinterpret_cast<XoComposerHandle>(kept)), xoscript::kBadHandle);
    EXPECT_EQ(XoMsgFreeMessage(reinterpret_cast<XoMsgHandle>(&msg)), xoscript::kBadHandle);
    EXPECT_EQ(XoMsgFreeMessage(nullptr), xoscript::kBadHandle);
    EXPECT_EQ(XoMsgCreateMessage(nullptr), xoscript::kBadArgument);

    const std::vector<std::string> p = xoscript::problems();
    ASSERT_EQ(p.size(), 8u);
    EXPECT_EQ(p[0], "PROBLEM XoMsgCreateMessage: slot not empty, holds msg1");
    EXPECT_EQ(p[1], "PROBLEM XoMsgFreeMessage: msg1 freed twice");
    EXPECT_EQ(p[2], "PROBLEM XoMsgSetFieldStr: msg1 used after it was freed");
    EXPECT_EQ(p[3], "PROBLEM XoSysFreeComposer: msg2 is not a composer handle");
    EXPECT_THAT(p[4], HasSubstr("PROBLEM XoMsgFreeMessage: unknown handle 0x"));
    EXPECT_EQ(p[5], "PROBLEM XoMsgFreeMessage: null message handle");
    EXPECT_EQ(p[6], "PROBLEM XoMsgCreateMessage: null slot");
    EXPECT_EQ(p[7], "LIVE msg2");
    // Each problem follows its call's line.
    const std::vector<std::string> t = xoscript::trace();
    ASSERT_GE(t.size(), 6u);
    EXPECT_EQ(t[2], p[0]);
    EXPECT_EQ(t[4], "XoMsgFreeMessage(msg1) = 24577");
    EXPECT_EQ(t[5], p[1]);
    XoMsgFreeMessage(kept);
}

TEST(Handles, FailingCallsFillTheSlotOnlyWhenAsked) {
    xoscript::load(
        "result XoMsgCreateMessage 1 9\n"
        "result XoMsgCreateMessage 2 9 fill\n"
        "result XoMQSendMsg 1 11 fill\n");
    XoMsgHandle a = nullptr;
    XoMsgHandle b = nullptr;
    EXPECT_EQ(XoMsgCreateMessage(&a), 9u);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(XoMsgCreateMessage(&b), 9u);
    ASSERT_NE(b, nullptr);
    XoMQConnHandle conn = nullptr;
    XoMQCreateConnection(&conn);
    XoMsgHandle reply = nullptr;
    EXPECT_EQ(XoMQSendMsg(conn, b, &reply, 5), 11u);
    ASSERT_NE(reply, nullptr);
    EXPECT_THAT(xoscript::problems(), ElementsAre("LIVE msg1", "LIVE conn1", "LIVE msg2"));
    EXPECT_EQ(xoscript::calls("XoMQSendMsg").at(0), "XoMQSendMsg(conn1, msg1, 5) = 11 -> msg2");
    XoMsgFreeMessage(reply);
    XoMsgFreeMessage(b);
    XoMQFreeConnection(conn);
}

TEST(Messages, RepliesPollsAndCopiesStayInBounds) {
    xoscript::load(
        "incoming 2\n"
        "reply 2 category=Xo_System type=0 body=0d000000ff\n"
        "reply 3 category=- type=- nobody\n"
        "resolve  far away \n");
    XoMQConnHandle conn = nullptr;
    XoMQCreateConnection(&conn);

    XoMsgHandle polled = nullptr;
    EXPECT_EQ(XoMQGetMsg(conn, &polled, 0), xoscript::kNoMessage);
    EXPECT_EQ(polled, nullptr);
    EXPECT_EQ(XoMQGetMsg(conn, &polled, 0), 0u);
    ASSERT_NE(polled, nullptr);
    XoMsgFreeMessage(polled);

    char address[6];
    uint64_t size = sizeof address;
    EXPECT_EQ(XoMQServiceResolve(conn, "svc", address, &size, nullptr, 0), 0u);
    EXPECT_STREQ(address, "far a");
    EXPECT_EQ(size, 5u);

    XoMsgHandle request = nullptr;
    XoMsgCreateMessage(&request);
    XoMsgSetBody(request, "\x01\x02\x03\x04\x05\x06", 6);
    std::vector<std::string> texts;
    for (int i = 0; i < 3; ++i) {
        XoMsgHandle reply = nullptr;
        ASSERT_EQ(XoMQSendMsg(conn, request, &reply, 1), 0u);
        const void* category = nullptr;
        uint32_t type = 77;
        const XoResult catRc = XoMsgGetBinaryField(reply, "Xo_Category", &category, nullptr);
        const XoResult typeRc = XoMsgCopyFieldUINT32(reply, "Xo_Type", &type);
        unsigned char body[8] = {0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee};
        uint64_t capacity = 4;
        const XoResult bodyRc = XoMsgCopyBody(reply, body, &capacity);
        char text[160];
        std::snprintf(text, sizeof text, "%s %u %u %u %u %llu %02x%02x%02x%02x%02x",
                      catRc == 0 ? static_cast<const char*>(category) : "-",
                      static_cast<unsigned>(catRc), static_cast<unsigned>(typeRc),
                      static_cast<unsigned>(type), static_cast<unsigned>(bodyRc),
                      static_cast<unsigned long long>(capacity), body[0], body[1], body[2], body[3],
                      body[4]);
        texts.push_back(text);
        XoMsgFreeMessage(reply);
    }
    EXPECT_THAT(texts,
                ElementsAre("Xo_Reply 0 0 1 0 4 01020304ee", "Xo_System 0 0 0 0 4 0d000000ee",
                            "- 24579 24579 77 24583 4 eeeeeeeeee"));

    // XoMsgCopyFieldUINT32 needs a 4-byte property.
    const uint16_t shortValue = 6;
    XoMsgSetField(request, "Xo_Type", &shortValue, sizeof shortValue);
    uint32_t type = 0;
    EXPECT_EQ(XoMsgCopyFieldUINT32(request, "Xo_Type", &type), xoscript::kBadPropertySize);
    XoMsgFreeMessage(request);
    XoMQFreeConnection(conn);
    EXPECT_THAT(xoscript::problems(), IsEmpty());
}

TEST(Composer, PacksLittleEndianWithoutPadding) {
    xoscript::load("");
    XoComposerHandle comp = nullptr;
    XoSysCreateBinaryComposer(&comp);
    ASSERT_EQ(XoSysCompose(comp, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3"), 0u);
    uint64_t size = 0;
    const uint8_t* buffer = nullptr;
    XoSysComposeGetSize(comp, &size);
    XoSysComposeGetBuffer(comp, &buffer);
    ASSERT_EQ(size, 42u);
    EXPECT_EQ(xoscript::calls("XoSysComposeGetBuffer").at(0),
              "XoSysComposeGetBuffer(comp1) = 0 -> 414243440c00000030303156555a41"
              "0000000000000000000000000000000000"
              "33000000000000000000");
    EXPECT_EQ(xoscript::calls("XoSysCompose").at(0),
              "XoSysCompose(comp1, \"c4i4c3c4c17c10\", \"ABCD\", 12, \"001\", \"VUZA\", \"\", "
              "\"3\") = 0");
    EXPECT_EQ(buffer[4], 12);

    // Further calls append; a failing call adds nothing.
    ASSERT_EQ(XoSysCompose(comp, "i1i2i8", 0x1ff, -2, static_cast<int64_t>(0x0102030405060708)),
              0u);
    EXPECT_EQ(XoSysCompose(comp, "c2c2", "ab", "abc"), xoscript::kComposeError);
    EXPECT_EQ(XoSysCompose(comp, "i3", 1), xoscript::kComposeError);
    EXPECT_EQ(XoSysCompose(comp, "c", "a"), xoscript::kComposeError);
    EXPECT_EQ(XoSysCompose(comp, "q4", 1), xoscript::kComposeError);
    XoSysComposeGetSize(comp, &size);
    EXPECT_EQ(size, 53u);
    XoSysComposeGetBuffer(comp, &buffer);
    EXPECT_THAT(xoscript::calls("XoSysComposeGetBuffer").at(1),
                HasSubstr("33000000000000000000"
                          "fffeff0807060504030201"));
    XoSysFreeComposer(comp);
    EXPECT_THAT(xoscript::problems(), IsEmpty());
}

TEST(LogCalls, FlagsAndTraceLines) {
    xoscript::load(
        "logflag off quiet %d\n"
        "logflag null unregistered\n");
    int32_t* flag = xoscript::logFlag("quiet %d");
    EXPECT_EQ(*flag, 0);
    EXPECT_EQ(trcheckEx_XoLogInfo_("quiet %d", 1), flag);
    EXPECT_EQ(trcheckEx_XoLogError_("unregistered"), nullptr);
    EXPECT_EQ(*trcheckEx_XoLogEx_(2, "RERUZU", "n=%I64u \"%s\"", uint64_t{1} << 40, "a\\b"), 1);
    XoLogErrorWithCode(13, "%s failed", "XoMQSendMsg");
    EXPECT_THAT(
        xoscript::trace(),
        ElementsAre("trcheckEx_XoLogInfo_(\"quiet 1\") = flag1",
                    "trcheckEx_XoLogError_(\"unregistered\") = null", "LOG Error: unregistered",
                    "trcheckEx_XoLogEx_(2, \"RERUZU\", \"n=1099511627776 \\\"a\\\\b\\\"\") "
                    "= flag2",
                    "LOG Ex 2 RERUZU: n=1099511627776 \"a\\b\"",
                    "XoLogErrorWithCode(13, \"XoMQSendMsg failed\")",
                    "LOG ErrorWithCode code=13: XoMQSendMsg failed"));
    // The flag keeps its address across loads and is switched on again.
    xoscript::load("");
    EXPECT_EQ(xoscript::logFlag("quiet %d"), flag);
    EXPECT_EQ(*flag, 1);
}

#if !defined(_WIN32)

struct ChildResult {
    int status = -1;
    std::vector<std::string> trace;
};

std::string tempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    std::ostringstream path;
    path << (dir != nullptr ? dir : "/tmp") << "/xoscript_" << getpid() << "_" << name;
    return path.str();
}

// Runs the child with the scenario and collects its trace file. The child is
// waited for at most 20 s and killed by its PID if it hangs.
ChildResult runChild(const std::string& scenario, const char* arg) {
    const std::string scenarioPath = tempPath("scenario.txt");
    const std::string tracePath = tempPath("trace.txt");
    std::ofstream(scenarioPath) << scenario;
    std::remove(tracePath.c_str());
    ChildResult result;
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XOSCRIPT_FILE", scenarioPath.c_str(), 1);
        setenv("XOSCRIPT_TRACE", tracePath.c_str(), 1);
        execl(XOSCRIPT_CHILD_PATH, XOSCRIPT_CHILD_PATH, arg, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        return result;
    }
    for (int i = 0; i < 2000; ++i) {
        if (waitpid(pid, &result.status, WNOHANG) == pid) {
            break;
        }
        usleep(10000);
        if (i == 1999) {
            kill(pid, SIGKILL);
            waitpid(pid, &result.status, 0);
        }
    }
    std::ifstream in(tracePath);
    for (std::string line; std::getline(in, line);) {
        result.trace.push_back(line);
    }
    std::remove(scenarioPath.c_str());
    std::remove(tracePath.c_str());
    return result;
}

TEST(FileMode, ScenarioFromFileAndExitLines) {
    const ChildResult r = runChild("result XoMsgCreateMessage 1 7 fill\n", "");
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 7);
    EXPECT_THAT(r.trace, ElementsAre("XoMQCreateConnection() = 0 -> conn1",
                                     "XoMsgCreateMessage() = 7 -> msg1",
                                     "XoMsgFreeMessage(msg1) = 0", "XoLogInfo(\"child done 7\")",
                                     "LOG Info: child done 7", "LIVE conn1", "END"));
}

TEST(FileMode, ProcessWithoutCallsStillEndsTheTrace) {
    // The scenario is read only at the first call, so a bad one goes unnoticed.
    const ChildResult r = runChild("bogus\n", "none");
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_THAT(r.trace, ElementsAre("END"));
}

TEST(FileMode, CrashKeepsTheTraceWithoutEnd) {
    const ChildResult r = runChild("", "crash");
    EXPECT_TRUE(WIFSIGNALED(r.status));
    ASSERT_EQ(r.trace.size(), 5u);
    EXPECT_EQ(r.trace.back(), "LOG Info: child done 0");
}

TEST(FileMode, BadScenarioStopsTheProcess) {
    const ChildResult r = runChild("ini a b = c\nresult Nope 1 1\n", "");
    EXPECT_FALSE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
    ASSERT_EQ(r.trace.size(), 1u);
    EXPECT_THAT(r.trace[0], HasSubstr("ERROR "));
    EXPECT_THAT(r.trace[0], HasSubstr("line 2"));
}

#endif

}  // namespace
