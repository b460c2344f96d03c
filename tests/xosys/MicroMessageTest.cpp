// Messages to and from NATS micro endpoints: the headers a request carries,
// read back without loss, and how a reply's headers become its properties.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Message.h"
#include "MicroMessage.h"
#include "XoSysCodes.h"

namespace {

using xosys::NatsMsgPtr;

std::string field(const XoMsg_& m, const std::string& name) {
    const uint8_t* v = nullptr;
    size_t n = 0;
    if (!m.getField(name.data(), name.size(), &v, &n)) {
        return "<absent>";
    }
    return std::string(reinterpret_cast<const char*>(v), n);
}

std::string header(natsMsg* m, const char* key) {
    const char* v = nullptr;
    return natsMsgHeader_Get(m, key, &v) == NATS_OK && v != nullptr ? v : "<absent>";
}

TEST(MicroMessage, RequestPropertiesTravelAsHeadersWithoutLoss) {
    ASSERT_EQ(nats_Open(-1), NATS_OK);
    const struct {
        std::string name;
        std::string value;  // the property's bytes
        const char* key;    // the header
        const char* text;   // its value
    } cases[] = {
        {"Xo_Category", std::string("VORNA_FUTURES\0", 14), "Xo_Category", "VORNA_FUTURES"},
        {"Xo_Type", std::string("\x06\0\0\0", 4), "Xo-Base64-Xo_Type", "BgAAAA=="},
        {"100%", std::string("v\0", 2), "100%", "v"},
        {"Padded", std::string(" x\0", 3), "Xo-Base64-Padded", "IHgA"},
        {"Line", std::string("a\nb\0", 4), "Xo-Base64-Line", "YQpiAA=="},
        {"Empty", std::string("\0", 1), "Xo-Base64-Empty", "AA=="},
        {"Raw", "abc", "Xo-Base64-Raw", "YWJj"},
        {"we:ird 50%", std::string("x\0", 2), "Xo-Base64-we%3Aird%2050%25", "eAA="},
        {"Xo-Base64-X", std::string("t\0", 2), "Xo-Base64-Xo-Base64-X", "dAA="},
    };
    XoMsg_ request;
    for (const auto& c : cases) {
        ASSERT_EQ(request.setField(c.name.data(), c.name.size(), c.value.data(), c.value.size()),
                  0u);
    }
    ASSERT_EQ(request.setBody("body\0bytes", 10), 0u);
    NatsMsgPtr m;
    ASSERT_EQ(xosys::micro::makeRequest(request, "svc.echo", "_XO.c.x.r.1", &m), 0u);
    EXPECT_STREQ(natsMsg_GetSubject(m.get()), "svc.echo");
    EXPECT_EQ(std::string(natsMsg_GetData(m.get()), natsMsg_GetDataLength(m.get())),
              std::string("body\0bytes", 10));
    for (const auto& c : cases) {
        EXPECT_EQ(header(m.get(), c.key), c.text) << c.name;
    }

    // Read as a reply, the headers give back every property as it was.
    XoMsg_ back;
    bool serviceError = true;
    std::string text;
    ASSERT_EQ(xosys::micro::readReply(m.get(), &back, &serviceError, &text), 0u);
    EXPECT_FALSE(serviceError);
    for (const auto& c : cases) {
        EXPECT_EQ(field(back, c.name), c.value) << c.name;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.body()), back.bodySize()),
              std::string("body\0bytes", 10));
}

TEST(MicroMessage, ReplyHeadersGiveCategoryTypeOrSystemError) {
    ASSERT_EQ(nats_Open(-1), NATS_OK);
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> headers;
        std::string category;
        uint32_t type;
        std::string body;
        bool error;
        std::string errorText;
    } cases[] = {
        {"plain", {}, "Xo_Reply", 1, "pong", false, ""},
        {"typed", {{"Xo_Category", "Echo"}, {"Xo_Type", "5"}}, "Echo", 5, "pong", false, ""},
        {"type not a number", {{"Xo_Type", "five"}}, "Xo_Reply", 1, "pong", false, ""},
        {"service error",
         {{"Nats-Service-Error-Code", "503"}, {"Nats-Service-Error", "busy"}},
         "Xo_System",
         0,
         std::string("\xf7\x01\0\0", 4),
         true,
         "busy"},
        {"error code no number",
         {{"Nats-Service-Error-Code", "oops"}},
         "Xo_System",
         0,
         std::string("\x90\x01\0\0", 4),
         true,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        natsMsg* raw = nullptr;
        ASSERT_EQ(natsMsg_Create(&raw, "_XO.c.x.r.1", nullptr, "pong", 4), NATS_OK);
        const NatsMsgPtr m(raw);
        for (const auto& h : c.headers) {
            ASSERT_EQ(natsMsgHeader_Set(raw, h.first, h.second), NATS_OK);
        }
        XoMsg_ reply;
        bool serviceError = false;
        std::string text;
        ASSERT_EQ(xosys::micro::readReply(raw, &reply, &serviceError, &text), 0u);
        EXPECT_EQ(serviceError, c.error);
        EXPECT_EQ(text, c.errorText);
        EXPECT_EQ(field(reply, "Xo_Category"), c.category + std::string(1, '\0'));
        EXPECT_EQ(field(reply, "Xo_Type"), std::string(reinterpret_cast<const char*>(&c.type), 4));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.body()), reply.bodySize()),
                  c.body);
    }
}

}  // namespace
