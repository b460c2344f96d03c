// xomq-responder: a service for XoMQSender runs and tests. It registers a
// service name with the router (answers resolve requests with the service's
// address) and answers every request with a reply carrying a category, a
// type and the request's body. Any number of instances may serve one name:
// they share its requests through a queue group. A plain NATS request (no
// XoSys frame) gets its payload back. It is also a NATS micro service
// (MicroService): NATS's tools and any client's service API find it under
// the service name mapped into the micro alphabet, with its statistics.
#include <nats/nats.h>
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConnectString.h"
#include "Message.h"
#include "MicroMessage.h"
#include "MicroService.h"
#include "NatsLink.h"
#include "RouterFlags.h"
#include "Subjects.h"
#include "Wire.h"
#include "XoSysCodes.h"

namespace {

const char kUsage[] =
    "usage: xomq-responder --server <routers> --service <name>\n"
    "                      [--user <name>] [--password <text>] [--nkey-seed <file>]\n"
    "                      [--creds <file>] [--tls-ca <file>] [--tls-cert <file>\n"
    "                      --tls-key <file>] [--delay-ms <n>]\n"
    "                      [--error-every <n> --error-code <c>] [--unsolicited-every <n>]\n"
    "                      [--limit <n>] [--category <text>] [--type <u32>]\n"
    "                      [--spin-us <n>]\n"
    "\n"
    "  --server            the router (NATS server) to connect to: host:port,\n"
    "                      nats://host:port or tls://host:port; several separated by\n"
    "                      commas are tried in order, and the responder then\n"
    "                      reconnects to another one (or one its cluster announces)\n"
    "                      when its router goes away\n"
    "  --service           service name to register; clients resolve it by this name.\n"
    "                      It is also the NATS micro service of that name mapped into\n"
    "                      A-Z a-z 0-9 - _ (\"_\" as \"__\", any other byte as \"_\" and\n"
    "                      two hex digits), with one endpoint \"requests\" at the\n"
    "                      service's address in the queue group \"xo\"\n"
    "  --user              user name; --password is then its password\n"
    "  --password          token the router requires, or the password of --user\n"
    "  --nkey-seed         file holding the NKey seed to sign in with\n"
    "  --creds             credentials file (user JWT and NKey seed)\n"
    "  --tls-ca            CA certificates the router's certificate must chain to\n"
    "  --tls-cert          client certificate (with --tls-key, its private key)\n"
    "  --delay-ms          wait this long before answering each request (default 0)\n"
    "  --error-every       answer every n-th request with a system error reply\n"
    "                      (category \"Xo_System\", type 0, body the 4-byte code), and\n"
    "                      with the headers Nats-Service-Error-Code (the code) and\n"
    "                      Nats-Service-Error\n"
    "  --error-code        code of those replies (default 24581, 0x6005)\n"
    "  --unsolicited-every also send a message to the requester's own address every\n"
    "                      n-th request, before the reply (category \"Xo_Unsolicited\",\n"
    "                      type the request's number, body \"unsolicited <number>\")\n"
    "  --limit             exit after answering n requests (default 0: no limit)\n"
    "  --category          category of ordinary replies (default \"Xo_Reply\")\n"
    "  --type              type of ordinary replies (default 1)\n"
    "  --spin-us           poll for the next request without sleeping for up to n\n"
    "                      microseconds (0 to 100000) before sleeping: less latency,\n"
    "                      a CPU kept busy while requests come (default 0: sleep at once)\n"
    "\n"
    "A plain NATS request (a payload that is no XoSys frame) is answered with its\n"
    "payload (or, as error reply, with the two headers and no payload).\n"
    "Prints \"xomq-responder: ready\" once it listens, and a summary when it stops\n"
    "(SIGINT, SIGTERM or the limit). Exit status: 0 done, 1 router trouble, 2 bad flags.\n";

struct Options {
    xosys::ConnectParams router;
    std::string service;
    uint32_t delayMs = 0;
    uint32_t errorEvery = 0;
    uint32_t errorCode = XOSYS_E_SERVICE_FAILED;
    uint32_t unsolicitedEvery = 0;
    uint64_t limit = 0;
    std::string category = "Xo_Reply";
    uint32_t type = 1;
};

volatile std::sig_atomic_t g_stop = 0;
pthread_t g_mainThread;

// A spinning wait holds signals back between its polls, so the kernel may
// hand one to another thread; passed on, it ends the main thread's wait.
void onSignal(int sig) {
    g_stop = 1;
    if (!pthread_equal(pthread_self(), g_mainThread)) {
        pthread_kill(g_mainThread, sig);
    }
}

bool parseU32(const char* text, uint32_t* value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    uint64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > UINT32_MAX) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

int usageError(const char* what, const char* arg) {
    std::fprintf(stderr, "xomq-responder: %s%s%s\n\n%s", what, arg != nullptr ? ": " : "",
                 arg != nullptr ? arg : "", kUsage);
    return 2;
}

// Returns -1 when the options are good, otherwise the exit status.
int parseOptions(int argc, char** argv, Options* o) {
    xotools::RouterFlags routerFlags;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            return usageError(
                flag.compare(0, 2, "--") == 0 ? "missing value of" : "unknown argument", argv[i]);
        }
        const char* value = argv[++i];
        bool ok = true;
        uint32_t n = 0;
        if (routerFlags.take(flag, value)) {
            continue;
        }
        if (flag == "--service") {
            o->service = value;
        } else if (flag == "--delay-ms") {
            ok = parseU32(value, &o->delayMs);
        } else if (flag == "--error-every") {
            ok = parseU32(value, &o->errorEvery) && o->errorEvery > 0;
        } else if (flag == "--error-code") {
            ok = parseU32(value, &o->errorCode);
        } else if (flag == "--unsolicited-every") {
            ok = parseU32(value, &o->unsolicitedEvery) && o->unsolicitedEvery > 0;
        } else if (flag == "--limit") {
            ok = parseU32(value, &n) && n > 0;
            o->limit = n;
        } else if (flag == "--category") {
            o->category = value;
            ok = !o->category.empty();
        } else if (flag == "--type") {
            ok = parseU32(value, &o->type);
        } else if (flag == "--spin-us") {
            ok = parseU32(value, &n) && n <= xosys::ConnectParams::kMaxSpinUs;
            o->router.spinUs = static_cast<int32_t>(n);
        } else {
            return usageError("unknown argument", argv[i - 1]);
        }
        if (!ok) {
            return usageError(("invalid value of " + flag).c_str(), value);
        }
    }
    std::string error;
    if (!routerFlags.finish(&o->router, &error)) {
        return usageError(error.c_str(), nullptr);
    }
    if (o->service.empty()) {
        return usageError("--service is required", nullptr);
    }
    if (!xosys::validServiceName(o->service.c_str())) {
        return usageError("--service must be 1 to 255 bytes long", nullptr);
    }
    return -1;
}

