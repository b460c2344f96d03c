// The environment guard against the scripted XoSys: the four start-up
// outcomes, what each failure undoes, and the unconditional teardown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogIni.h"
#include "ScriptedXoSys.h"

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

struct Outcome {
    uint32_t rc = 0;
    std::string out;                  // standard output of logIniInit
    std::vector<std::string> atInit;  // trace when logIniInit returned
    std::vector<std::string> trace;   // after the guard was destroyed
};

Outcome runGuard(const std::string& scenario) {
    xoscript::load(scenario);
    Outcome o;
    testing::internal::CaptureStdout();
    {
        LogIni guard;
        EXPECT_THAT(xoscript::trace(), IsEmpty()) << "the constructor calls nothing";
        o.rc = guard.logIniInit("app.ini");
        o.atInit = xoscript::trace();
    }
    o.out = testing::internal::GetCapturedStdout();
    o.trace = xoscript::trace();
    EXPECT_THAT(xoscript::problems(), IsEmpty());
    return o;
}

TEST(LogIni, SuccessfulStartThenTeardownInOrder) {
    const Outcome o = runGuard("");
    EXPECT_EQ(o.rc, 0u);
    EXPECT_EQ(o.out, "");
    EXPECT_THAT(o.trace, ElementsAre("XoIniSetOpt(0) = 0", "XoIniOpen(\"app.ini\") = 0",
                                     "XoLogOpen(0) = 0", "XoMQStartup() = 0", "XoMQCleanup() = 0",
                                     "XoLogClose() = 0", "XoIniClose() = 0"));
    EXPECT_EQ(o.atInit.size(), 4u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
}

TEST(LogIni, IniOpenFailurePrintsHexCodeAndUndoesNothing) {
    const Outcome o = runGuard("result XoIniOpen 1 0x1a2b\n");
    EXPECT_EQ(o.rc, 0x1a2bu);
    EXPECT_EQ(o.out, "XoIniOpen not ok. Error code: 1a2b");
    EXPECT_THAT(o.trace, ElementsAre("XoIniSetOpt(0) = 0", "XoIniOpen(\"app.ini\") = 6699",
                                     "XoMQCleanup() = 0", "XoLogClose() = 0", "XoIniClose() = 0"));
    EXPECT_EQ(o.atInit.size(), 2u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
}

TEST(LogIni, LogOpenFailurePrintsHexCodeAndClosesTheIni) {
    const Outcome o = runGuard("result XoLogOpen 1 255\n");
    EXPECT_EQ(o.rc, 255u);
    EXPECT_EQ(o.out, "XoLogOpen not ok. Error code: ff");
    EXPECT_THAT(o.trace, ElementsAre("XoIniSetOpt(0) = 0", "XoIniOpen(\"app.ini\") = 0",
                                     "XoLogOpen(0) = 255", "XoIniClose() = 0", "XoMQCleanup() = 0",
                                     "XoLogClose() = 0", "XoIniClose() = 0"));
    EXPECT_EQ(o.atInit.size(), 4u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
}

TEST(LogIni, StartupFailureIsLoggedThenLogAndIniClosed) {
    const Outcome o = runGuard("result XoMQStartup 1 26\n");
    EXPECT_EQ(o.rc, 26u);
    EXPECT_EQ(o.out, "");
    const char kText[] = "XoMQStartup not ok. Error code: 1a";
    // The statement registers on its first execution in the process and
    // calls the plain variant afterwards.
    const auto logCall = AnyOf(
        StartsWith("trcheckEx_XoLogEx_(2, \"RERUZU\", \"" + std::string(kText) + "\") = flag"),
        Eq("XoLogEx(2, \"RERUZU\", \"" + std::string(kText) + "\")"));
    EXPECT_THAT(o.trace,
                ElementsAre("XoIniSetOpt(0) = 0", "XoIniOpen(\"app.ini\") = 0", "XoLogOpen(0) = 0",
                            "XoMQStartup() = 26", logCall, "LOG Ex 2 RERUZU: " + std::string(kText),
                            "XoLogClose() = 0", "XoIniClose() = 0", "XoMQCleanup() = 0",
                            "XoLogClose() = 0", "XoIniClose() = 0"));
    EXPECT_EQ(o.atInit.size(), 8u);
}

TEST(LogIni, StartupFailureLineFollowsItsLogFlag) {
    const Outcome o = runGuard(
        "result XoMQStartup 1 7\n"
        "logflag off XoMQStartup not ok. Error code: %x\n");
    EXPECT_EQ(o.rc, 7u);
    EXPECT_THAT(xoscript::logs(), IsEmpty());
    EXPECT_THAT(xoscript::calls("XoLogClose"), ElementsAre("XoLogClose() = 0", "XoLogClose() = 0"));
}

TEST(LogIni, IgnoredResultsDoNotStopStartOrTeardown) {
    const Outcome o = runGuard(
        "result XoIniSetOpt 1 5\n"
        "result XoMQCleanup * 9\n"
        "result XoLogClose * 9\n"
        "result XoIniClose * 9\n");
    EXPECT_EQ(o.rc, 0u);
    EXPECT_THAT(o.trace, ElementsAre("XoIniSetOpt(0) = 5", "XoIniOpen(\"app.ini\") = 0",
                                     "XoLogOpen(0) = 0", "XoMQStartup() = 0", "XoMQCleanup() = 9",
                                     "XoLogClose() = 9", "XoIniClose() = 9"));
}

}  // namespace
