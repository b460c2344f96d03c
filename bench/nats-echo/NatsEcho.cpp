// nats-echo: the hand-written libnats responder XoMQSender's path is compared
// with. It serves a service the way xomq-responder does (the same resolve and
// service subjects, the same queue group) and answers every request with a
// reply frame of the size xomq-responder's has ("Xo_Reply", type 1, the
// program's 42-byte body), built once. Nothing else: no decoding, no options
// beyond what a careful libnats user would set (replies leave at once).
//
//   nats-echo --server <nats://host:port> --service <name> [--sync]
//     --sync  take requests from a synchronous subscription on the main
//             thread (NextMsg) instead of libnats's delivery thread
//             (a message callback, the default)
#include <nats/nats.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "RequestFrame.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

struct Service {
    natsConnection* nc = nullptr;
    std::string address;
    std::vector<uint8_t> reply;
    std::atomic<uint64_t> answered{0};
};

void answer(natsConnection* nc, natsMsg* m, const void* data, int size) {
    const char* replyTo = natsMsg_GetReply(m);
    if (replyTo != nullptr && replyTo[0] != '\0') {
        natsConnection_Publish(nc, replyTo, data, size);
    }
    natsMsg_Destroy(m);
}

void onRequest(natsConnection* nc, natsSubscription*, natsMsg* m, void* closure) {
    Service* s = static_cast<Service*>(closure);
    answer(nc, m, s->reply.data(), static_cast<int>(s->reply.size()));
    ++s->answered;
}

void onResolve(natsConnection* nc, natsSubscription*, natsMsg* m, void* closure) {
    const Service* s = static_cast<const Service*>(closure);
    answer(nc, m, s->address.data(), static_cast<int>(s->address.size()));
}

}  // namespace

int main(int argc, char** argv) {
    std::string server;
    std::string service;
    bool sync = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--sync") {
            sync = true;
        } else if ((a == "--server" || a == "--service") && i + 1 < argc) {
            (a == "--server" ? server : service) = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: nats-echo --server <nats://host:port> --service <name> "
                         "[--sync]\n");
            return 2;
        }
    }
    if (server.empty() || service.empty() || service.find_first_of(" \t.*>") != std::string::npos) {
        std::fprintf(stderr, "nats-echo: --server and a plain --service name are required\n");
        return 2;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    Service s;
    s.address = "_XO.svc." + service;
    uint8_t body[xobench::kBodySize];
    xobench::composeRequestBody(body);
    const char category[] = "Xo_Reply";
    const uint32_t type = 1;
    const xobench::Property props[] = {{"Xo_Category", category, sizeof category},
                                       {"Xo_Type", &type, sizeof type}};
    xobench::encodeFrame(props, 2, body, sizeof body, s.reply);

    natsOptions* opts = nullptr;
    natsStatus st = nats_Open(-1);
    if (st == NATS_OK)
        st = natsOptions_Create(&opts);
    if (st == NATS_OK)
        st = natsOptions_SetURL(opts, server.c_str());
    if (st == NATS_OK)
        st = natsOptions_SetName(opts, "nats-echo");
    if (st == NATS_OK)
        st = natsOptions_SetAllowReconnect(opts, false);
    if (st == NATS_OK)
        st = natsOptions_SetSendAsap(opts, true);
    if (st == NATS_OK)
        st = natsConnection_Connect(&s.nc, opts);
    natsOptions_Destroy(opts);
    natsSubscription* requests = nullptr;
    natsSubscription* resolves = nullptr;
    const std::string resolve = "_XO.resolve." + service;
    if (st == NATS_OK) {
        st = sync ? natsConnection_QueueSubscribeSync(&requests, s.nc, s.address.c_str(), "xo")
                  : natsConnection_QueueSubscribe(&requests, s.nc, s.address.c_str(), "xo",
                                                  onRequest, &s);
    }
    if (st == NATS_OK)
        st = natsConnection_QueueSubscribe(&resolves, s.nc, resolve.c_str(), "xo", onResolve, &s);
    if (st == NATS_OK)
        st = natsConnection_FlushTimeout(s.nc, 5000);
    if (st != NATS_OK) {
        std::fprintf(stderr, "nats-echo: cannot serve at %s: %s\n", server.c_str(),
                     natsStatus_GetText(st));
        natsSubscription_Destroy(requests);
        natsSubscription_Destroy(resolves);
        natsConnection_Destroy(s.nc);
        nats_CloseAndWait(2000);
        return 1;
    }
    std::puts("nats-echo: ready");
    std::fflush(stdout);

    int status = 0;
    while (g_stop == 0 && !natsConnection_IsClosed(s.nc)) {
        if (!sync) {
            nats_Sleep(50);
            continue;
        }
        natsMsg* m = nullptr;
        st = natsSubscription_NextMsg(&m, requests, 50);
        if (st == NATS_OK) {
            answer(s.nc, m, s.reply.data(), static_cast<int>(s.reply.size()));
            ++s.answered;
        } else if (st != NATS_TIMEOUT) {
            status = 1;
            break;
        }
    }
    if (natsConnection_IsClosed(s.nc)) {
        status = 1;
    }
    std::printf("nats-echo: answered %llu requests\n",
                static_cast<unsigned long long>(s.answered.load()));
    std::fflush(stdout);
    natsSubscription_Destroy(requests);
    natsSubscription_Destroy(resolves);
    natsConnection_Destroy(s.nc);
    nats_CloseAndWait(2000);
    return status;
}
