// The programs of the comparison against a real router: the plain
// requester puts on the wire exactly what our library sends for the
// program's request, checks replies, and fails cleanly; the TCP ping-pong
// echoes and reports.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "Message.h"
#include "Wire.h"
#include "XoSys.h"

namespace {

using xotest::Millis;
using xotest::Process;

const char kService[] = "wire";
const char kAddress[] = "_XO.svc.wire.capture";

struct Captured {
    std::string subject;
    std::string reply;
    int headerKeys = 0;
    std::vector<uint8_t> data;
};

// A service inside the test: answers resolves with kAddress, records every
// request sent there and answers it with an ordinary reply.
class CaptureService {
  public:
    bool start(int port) {
        const std::string url = "nats://127.0.0.1:" + std::to_string(port);
        natsStatus s = natsConnection_ConnectTo(&m_nc, url.c_str());
        if (s == NATS_OK)
            s = natsConnection_Subscribe(&m_resolve, m_nc, "_XO.resolve.wire", onResolve, this);
        if (s == NATS_OK)
            s = natsConnection_Subscribe(&m_requests, m_nc, kAddress, onRequest, this);
        if (s == NATS_OK)
            s = natsConnection_Flush(m_nc);
        return s == NATS_OK;
    }
    void stop() {
        natsSubscription_Destroy(m_resolve);
        natsSubscription_Destroy(m_requests);
        natsConnection_Destroy(m_nc);
        m_resolve = m_requests = nullptr;
        m_nc = nullptr;
    }
    ~CaptureService() { stop(); }

    // The first n requests, once they arrived within timeoutMs.
    std::vector<Captured> take(size_t n, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mu);
        m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return m_seen.size() >= n; });
        return m_seen;
    }

  private:
    static void onResolve(natsConnection* nc, natsSubscription*, natsMsg* m, void*) {
        natsConnection_PublishString(nc, natsMsg_GetReply(m), kAddress);
        natsMsg_Destroy(m);
    }

    static void onRequest(natsConnection* nc, natsSubscription*, natsMsg* m, void* self) {
        CaptureService* c = static_cast<CaptureService*>(self);
        Captured got;
        got.subject = natsMsg_GetSubject(m);
        got.reply = natsMsg_GetReply(m) != nullptr ? natsMsg_GetReply(m) : "";
        const char** keys = nullptr;
        if (natsMsgHeader_Keys(m, &keys, &got.headerKeys) == NATS_OK) {
            free(static_cast<void*>(keys));
        } else {
            got.headerKeys = 0;
        }
        const uint8_t* data = reinterpret_cast<const uint8_t*>(natsMsg_GetData(m));
        got.data.assign(data, data + natsMsg_GetDataLength(m));
        XoMsg_ reply;
        const uint32_t type = 1;
        reply.setField("Xo_Category", 11, "Xo_Reply", 9);
        reply.setField("Xo_Type", 7, &type, 4);
        std::vector<uint8_t> frame;
        xosys::wire::encode(reply, nullptr, frame);
        natsConnection_Publish(nc, got.reply.c_str(), frame.data(), static_cast<int>(frame.size()));
        natsMsg_Destroy(m);
        std::lock_guard<std::mutex> lock(c->m_mu);
        c->m_seen.push_back(std::move(got));
        c->m_cv.notify_all();
    }

    natsConnection* m_nc = nullptr;
    natsSubscription* m_resolve = nullptr;
    natsSubscription* m_requests = nullptr;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::vector<Captured> m_seen;
};

std::string fromOf(const std::vector<uint8_t>& frame) {
    XoMsg_ m;
    if (xosys::wire::decode(frame.data(), frame.size(), m) != 0) {
        return "<malformed>";
    }
    const uint8_t* v = nullptr;
    size_t n = 0;
    return m.getField("Xo_From", 7, &v, &n) ? std::string(reinterpret_cast<const char*>(v), n)
                                            : "<absent>";
}