struct Counters {
    uint64_t requests = 0;
    uint64_t answered = 0;
    uint64_t errors = 0;
    uint64_t unsolicited = 0;
};

// Encodes msg and publishes it to subject at once.
// watch reads what arrived first: a router that died while the request was
// being answered is noticed, and libnats keeps the message for the next
// router of the list instead of writing it into a dead socket.
bool publish(xosys::NatsLink& link, bool watch, const char* subject, const XoMsg_& msg,
             std::vector<uint8_t>& frame) {
    if (xosys::wire::encode(msg, nullptr, frame) != XOSYS_OK) {
        return false;
    }
    if (watch) {
        link.catchUp();
    }
    return natsConnection_Publish(link.nc(), subject, frame.data(),
                                  static_cast<int>(frame.size())) == NATS_OK;
}

// Publishes data to subject with the service error headers: an error reply
// any NATS client recognises.
bool publishError(xosys::NatsLink& link, bool watch, const char* subject, const void* data,
                  size_t size, uint32_t code, const char* text) {
    natsMsg* m = nullptr;
    if (natsMsg_Create(&m, subject, nullptr, static_cast<const char*>(data),
                       static_cast<int>(size)) != NATS_OK) {
        return false;
    }
    const xosys::HeldMsg owned = link.hold(m);
    if (xosys::micro::setErrorHeaders(m, code, text) != NATS_OK) {
        return false;
    }
    if (watch) {
        link.catchUp();
    }
    return natsConnection_PublishMsg(link.nc(), m) == NATS_OK;
}

