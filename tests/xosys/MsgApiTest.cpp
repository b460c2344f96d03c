// Message and composer calls of libXoSys: ownership, bounds, null handles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "XoSys.h"
#include "XoSysCodes.h"

namespace {

// Frees a message at the end of the scope.
struct Msg {
    Msg() { EXPECT_EQ(XoMsgCreateMessage(&h), 0u); }
    ~Msg() { XoMsgFreeMessage(h); }
    XoMsgHandle h = nullptr;
};

TEST(MsgApi, TextPropertiesKeepTheirNul) {
    Msg m;
    ASSERT_EQ(XoMsgSetFieldStr(m.h, "Xo_Category", "VORNA_FUTURES"), 0u);
    const void* value = nullptr;
    uint64_t size = 0;
    ASSERT_EQ(XoMsgGetBinaryField(m.h, "Xo_Category", &value, &size), 0u);
    EXPECT_EQ(size, 14u);
    EXPECT_STREQ(static_cast<const char*>(value), "VORNA_FUTURES");
    // The size is optional, and the pointer points into the message.
    const void* again = nullptr;
    ASSERT_EQ(XoMsgGetBinaryField(m.h, "Xo_Category", &again, nullptr), 0u);
    EXPECT_EQ(again, value);

    EXPECT_EQ(XoMsgGetBinaryField(m.h, "Xo_Missing", &value, &size), XOSYS_E_FIELD_NOT_FOUND);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(size, 0u);
}

TEST(MsgApi, Uint32CopyChecksTheSize) {
    Msg m;
    const int32_t six = 6;
    ASSERT_EQ(XoMsgSetField(m.h, "Xo_Type", &six, 4), 0u);
    ASSERT_EQ(XoMsgSetField(m.h, "Short", &six, 2), 0u);
    ASSERT_EQ(XoMsgSetFieldStr(m.h, "Text", "abc"), 0u);  // 4 bytes with its NUL
    uint32_t v = 99;
    ASSERT_EQ(XoMsgCopyFieldUINT32(m.h, "Xo_Type", &v), 0u);
    EXPECT_EQ(v, 6u);
    v = 99;
    EXPECT_EQ(XoMsgCopyFieldUINT32(m.h, "Short", &v), XOSYS_E_FIELD_SIZE);
    EXPECT_EQ(XoMsgCopyFieldUINT32(m.h, "Absent", &v), XOSYS_E_FIELD_NOT_FOUND);
    EXPECT_EQ(v, 99u);
    EXPECT_EQ(XoMsgCopyFieldUINT32(m.h, "Text", &v), 0u);
    EXPECT_EQ(v, 0x00636261u);
}

TEST(MsgApi, BodyCopyNeverWritesBeyondTheCapacity) {
    Msg m;
    const uint32_t code = 24581;
    ASSERT_EQ(XoMsgSetBody(m.h, &code, 4), 0u);
    unsigned char buf[8];
    std::memset(buf, 0xAA, sizeof buf);
    uint64_t cap = 4;
    ASSERT_EQ(XoMsgCopyBody(m.h, buf, &cap), 0u);
    EXPECT_EQ(cap, 4u);
    uint32_t copied = 0;
    std::memcpy(&copied, buf, 4);
    EXPECT_EQ(copied, 24581u);
    EXPECT_EQ(buf[4], 0xAA);

    // A larger body is cut to the capacity: what fits is copied.
    ASSERT_EQ(XoMsgSetBody(m.h, "0123456789", 10), 0u);
    std::memset(buf, 0xAA, sizeof buf);
    cap = 4;
    EXPECT_EQ(XoMsgCopyBody(m.h, buf, &cap), XOSYS_E_TRUNCATED);
    EXPECT_EQ(cap, 4u);  // the count copied
    EXPECT_EQ(std::memcmp(buf, "0123", 4), 0);
    EXPECT_EQ(buf[4], 0xAA);
    int32_t preset = 24580;

    // An empty body copies nothing and succeeds.
    ASSERT_EQ(XoMsgSetBody(m.h, nullptr, 0), 0u);
    cap = 4;
    EXPECT_EQ(XoMsgCopyBody(m.h, &preset, &cap), 0u);
    EXPECT_EQ(cap, 0u);
    EXPECT_EQ(preset, 24580);
    cap = 0;
    EXPECT_EQ(XoMsgCopyBody(m.h, nullptr, &cap), 0u);
    cap = 4;
    EXPECT_EQ(XoMsgCopyBody(m.h, nullptr, &cap), XOSYS_E_INVALID_ARG);
}

TEST(MsgApi, NullHandlesAndArgumentsAreRefused) {
    XoMsgHandle none = nullptr;
    const void* value = nullptr;
    uint32_t v = 0;
    uint64_t size = 4;
    EXPECT_EQ(XoMsgCreateMessage(nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgFreeMessage(nullptr), 0u);
    EXPECT_EQ(XoMsgSetFieldStr(none, "a", "b"), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgSetField(none, "a", "b", 1), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgGetBinaryField(none, "a", &value, nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgCopyFieldUINT32(none, "a", &v), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgSetBody(none, "a", 1), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgCopyBody(none, &v, &size), XOSYS_E_INVALID_ARG);

    Msg m;
    EXPECT_EQ(XoMsgSetFieldStr(m.h, nullptr, "b"), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgSetFieldStr(m.h, "a", nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgSetFieldStr(m.h, "", "b"), XOSYS_E_FIELD_NAME);
    EXPECT_EQ(XoMsgSetField(m.h, "a", nullptr, 3), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgSetField(m.h, "a", "b", UINT64_MAX), XOSYS_E_TOO_LARGE);
    EXPECT_EQ(XoMsgSetBody(m.h, "b", UINT64_MAX), XOSYS_E_TOO_LARGE);
    EXPECT_EQ(XoMsgGetBinaryField(m.h, "a", nullptr, &size), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgCopyFieldUINT32(m.h, "a", nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoMsgCopyBody(m.h, &v, nullptr), XOSYS_E_INVALID_ARG);

    XoComposerHandle noComposer = nullptr;
    const uint8_t* buf = nullptr;
    EXPECT_EQ(XoSysCreateBinaryComposer(nullptr), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoSysFreeComposer(nullptr), 0u);
    EXPECT_EQ(XoSysCompose(noComposer, "i4", 1), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoSysComposeGetSize(noComposer, &size), XOSYS_E_INVALID_ARG);
    EXPECT_EQ(XoSysComposeGetBuffer(noComposer, &buf), XOSYS_E_INVALID_ARG);
}

TEST(MsgApi, ComposedBodyGoesIntoTheRequest) {
    XoComposerHandle c = nullptr;
    ASSERT_EQ(XoSysCreateBinaryComposer(&c), 0u);
    ASSERT_EQ(XoSysCompose(c, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3"), 0u);
    uint64_t size = 0;
    const uint8_t* bytes = nullptr;
    ASSERT_EQ(XoSysComposeGetSize(c, &size), 0u);
    ASSERT_EQ(XoSysComposeGetBuffer(c, &bytes), 0u);
    EXPECT_EQ(size, 42u);
    EXPECT_EQ(XoSysCompose(c, "c4i9", "ABCD", 1), XOSYS_E_COMPOSE_FORMAT);
    EXPECT_EQ(XoSysCompose(c, "c2", "ABC"), XOSYS_E_COMPOSE_VALUE);
    ASSERT_EQ(XoSysComposeGetSize(c, &size), 0u);
    EXPECT_EQ(size, 42u);

    Msg m;
    ASSERT_EQ(XoMsgSetBody(m.h, bytes, size), 0u);
    XoSysFreeComposer(c);  // the message holds its own copy
    unsigned char body[64];
    uint64_t cap = sizeof body;
    ASSERT_EQ(XoMsgCopyBody(m.h, body, &cap), 0u);
    ASSERT_EQ(cap, 42u);
    EXPECT_EQ(std::memcmp(body,
                          "ABCD\x0c\0\0\0"
                          "001VUZA",
                          15),
              0);
}

}  // namespace