// The program's request through our library; the reply's category.
std::string sendLikeTheProgram(XoMQConnHandle conn, const char* address) {
    XoMsgHandle request = nullptr;
    XoMsgHandle reply = nullptr;
    XoComposerHandle composer = nullptr;
    const int32_t type = 6;
    uint64_t size = 0;
    const uint8_t* body = nullptr;
    const void* category = nullptr;
    std::string result = "<failed>";
    if (XoMsgCreateMessage(&request) == 0 && XoMsgSetFieldStr(request, "Xo_To", address) == 0 &&
        XoMsgSetFieldStr(request, "Xo_Category", "VORNA_FUTURES") == 0 &&
        XoMsgSetField(request, "Xo_Type", &type, 4) == 0 &&
        XoSysCreateBinaryComposer(&composer) == 0 &&
        XoSysCompose(composer, "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3") == 0 &&
        XoSysComposeGetSize(composer, &size) == 0 && XoSysComposeGetBuffer(composer, &body) == 0 &&
        XoMsgSetBody(request, body, size) == 0 && XoMQSendMsg(conn, request, &reply, 5000) == 0 &&
        XoMsgGetBinaryField(reply, "Xo_Category", &category, nullptr) == 0) {
        result = static_cast<const char*>(category);
    }
    XoMsgFreeMessage(reply);
    XoSysFreeComposer(composer);
    XoMsgFreeMessage(request);
    return result;
}

class WireMatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(xotest::natsServerPath().empty()) << "nats-server not found";
        xotest::NatsServer::Options options;
        options.startBound = Millis(5000);
        ASSERT_NO_THROW(router.emplace(dir, options));
        port = router->port();
    }
    void TearDown() override {
        XoMQFreeConnection(conn);
        XoMQCleanup();
        router.reset();
    }

    // The requester with its output and errors in <name>.out.
    static Process requester(const xotest::TempDir& dir, const std::string& name,
                             std::vector<std::string> args) {
        args.insert(args.begin(), XOBENCH_REQUESTER);
        return Process::combined(dir, name, std::move(args));
    }

    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port); }

    xotest::TempDir dir{"xomq-benchtest"};
    std::optional<xotest::NatsServer> router;
    int port = 0;
    XoMQConnHandle conn = nullptr;
};

TEST_F(WireMatch, RequesterSendsWhatOurLibrarySends) {
    ASSERT_EQ(XoMQStartup(), 0u);
    CaptureService capture;
    ASSERT_TRUE(capture.start(port));

    ASSERT_EQ(XoMQCreateConnection(&conn), 0u);
    const std::string cs = "host = 127.0.0.1; port = " + std::to_string(port) + "; timeout = 2000";
    ASSERT_EQ(XoMQConnectEx2(conn, cs.c_str(), nullptr), 0u);
    char address[1025];
    uint64_t size = sizeof address;
    ASSERT_EQ(XoMQServiceResolve(conn, kService, address, &size, nullptr, 0), 0u);
    ASSERT_STREQ(address, kAddress);
    ASSERT_EQ(sendLikeTheProgram(conn, address), "Xo_Reply");

    Process req;
    ASSERT_NO_THROW(req = requester(dir, "requester",
                                    {"--server", url(), "--service", kService, "--count", "3"}));
    ASSERT_EQ(req.waitExitCode(Millis(20000)), 0) << req.out();
    EXPECT_NE(req.out().find("3 requests in"), std::string::npos);

    const std::vector<Captured> seen = capture.take(4, 5000);
    capture.stop();
    ASSERT_EQ(seen.size(), 4u);
    const Captured& library = seen[0];
    for (const Captured& c : seen) {
        EXPECT_EQ(c.subject, kAddress);
        EXPECT_EQ(c.headerKeys, 0) << "the request carries NATS headers";
    }
    EXPECT_EQ(library.reply.rfind("_XO.c.", 0), 0u) << library.reply;
    // The only difference: each sender's own address, of the same form.
    const std::string libFrom = fromOf(library.data);
    const std::string reqFrom = fromOf(seen[1].data);
    const std::regex form("_XO\\.c\\.[A-Za-z0-9]+\\.in");
    for (const std::string& from : {libFrom, reqFrom}) {
        ASSERT_FALSE(from.empty());
        EXPECT_EQ(from.back(), '\0') << "stored as text with its NUL";
        EXPECT_TRUE(std::regex_match(from.substr(0, from.size() - 1), form)) << from;
    }
    ASSERT_EQ(libFrom.size(), reqFrom.size());
    std::vector<uint8_t> expected = library.data;
    auto at = std::search(expected.begin(), expected.end(), libFrom.begin(), libFrom.end());
    ASSERT_NE(at, expected.end());
    std::copy(reqFrom.begin(), reqFrom.end(), at);
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].data, expected) << "request " << i;
    }
}