void setText(XoMsg_& msg, const char* name, const std::string& text) {
    msg.setField(name, std::strlen(name), text.c_str(), text.size() + 1);
}

void setU32(XoMsg_& msg, const char* name, uint32_t v) {
    msg.setField(name, std::strlen(name), &v, sizeof v);
}

void setCodeBody(XoMsg_& msg, uint32_t code) {
    const uint8_t body[4] = {static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                             static_cast<uint8_t>(code >> 16), static_cast<uint8_t>(code >> 24)};
    msg.setBody(body, sizeof body);
}

const char kMalformedText[] = "xomq-responder: malformed request frame";

// A plain NATS request: its payload back, or an error reply.
bool answerPlain(xosys::NatsLink& link, bool watch, const natsMsg* m, bool error, const Options& o,
                 const std::string& errorText) {
    const char* replyTo = natsMsg_GetReply(m);
    if (error) {
        return publishError(link, watch, replyTo, nullptr, 0, o.errorCode, errorText.c_str());
    }
    if (watch) {
        link.catchUp();
    }
    return natsConnection_Publish(link.nc(), replyTo, natsMsg_GetData(m),
                                  natsMsg_GetDataLength(m)) == NATS_OK;
}

// Answers one request; false when the connection failed. *errorText is set
// for an error reply.
bool answer(xosys::NatsLink& link, bool watch, const natsMsg* m, const Options& o, Counters& c,
            std::vector<uint8_t>& frame, const std::string& errorEveryText,
            const char** errorText) {
    *errorText = nullptr;
    const char* replyTo = natsMsg_GetReply(m);
    if (replyTo == nullptr || replyTo[0] == '\0') {
        return true;  // not a request: nothing to answer
    }
    const uint64_t number = ++c.requests;
    if (o.delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.delayMs));
    }
    const bool errorTurn = o.errorEvery != 0 && number % o.errorEvery == 0;
    const int len = natsMsg_GetDataLength(m);
    const uint8_t* data = reinterpret_cast<const uint8_t*>(natsMsg_GetData(m));
    const size_t size = len > 0 ? static_cast<size_t>(len) : 0;
    if (!xosys::wire::isFrame(data, size)) {
        if (!answerPlain(link, watch, m, errorTurn, o, errorEveryText)) {
            return false;
        }
        if (errorTurn) {
            ++c.errors;
            *errorText = errorEveryText.c_str();
        }
        ++c.answered;
        return true;
    }
    XoMsg_ request;
    const bool decoded = xosys::wire::decode(data, size, request) == XOSYS_OK;

    if (decoded && o.unsolicitedEvery != 0 && number % o.unsolicitedEvery == 0) {
        const uint8_t* from = nullptr;
        size_t fromSize = 0;
        if (request.getField(xosys::wire::kFromField, std::strlen(xosys::wire::kFromField), &from,
                             &fromSize) &&
            fromSize > 1 && from[fromSize - 1] == 0 &&
            xosys::validAddress(reinterpret_cast<const char*>(from), fromSize - 1)) {
            XoMsg_ note;
            setText(note, "Xo_Category", "Xo_Unsolicited");
            setU32(note, "Xo_Type", static_cast<uint32_t>(number));
            const std::string body = "unsolicited " + std::to_string(number);
            note.setBody(body.data(), body.size());
            if (!publish(link, watch, reinterpret_cast<const char*>(from), note, frame)) {
                return false;
            }
            ++c.unsolicited;
        }
    }

    XoMsg_ reply;
    if (!decoded || errorTurn) {
        const uint32_t code = decoded ? o.errorCode : XOSYS_E_MALFORMED_MESSAGE;
        setText(reply, "Xo_Category", "Xo_System");
        setU32(reply, "Xo_Type", 0);
        setCodeBody(reply, code);
        *errorText = decoded ? errorEveryText.c_str() : kMalformedText;
        if (xosys::wire::encode(reply, nullptr, frame) != XOSYS_OK ||
            !publishError(link, watch, replyTo, frame.data(), frame.size(), code, *errorText)) {
            return false;
        }
        ++c.errors;
    } else {
        setText(reply, "Xo_Category", o.category);
        setU32(reply, "Xo_Type", o.type);
        reply.setBody(request.body(), request.bodySize());
        if (!publish(link, watch, replyTo, reply, frame)) {
            return false;
        }
    }
    ++c.answered;
    return true;
}

