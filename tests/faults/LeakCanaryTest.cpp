// The sanitizer build runs every child process (XoMQSender, the responder)
// with LeakSanitizer: a child that leaks must end with a failing status,
// whatever code it returned, so that the test that started it fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "Harness.h"

namespace {

TEST(LeakCanary, LeakingChildEndsWithAFailingStatus) {
    xotest::TempDir dir("xomq-faults-canary");
    xotest::Process canary(dir, "canary", {XO_FAULTS_LEAK_CANARY});
    const auto status = canary.waitFor(xotest::Millis(20000));
    ASSERT_TRUE(status.has_value()) << canary.describe();
    EXPECT_TRUE(status->exited) << canary.describe();
    const char* options = std::getenv("ASAN_OPTIONS");
    EXPECT_NE(status->code, 0) << "LeakSanitizer is off for child processes\n"
                               << "ASAN_OPTIONS=" << (options != nullptr ? options : "") << "\n"
                               << canary.describe();
    EXPECT_NE(canary.err().find("LeakSanitizer: detected memory leaks"), std::string::npos)
        << canary.describe();
    // Exit codes of XoMQSender are the low bytes of XoSys codes (up to
    // 0x5B) and 13: a leak must not be mistaken for one of them.
    EXPECT_GT(status->code, 0x5B) << "set ASAN_OPTIONS exitcode to a value no run returns";
}

}  // namespace
