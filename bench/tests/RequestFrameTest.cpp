// The plain requester's frames against our library's own encoder: the
// request must be byte for byte what the library sends for the program's
// request, and replies must be read as the library reads them.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "Composer.h"
#include "Message.h"
#include "RequestFrame.h"
#include "Wire.h"
#include "XoSysCodes.h"

namespace {

const char kFrom[] = "_XO.c.Q2bX9kLmP4rT7vW1yZ3nC6.in";
const char kTo[] = "_XO.svc.bench.H8jK2mN5pQ9sU3wY6zB4dF";

uint32_t compose(XoComposer_& c, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const uint32_t rc = c.compose(format, args);
    va_end(args);
    return rc;
}

void setText(XoMsg_& m, const char* name, const char* text) {
    ASSERT_EQ(m.setField(name, std::strlen(name), text, std::strlen(text) + 1), 0u);
}

// The request as the program builds it, encoded as the library sends it.
std::vector<uint8_t> libraryFrame(const char* from, const char* to) {
    XoMsg_ request;
    setText(request, "Xo_To", to);
    setText(request, "Xo_Category", "VORNA_FUTURES");
    const int32_t type = 6;
    EXPECT_EQ(request.setField("Xo_Type", 7, &type, sizeof type), 0u);
    XoComposer_ composer;
    EXPECT_EQ(compose(composer, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3"), 0u);
    EXPECT_EQ(request.setBody(composer.data(), composer.size()), 0u);
    std::vector<uint8_t> frame;
    EXPECT_EQ(xosys::wire::encode(request, from, frame), 0u);
    return frame;
}

std::vector<uint8_t> replyFrame(const char* category, const void* type, size_t typeSize,
                                const std::string& body) {
    XoMsg_ reply;
    if (category != nullptr) {
        setText(reply, "Xo_Category", category);
    }
    if (type != nullptr) {
        EXPECT_EQ(reply.setField("Xo_Type", 7, type, typeSize), 0u);
    }
    EXPECT_EQ(reply.setBody(body.data(), body.size()), 0u);
    std::vector<uint8_t> frame;
    EXPECT_EQ(xosys::wire::encode(reply, nullptr, frame), 0u);
    return frame;
}

TEST(RequestFrame, RequestIsByteForByteWhatTheLibrarySends) {
    std::vector<uint8_t> ours;
    ASSERT_TRUE(xobench::encodeRequest(kFrom, kTo, ours));
    EXPECT_EQ(ours, libraryFrame(kFrom, kTo));

    // Another address length moves every later offset: still identical.
    ASSERT_TRUE(xobench::encodeRequest("_XO.c.a.in", "_XO.svc.x.1", ours));
    EXPECT_EQ(ours, libraryFrame("_XO.c.a.in", "_XO.svc.x.1"));
    // And the frame reads back as the program's request.
    XoMsg_ decoded;
    ASSERT_EQ(xosys::wire::decode(ours.data(), ours.size(), decoded), 0u);
    EXPECT_EQ(decoded.fieldCount(), 4u);
    EXPECT_EQ(decoded.bodySize(), xobench::kBodySize);
}

TEST(RequestFrame, BodyIsTheComposerOutput) {
    XoComposer_ composer;
    ASSERT_EQ(compose(composer, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3"), 0u);
    uint8_t body[xobench::kBodySize];
    std::memset(body, 0xAA, sizeof body);  // every byte must be written
    xobench::composeRequestBody(body);
    ASSERT_EQ(composer.size(), sizeof body);
    EXPECT_EQ(std::memcmp(body, composer.data(), sizeof body), 0);
}

TEST(RequestFrame, EncodeRefusesNamesTheFrameCannotCarry) {
    std::vector<uint8_t> out;
    const std::string longName(256, 'n');
    const xobench::Property empty[] = {{"", "v", 1}};
    const xobench::Property tooLong[] = {{longName.c_str(), "v", 1}};
    EXPECT_FALSE(xobench::encodeFrame(empty, 1, nullptr, 0, out));
    EXPECT_FALSE(xobench::encodeFrame(tooLong, 1, nullptr, 0, out));
    const std::string longest(255, 'n');
    const xobench::Property ok[] = {{longest.c_str(), "v", 1}};
    EXPECT_TRUE(xobench::encodeFrame(ok, 1, nullptr, 0, out));
}

TEST(RequestFrame, ReplyCategoryTypeAndBodyAreRead) {
    const uint32_t one = 1;
    const std::vector<uint8_t> frame = replyFrame("Xo_Reply", &one, 4, std::string("b\0dy", 4));
    xobench::ReplyInfo info;
    ASSERT_TRUE(xobench::decodeReply(frame.data(), frame.size(), &info));
    EXPECT_EQ(info.category, "Xo_Reply");
    EXPECT_TRUE(info.hasType);
    EXPECT_EQ(info.type, 1u);
    EXPECT_EQ(std::string(info.body.begin(), info.body.end()), std::string("b\0dy", 4));
    EXPECT_FALSE(xobench::isSystemError(info));
}

TEST(RequestFrame, OnlyXoSystemWithTypeZeroIsASystemError) {
    const uint32_t zero = 0;
    const uint32_t two = 2;
    const uint32_t code = XOSYS_E_SERVICE_FAILED;
    const std::string body(reinterpret_cast<const char*>(&code), 4);
    xobench::ReplyInfo info;
    std::vector<uint8_t> f = replyFrame("Xo_System", &zero, 4, body);
    ASSERT_TRUE(xobench::decodeReply(f.data(), f.size(), &info));
    EXPECT_TRUE(xobench::isSystemError(info));
    f = replyFrame("Xo_System", &two, 4, body);
    ASSERT_TRUE(xobench::decodeReply(f.data(), f.size(), &info));
    EXPECT_FALSE(xobench::isSystemError(info));
    f = replyFrame("Xo_Reply", &zero, 4, body);
    ASSERT_TRUE(xobench::decodeReply(f.data(), f.size(), &info));
    EXPECT_FALSE(xobench::isSystemError(info));
    f = replyFrame("Xo_System", nullptr, 0, body);  // no type at all
    ASSERT_TRUE(xobench::decodeReply(f.data(), f.size(), &info));
    EXPECT_FALSE(xobench::isSystemError(info));
}

TEST(RequestFrame, MalformedRepliesAreRefused) {
    const uint32_t one = 1;
    const std::vector<uint8_t> good = replyFrame("Xo_Reply", &one, 4, "body");
    xobench::ReplyInfo info;
    // Every cut short of the whole frame.
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(xobench::decodeReply(good.data(), n, &info)) << "length " << n;
    }
    std::vector<uint8_t> bad = good;
    bad.push_back(0);  // a byte after the body
    EXPECT_FALSE(xobench::decodeReply(bad.data(), bad.size(), &info));
    bad = good;
    bad[3] = '2';  // another frame version
    EXPECT_FALSE(xobench::decodeReply(bad.data(), bad.size(), &info));
    EXPECT_FALSE(xobench::decodeReply(nullptr, 0, &info));

    const uint16_t shortType = 1;
    const std::vector<uint8_t> twoBytes = replyFrame("Xo_Reply", &shortType, 2, "");
    EXPECT_FALSE(xobench::decodeReply(twoBytes.data(), twoBytes.size(), &info));

    // Two categories: the first frame's property section twice.
    const xobench::Property twice[] = {{"Xo_Category", "a", 2}, {"Xo_Category", "b", 2}};
    std::vector<uint8_t> dup;
    ASSERT_TRUE(xobench::encodeFrame(twice, 2, nullptr, 0, dup));
    EXPECT_FALSE(xobench::decodeReply(dup.data(), dup.size(), &info));
}

}  // namespace
