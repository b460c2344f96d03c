// The per-statement logging pattern against the scripted XoSys. Every helper
// below holds its own statements, so each test starts with unregistered sites
// (a test run repeated within one process would find them registered).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedXoSys.h"
#include "TraceSite.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

int g_evaluations = 0;
int evaluated(int value) {
    ++g_evaluations;
    return value;
}

void siteOnce(int n) {
    XO_LOG_INFO("once %d", n);
}

TEST(TraceSite, RegistersOnceThenCallsThePlainVariant) {
    xoscript::load("");
    for (int n = 1; n <= 3; ++n) {
        siteOnce(n);
    }
    EXPECT_THAT(xoscript::trace(),
                ElementsAre("trcheckEx_XoLogInfo_(\"once 1\") = flag1", "LOG Info: once 1",
                            "XoLogInfo(\"once 2\")", "LOG Info: once 2", "XoLogInfo(\"once 3\")",
                            "LOG Info: once 3"));
}

void siteSwitched(int n) {
    XO_LOG_ERROR("switched %d", evaluated(n));
}

TEST(TraceSite, FlagOffSkipsTheCallAndItsArguments) {
    xoscript::load("");
    g_evaluations = 0;
    siteSwitched(1);
    int32_t* flag = xoscript::logFlag("switched %d");
    *flag = 0;
    siteSwitched(2);
    siteSwitched(3);
    EXPECT_EQ(g_evaluations, 1);
    *flag = 1;
    siteSwitched(4);
    EXPECT_EQ(g_evaluations, 2);
    EXPECT_THAT(
        xoscript::trace(),
        ElementsAre("trcheckEx_XoLogError_(\"switched 1\") = flag1", "LOG Error: switched 1",
                    "XoLogError(\"switched 4\")", "LOG Error: switched 4"));
}

void siteOffFromStart(int n) {
    XO_LOG_INFO_EX("SRC", "off from start %d", n);
}

TEST(TraceSite, FlagOffAtRegistrationWritesNothing) {
    xoscript::load("logflag off off from start %d\n");
    siteOffFromStart(1);
    siteOffFromStart(2);
    *xoscript::logFlag("off from start %d") = 1;
    siteOffFromStart(3);
    EXPECT_THAT(xoscript::trace(),
                ElementsAre("trcheckEx_XoLogInfoEx_(\"SRC\", \"off from start 1\") = flag1",
                            "XoLogInfoEx(\"SRC\", \"off from start 3\")",
                            "LOG InfoEx SRC: off from start 3"));
}

void siteNull() {
    XO_LOG_INFO("no flag yet");
}

TEST(TraceSite, NullRegistrationRegistersAgain) {
    xoscript::load("logflag null no flag yet\n");
    siteNull();
    siteNull();
    xoscript::load("");
    siteNull();
    siteNull();
    const std::vector<std::string> trace = xoscript::trace();
    EXPECT_THAT(
        trace, ElementsAre("trcheckEx_XoLogInfo_(\"no flag yet\") = flag1", "LOG Info: no flag yet",
                           "XoLogInfo(\"no flag yet\")", "LOG Info: no flag yet"));
    EXPECT_THAT(xoscript::logs(), ElementsAre("Info: no flag yet", "Info: no flag yet"));
}

TEST(TraceSite, NullRegistrationStillWritesEachTime) {
    xoscript::load("logflag null again %d\n");
    for (int n = 1; n <= 2; ++n) {
        XO_LOG_INFO("again %d", n);
    }
    EXPECT_THAT(xoscript::trace(),
                ElementsAre("trcheckEx_XoLogInfo_(\"again 1\") = null", "LOG Info: again 1",
                            "trcheckEx_XoLogInfo_(\"again 2\") = null", "LOG Info: again 2"));
}

void siteSharedA() {
    XO_LOG_INFO("shared %d", 1);
}
void siteSharedB() {
    XO_LOG_INFO("shared %d", 2);
}

TEST(TraceSite, EveryStatementHasItsOwnSite) {
    xoscript::load("");
    siteSharedA();
    siteSharedA();
    siteSharedB();
    siteSharedB();
    // Two statements in one function, each a single statement under if/else.
    for (int n = 0; n < 4; ++n) {
        if (n % 2 == 0)
            XO_LOG_INFO("even %d", n);
        else
            XO_LOG_INFO("odd %d", n);
    }
    EXPECT_THAT(xoscript::calls("trcheckEx_XoLogInfo_"),
                ElementsAre("trcheckEx_XoLogInfo_(\"shared 1\") = flag1",
                            "trcheckEx_XoLogInfo_(\"shared 2\") = flag1",
                            "trcheckEx_XoLogInfo_(\"even 0\") = flag2",
                            "trcheckEx_XoLogInfo_(\"odd 1\") = flag3"));
    EXPECT_THAT(xoscript::calls("XoLogInfo"),
                ElementsAre("XoLogInfo(\"shared 1\")", "XoLogInfo(\"shared 2\")",
                            "XoLogInfo(\"even 2\")", "XoLogInfo(\"odd 3\")"));
}

void allKinds(int n) {
    XO_LOG_ERROR("error %d", n);
    XO_LOG_ERROR_EX("CHRTimer", "error ex %d", n);
    XO_LOG_ERROR_WITH_CODE(24580u + static_cast<uint32_t>(n), "with code %s", "x");
    XO_LOG_EX(2, "RERUZU", "ex %x", 26 * n);
}

TEST(TraceSite, EachMacroUsesItsOwnPairOfCalls) {
    xoscript::load("");
    allKinds(1);
    allKinds(2);
    EXPECT_THAT(xoscript::trace(),
                ElementsAre("trcheckEx_XoLogError_(\"error 1\") = flag1", "LOG Error: error 1",
                            "trcheckEx_XoLogErrorEx_(\"CHRTimer\", \"error ex 1\") = flag2",
                            "LOG ErrorEx CHRTimer: error ex 1",
                            "trcheckEx_XoLogErrorWithCode_(24581, \"with code x\") = flag3",
                            "LOG ErrorWithCode code=24581: with code x",
                            "trcheckEx_XoLogEx_(2, \"RERUZU\", \"ex 1a\") = flag4",
                            "LOG Ex 2 RERUZU: ex 1a", "XoLogError(\"error 2\")",
                            "LOG Error: error 2", "XoLogErrorEx(\"CHRTimer\", \"error ex 2\")",
                            "LOG ErrorEx CHRTimer: error ex 2",
                            "XoLogErrorWithCode(24582, \"with code x\")",
                            "LOG ErrorWithCode code=24582: with code x",
                            "XoLogEx(2, \"RERUZU\", \"ex 34\")", "LOG Ex 2 RERUZU: ex 34"));
    EXPECT_THAT(xoscript::problems(), IsEmpty());
}

}  // namespace
