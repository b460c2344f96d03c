// Windows only: the optional calls are found by name in the DLL that holds
// the XoSys calls, and a library without them (the scripted one, like the
// vendor's) gives none.
#include <gtest/gtest.h>

#include "OptionalCalls.h"

TEST(OptionalCalls, FoundByNameInTheXoSysModuleOrMissing) {
    EXPECT_NE(optionalcalls::xoSysExport("XoMQSendMsg"), nullptr);
    EXPECT_EQ(optionalcalls::xoSysExport("XoMQNoSuchCall"), nullptr);
    EXPECT_EQ(optionalcalls::serviceStats(), nullptr);
}
