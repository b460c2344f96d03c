// nats-requester: XoMQSender's request cycle written against libnats alone,
// the yardstick for our XoSys library. It resolves the service the way the
// library does, then sends the same request (same subject, no NATS headers,
// the same frame as payload) with natsConnection_RequestMsg, one request
// outstanding at a time, checks each reply like the program does, and prints
// the throughput of the loop.
#include <nats/nats.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "RequestFrame.h"

namespace {

const char kUsage[] =
    "usage: nats-requester --server <nats://host:port> --service <name>\n"
    "                      [--count <n>] [--timeout-ms <n>] [--reply-subscription]\n"
    "\n"
    "  --server              the router (NATS server)\n"
    "  --service             service to resolve and send to (as xomq-responder serves it)\n"
    "  --count               number of requests (default 10000)\n"
    "  --timeout-ms          reply time-out of every request (default 10000)\n"
    "  --reply-subscription  take replies from a synchronous subscription of our own\n"
    "                        (PublishRequest + NextMsg) instead of natsConnection_RequestMsg\n"
    "\n"
    "Prints the frame size, then \"nats-requester: <n> requests in <us> microseconds,\n"
    "<rate> messages/sec, <e> system errors\". Exit status: 0 done, 1 messaging\n"
    "failure or bad reply, 2 bad arguments.\n";

struct Options {
    std::string server;
    std::string service;
    long count = 10000;
    long timeoutMs = 10000;
    bool replySubscription = false;
};

bool parseCount(const char* text, long max, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

// -1 when the arguments are good, otherwise the exit status.
int parseArgs(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--reply-subscription") {
            o->replySubscription = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "nats-requester: %s needs a value\n\n%s", a.c_str(), kUsage);
            return 2;
        }
        const char* v = argv[++i];
        bool ok = true;
        if (a == "--server") {
            o->server = v;
        } else if (a == "--service") {
            o->service = v;
        } else if (a == "--count") {
            ok = parseCount(v, 1000000000L, &o->count);
        } else if (a == "--timeout-ms") {
            ok = parseCount(v, 3600000L, &o->timeoutMs);
        } else {
            std::fprintf(stderr, "nats-requester: unknown argument %s\n\n%s", a.c_str(), kUsage);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "nats-requester: invalid value of %s: %s\n", a.c_str(), v);
            return 2;
        }
    }
    if (o->server.empty() || o->service.empty()) {
        std::fprintf(stderr, "nats-requester: --server and --service are required\n\n%s", kUsage);
        return 2;
    }
    if (o->service.find_first_of(" \t.*>") != std::string::npos) {
        std::fprintf(stderr, "nats-requester: invalid service name %s\n", o->service.c_str());
        return 2;
    }
    return -1;
}

// A subject we may publish to: printable, no blanks or wildcards.
bool validAddress(const char* p, int len) {
    if (len <= 0 || len > 1024) {
        return false;
    }
    for (int i = 0; i < len; ++i) {
        if (p[i] <= 0x20 || p[i] >= 0x7f || p[i] == '*' || p[i] == '>') {
            return false;
        }
    }
    return true;
}

int64_t nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int fail(const char* what, natsStatus s) {
    std::fprintf(stderr, "nats-requester: %s: %s\n", what, natsStatus_GetText(s));
    return 1;
}

// Replies through our own synchronous subscription: reply subject
// "<prefix><n>" for request n; a reply to another number is late and dropped.
class ReplySubscription {
  public:
    ~ReplySubscription() { close(); }

    void close() {
        natsSubscription_Destroy(m_sub);
        m_sub = nullptr;
    }

    natsStatus open(natsConnection* nc, const std::string& id) {
        m_nc = nc;
        m_prefix = "_XO.c." + id + ".r.";
        const std::string wildcard = m_prefix + "*";
        natsStatus s = natsConnection_SubscribeSync(&m_sub, nc, wildcard.c_str());
        if (s == NATS_OK) {
            s = natsConnection_Flush(nc);
        }
        return s;
    }

    natsStatus request(const char* subject, const std::vector<uint8_t>& frame, int64_t timeoutMs,
                       natsMsg** reply) {
        const unsigned long long seq = ++m_seq;
        char replyTo[128];
        std::snprintf(replyTo, sizeof replyTo, "%s%llu", m_prefix.c_str(), seq);
        natsStatus s = natsConnection_PublishRequest(m_nc, subject, replyTo, frame.data(),
                                                     static_cast<int>(frame.size()));
        const int64_t deadline = nats_Now() + timeoutMs;
        while (s == NATS_OK) {
            const int64_t left = deadline - nats_Now();
            natsMsg* m = nullptr;
            s = natsSubscription_NextMsg(&m, m_sub, left > 0 ? left : 1);
            if (s != NATS_OK) {
                break;
            }
            if (std::strcmp(natsMsg_GetSubject(m), replyTo) == 0) {
                *reply = m;
                return NATS_OK;
            }
            natsMsg_Destroy(m);  // late reply to an earlier request
        }
        return s;
    }

  private:
    natsConnection* m_nc = nullptr;
    natsSubscription* m_sub = nullptr;
    std::string m_prefix;
    unsigned long long m_seq = 0;
};