void printLinkEvent(const char* text) {
    std::fprintf(stderr, "xomq-responder: %s\n", text);
}

// Confirms the subscriptions with a message to ourselves: once it is back,
// the router knows them, and the responder may say it is ready. A
// subscription of its own receives it on one of our subjects, so that a
// router user allowed only "_XO.>" may run the responder.
xosys::Arrival confirmSubscriptions(xosys::NatsLink& link) {
    natsSubscription* probe = nullptr;
    const natsStatus s = link.subscribe(link.probeSubject(), nullptr, &probe);
    if (s != NATS_OK) {
        return xosys::Arrival::of(s);
    }
    const int64_t deadline = nats_Now() + 5000;
    xosys::Arrival a;
    // A signal ends the wait; the caller sees g_stop and stops.
    do {
        a = link.confirm(probe, deadline);
    } while (a.is(xosys::Arrival::Kind::kInterrupted) && g_stop == 0);
    link.unsubscribe(probe);
    return a;
}

// The responder as a NATS micro service: one endpoint, the service's
// address in our queue group.
xosys::MicroService::Config microConfig(const std::string& service, const std::string& address) {
    xosys::MicroService::Config c;
    c.name = xosys::microName(service);
    c.version = XOMQ_VERSION;
    c.description = "xomq-responder: answers the requests of XoSys service '" + service + "'";
    c.metadata["xo_service"] = service;
    c.endpoints.push_back({"requests", address, xosys::kServiceQueue, {}});
    return c;
}

