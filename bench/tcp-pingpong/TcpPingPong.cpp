// tcp-pingpong: the floor of a brokered round trip. Two processes on
// loopback TCP pass a payload of the given size back and forth, one message
// outstanding at a time; the parent times the round trips. A request through
// a router crosses at least two such hops, so no path can beat this rate.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: tcp-pingpong [--size <bytes>] [--count <n>]\n"
    "\n"
    "  --size   payload bytes per message, both ways (default 128)\n"
    "  --count  round trips to time (default 10000)\n"
    "\n"
    "Forks an echo process, connects to it over 127.0.0.1 and prints\n"
    "\"tcp-pingpong: <n> round trips in <us> microseconds, <rate> messages/sec\".\n"
    "Exit status: 0 done, 1 socket failure, 2 bad arguments.\n";

bool parsePositive(const char* text, long max, long* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool sendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool recvAll(int fd, char* p, size_t n) {
    while (n > 0) {
        const ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void noDelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The echo side: sends back every message until the peer closes.
int echo(int port, size_t size) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return 1;
    }
    noDelay(fd);
    std::vector<char> buf(size);
    while (recvAll(fd, buf.data(), size)) {
        if (!sendAll(fd, buf.data(), size)) {
            break;
        }
    }
    close(fd);
    return 0;
}

int64_t nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int fail(const char* what) {
    std::fprintf(stderr, "tcp-pingpong: %s: %s\n", what, std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    long size = 128;
    long count = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        bool ok = i + 1 < argc;
        if (ok && a == "--size") {
            ok = parsePositive(argv[++i], 1L << 20, &size);
        } else if (ok && a == "--count") {
            ok = parsePositive(argv[++i], 1000000000L, &count);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "tcp-pingpong: bad argument %s\n\n%s", a.c_str(), kUsage);
            return 2;
        }
    }

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return fail("cannot listen on 127.0.0.1");
    }
    const int port = ntohs(addr.sin_port);
    // Never wait forever for an echo process that could not connect.
    timeval acceptWait{};
    acceptWait.tv_sec = 10;
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &acceptWait, sizeof acceptWait);

    const pid_t child = fork();
    if (child < 0) {
        return fail("fork");
    }
    if (child == 0) {
        close(listener);
        _exit(echo(port, static_cast<size_t>(size)));
    }

    int status = 0;
    const int fd = accept(listener, nullptr, nullptr);
    close(listener);
    if (fd < 0) {
        status = fail("accept");
    } else {
        noDelay(fd);
        std::vector<char> out(static_cast<size_t>(size), 'x');
        std::vector<char> in(static_cast<size_t>(size));
        // A few untimed round trips first, as every compared path has had.
        bool ok = true;
        for (int i = 0; ok && i < 100; ++i) {
            ok = sendAll(fd, out.data(), out.size()) && recvAll(fd, in.data(), in.size());
        }
        const int64_t start = nowMicros();
        for (long n = 0; ok && n < count; ++n) {
            out[0] = static_cast<char>(n);
            ok = sendAll(fd, out.data(), out.size()) && recvAll(fd, in.data(), in.size()) &&
                 in[0] == out[0];
        }
        const int64_t micros = nowMicros() - start;
        if (!ok) {
            status = fail("round trip failed");
        } else {
            const double rate =
                micros > 0 ? static_cast<double>(count) / static_cast<double>(micros) * 1e6 : 0.0;
            std::printf(
                "tcp-pingpong: %ld round trips in %lld microseconds, %.3f messages/sec, %ld "
                "bytes\n",
                count, static_cast<long long>(micros), rate, size);
        }
        close(fd);  // the echo side sees the end and exits
    }
    int childStatus = 0;
    if (status != 0) {
        kill(child, SIGTERM);
    }
    while (waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    return status;
}