TEST_F(WireMatch, RequesterCountsSystemErrorReplies) {
    std::optional<xotest::Responder> responder;
    ASSERT_NO_THROW(responder.emplace(dir, "127.0.0.1:" + std::to_string(port), "errs",
                                      std::vector<std::string>{"--error-every", "2"},
                                      "responder-errs"));
    Process req;
    ASSERT_NO_THROW(req = requester(dir, "requester",
                                    {"--server", url(), "--service", "errs", "--count", "10"}));
    ASSERT_EQ(req.waitExitCode(Millis(20000)), 0) << req.out();
    EXPECT_NE(req.out().find("10 requests in"), std::string::npos);
    EXPECT_NE(req.out().find(", 5 system errors"), std::string::npos) << req.out();
}

TEST_F(WireMatch, RequesterFailsCleanly) {
    Process req;
    // Nobody serves the name: the resolve fails within its time-out.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NO_THROW(
        req = requester(dir, "none",
                        {"--server", url(), "--service", "nobody", "--timeout-ms", "300"}));
    EXPECT_EQ(req.waitExitCode(Millis(10000)), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(req.out().find("no instance of nobody"), std::string::npos);

    // No router there.
    ASSERT_NO_THROW(
        req =
            requester(dir, "norouter",
                      {"--server", "nats://127.0.0.1:" + std::to_string(xotest::freeLoopbackPort()),
                       "--service", "x"}));
    EXPECT_EQ(req.waitExitCode(Millis(10000)), 1);
    EXPECT_NE(req.out().find("cannot connect"), std::string::npos);

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--service", "x"},
          {"--server", url(), "--service", "a.b"},
          {"--server", url(), "--service", "x", "--count", "0"},
          {"--server", url(), "--service", "x", "--count"}}) {
        ASSERT_NO_THROW(req = requester(dir, "bad", bad));
        EXPECT_EQ(req.waitExitCode(Millis(5000)), 2) << req.out();
    }
}

TEST(TcpPingPong, EchoesAndReportsTheRate) {
    xotest::TempDir dir{"xomq-benchtest"};
    Process pingpong;
    ASSERT_NO_THROW(pingpong = Process::combined(
                        dir, "pp", {XOBENCH_PINGPONG, "--size", "157", "--count", "300"}));
    ASSERT_EQ(pingpong.waitExitCode(Millis(20000)), 0) << pingpong.out();
    const std::string out = pingpong.out();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m,
                                  std::regex("300 round trips in ([0-9]+) microseconds, "
                                             "([0-9.]+) messages/sec, 157 bytes")))
        << out;
    EXPECT_GT(std::stod(m[2].str()), 0.0);

    ASSERT_NO_THROW(pingpong = Process::combined(dir, "bad", {XOBENCH_PINGPONG, "--size", "-1"}));
    EXPECT_EQ(pingpong.waitExitCode(Millis(5000)), 2);
}

}  // namespace