// Connects, serves until stopped and returns the exit status; the link is
// taken down on the way out.
int serve(Options& o) {
    const std::string url = o.router.url();
    // The answering thread reads the socket itself and writes each reply at
    // once (the library's CallerIo): a request reaches it without a hand-over
    // from libnats's reader thread, and a reply leaves without waking a
    // flusher thread.
    xosys::NatsLink link;
    std::string reason;
    if (link.connect(o.router, printLinkEvent, &reason) != XOSYS_OK) {
        std::fprintf(stderr, "xomq-responder: cannot connect to %s: %s\n", url.c_str(),
                     reason.c_str());
        return 1;
    }

    // Every instance subscribes to the service's address in one queue
    // group, so each request goes to one of them; libnats subscribes again
    // after a reconnect.
    const std::string address = xosys::serviceAddress(o.service);
    natsSubscription* requests = nullptr;
    natsSubscription* resolves = nullptr;
    natsStatus s = link.subscribe(address, xosys::kServiceQueue, &requests);
    if (s == NATS_OK)
        s = link.subscribe(xosys::resolveSubject(o.service), xosys::kServiceQueue, &resolves);
    // The service protocol's subscriptions come after these two: a wait
    // looks at the requests first.
    xosys::MicroService micro(microConfig(o.service, address));
    std::vector<natsSubscription*> subs = {requests, resolves};
    if (s == NATS_OK)
        s = micro.subscribe(link, &subs);
    // This thread is the connection's only reader from here on: it holds
    // the call lock for good, so the idle service is never needed.
    std::lock_guard<std::mutex> reader(link.callLock());
    const xosys::Arrival ready = s == NATS_OK ? confirmSubscriptions(link) : xosys::Arrival::of(s);
    int status = 0;
    if (!ready.is(xosys::Arrival::Kind::kMessage) && g_stop == 0) {
        std::fprintf(stderr, "xomq-responder: cannot subscribe at %s: %s\n", url.c_str(),
                     natsStatus_GetText(ready.status));
        status = 1;
    } else if (ready.is(xosys::Arrival::Kind::kMessage)) {
        std::fprintf(stderr, "xomq-responder: service '%s' at address %s\n", o.service.c_str(),
                     address.c_str());
        std::fprintf(stderr, "xomq-responder: NATS service '%s', instance %s\n",
                     micro.config().name.c_str(), micro.id().c_str());
        std::fputs("xomq-responder: ready\n", stdout);
        std::fflush(stdout);
    }

    Counters c;
    std::vector<uint8_t> frame;
    const std::string errorEveryText =
        "xomq-responder: error reply (--error-every " + std::to_string(o.errorEvery) + ")";
    // With a list of routers, every write first looks whether the router
    // went away (a poll without waiting).
    const bool watch = o.router.reconnectAttempts > 0;
    while (status == 0 && g_stop == 0 && (o.limit == 0 || c.answered < o.limit)) {
        // A signal ends the wait at once; the bound only keeps the loop
        // turning should one come just before the wait begins.
        const xosys::Arrival a = link.next(subs.data(), subs.size(), nats_Now() + 250);
        if (a.is(xosys::Arrival::Kind::kMessage) && a.from == 1) {
            // A resolve request: answer it with our address.
            const char* replyTo = natsMsg_GetReply(a.msg.get());
            if (replyTo != nullptr && replyTo[0] != '\0') {
                if (watch) {
                    link.catchUp();
                }
                natsConnection_Publish(link.nc(), replyTo, address.data(),
                                       static_cast<int>(address.size()));
                link.flush();
            }
        } else if (a.is(xosys::Arrival::Kind::kMessage) && a.from > 1) {
            micro.answer(link, a.msg.get());
            link.flush();
        } else if (a.is(xosys::Arrival::Kind::kMessage)) {
            // Processing time: from taking the request to its reply leaving.
            const auto begin = std::chrono::steady_clock::now();
            const uint64_t before = c.answered;
            const char* errorText = nullptr;
            const bool ok =
                answer(link, watch, a.msg.get(), o, c, frame, errorEveryText, &errorText);
            link.flush();
            if (c.answered != before) {
                micro.count(
                    0,
                    static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::steady_clock::now() - begin)
                                              .count()),
                    errorText);
            }
            if (!ok && watch && !natsConnection_IsClosed(link.nc())) {
                // The router went away while the reply was written; libnats
                // reconnects, and this one reply is lost with the router.
                std::fprintf(stderr, "xomq-responder: a reply was lost with the router\n");
            } else if (!ok) {
                std::fprintf(stderr, "xomq-responder: sending failed: connection lost\n");
                status = 1;
            }
        } else if (a.is(xosys::Arrival::Kind::kInterrupted)) {
            continue;  // a signal: the loop's test decides
        } else if (!a.is(xosys::Arrival::Kind::kTimedOut) && a.status != NATS_SLOW_CONSUMER) {
            std::fprintf(stderr, "xomq-responder: connection to the router lost: %s\n",
                         natsStatus_GetText(a.status));
            status = 1;
        }
    }

    link.flush();
    std::printf("xomq-responder: answered %llu requests, %llu system errors, %llu unsolicited\n",
                static_cast<unsigned long long>(c.answered),
                static_cast<unsigned long long>(c.errors),
                static_cast<unsigned long long>(c.unsolicited));
    std::fflush(stdout);
    return status;
}

int run(Options& o) {
    if (nats_Open(-1) != NATS_OK) {
        std::fprintf(stderr, "xomq-responder: the NATS client failed to start\n");
        return 1;
    }
    o.router.appname = "xomq-responder " + o.service;
    const int status = serve(o);
    nats_CloseAndWait(2000);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = parseOptions(argc, argv, &options);
    if (parsed >= 0) {
        return parsed;
    }
    g_mainThread = pthread_self();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    return run(options);
}