int run(const Options& o) {
    natsOptions* opts = nullptr;
    natsConnection* nc = nullptr;
    // The connection is set up like our library's: no reconnect loop,
    // publishes leave at once.
    natsStatus s = natsOptions_Create(&opts);
    if (s == NATS_OK)
        s = natsOptions_SetURL(opts, o.server.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetName(opts, "nats-requester");
    if (s == NATS_OK)
        s = natsOptions_SetAllowReconnect(opts, false);
    if (s == NATS_OK)
        s = natsOptions_SetSendAsap(opts, true);
    if (s == NATS_OK)
        s = natsConnection_Connect(&nc, opts);
    natsOptions_Destroy(opts);
    if (s != NATS_OK) {
        return fail(("cannot connect to " + o.server).c_str(), s);
    }

    // Our own address, shaped like the library's: "_XO.c.<unique id>.in".
    char* unique = nullptr;
    s = natsInbox_Create(&unique);
    if (s != NATS_OK) {
        natsConnection_Destroy(nc);
        return fail("natsInbox_Create", s);
    }
    const char* dot = std::strrchr(unique, '.');
    const std::string id = dot != nullptr ? dot + 1 : unique;
    natsInbox_Destroy(unique);
    const std::string from = "_XO.c." + id + ".in";

    // Resolve: every instance answers "_XO.resolve.<service>" with its address.
    natsMsg* answer = nullptr;
    const std::string resolve = "_XO.resolve." + o.service;
    s = natsConnection_Request(&answer, nc, resolve.c_str(), nullptr, 0, o.timeoutMs);
    if (s != NATS_OK) {
        natsConnection_Destroy(nc);
        return fail(("no instance of " + o.service + " answered").c_str(), s);
    }
    if (!validAddress(natsMsg_GetData(answer), natsMsg_GetDataLength(answer))) {
        natsMsg_Destroy(answer);
        natsConnection_Destroy(nc);
        std::fprintf(stderr, "nats-requester: invalid address in the resolve answer\n");
        return 1;
    }
    const std::string address(natsMsg_GetData(answer),
                              static_cast<size_t>(natsMsg_GetDataLength(answer)));
    natsMsg_Destroy(answer);

    ReplySubscription own;
    if (o.replySubscription) {
        s = own.open(nc, id);
        if (s != NATS_OK) {
            natsConnection_Destroy(nc);
            return fail("reply subscription", s);
        }
    }

    std::vector<uint8_t> frame;
    xobench::encodeRequest(from, address, frame);
    std::printf("nats-requester: address %s, frame %zu bytes\n", address.c_str(), frame.size());

    xobench::ReplyInfo info;
    long systemErrors = 0;
    int status = 0;
    const int64_t start = nowMicros();
    for (long n = 0; n < o.count; ++n) {
        // Built anew for every request, as the program composes every request.
        if (!xobench::encodeRequest(from, address, frame)) {
            std::fprintf(stderr, "nats-requester: cannot encode the request\n");
            status = 1;
            break;
        }
        natsMsg* reply = nullptr;
        if (o.replySubscription) {
            s = own.request(address.c_str(), frame, o.timeoutMs, &reply);
        } else {
            natsMsg* request = nullptr;
            s = natsMsg_Create(&request, address.c_str(), nullptr,
                               reinterpret_cast<const char*>(frame.data()),
                               static_cast<int>(frame.size()));
            if (s == NATS_OK) {
                s = natsConnection_RequestMsg(&reply, nc, request, o.timeoutMs);
            }
            natsMsg_Destroy(request);
        }
        if (s != NATS_OK) {
            std::fprintf(stderr, "nats-requester: request %ld failed: %s\n", n + 1,
                         natsStatus_GetText(s));
            status = 1;
            break;
        }
        const int len = natsMsg_GetDataLength(reply);
        const bool ok =
            xobench::decodeReply(reinterpret_cast<const uint8_t*>(natsMsg_GetData(reply)),
                                 len > 0 ? static_cast<size_t>(len) : 0, &info);
        natsMsg_Destroy(reply);
        if (!ok) {
            std::fprintf(stderr, "nats-requester: reply %ld is malformed\n", n + 1);
            status = 1;
            break;
        }
        if (xobench::isSystemError(info)) {
            ++systemErrors;
        }
    }
    const int64_t micros = nowMicros() - start;
    if (status == 0) {
        const double rate =
            micros > 0 ? static_cast<double>(o.count) / static_cast<double>(micros) * 1000000.0
                       : 0.0;
        std::printf(
            "nats-requester: %ld requests in %lld microseconds, %.3f messages/sec, %ld system "
            "errors\n",
            o.count, static_cast<long long>(micros), rate, systemErrors);
    }
    std::fflush(stdout);
    own.close();
    natsConnection_Destroy(nc);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int parsed = parseArgs(argc, argv, &o);
    if (parsed >= 0) {
        return parsed;
    }
    if (nats_Open(-1) != NATS_OK) {
        std::fprintf(stderr, "nats-requester: the NATS client failed to start\n");
        return 1;
    }
    const int status = run(o);
    nats_CloseAndWait(2000);
    return status;
}
