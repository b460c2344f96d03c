#include "StopRequest.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace stoprequest {

volatile std::sig_atomic_t g_request = 0;

namespace {

volatile std::sig_atomic_t g_settled = 0;

#if defined(_WIN32)

// Runs on a thread of its own. The process goes on; the run stops at its
// next request. For the closing console Windows ends the process when the
// handler returns, so the handler waits (within the grace Windows gives)
// for the run to finish its log.
BOOL WINAPI onConsoleEvent(DWORD event) {
    int request = 0;
    switch (event) {
        case CTRL_C_EVENT:
            request = kInterrupt;
            break;
        case CTRL_BREAK_EVENT:
            request = kBreak;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            request = kHangUp;
            break;
        default:
            return FALSE;
    }
    if (g_request != 0 && request != kHangUp) {
        return FALSE;  // a second request: the default action ends the process
    }
    if (g_request == 0) {
        g_request = request;
    }
    if (request == kHangUp) {
        for (int i = 0; i < 40 && g_settled == 0; ++i) {
            Sleep(100);
        }
    }
    return TRUE;
}

#else

pthread_t g_mainThread;

// SIGALRM wakes the main thread: a wait it is in returns with EINTR. A
// wake-up that reaches another thread is passed on to the main thread;
// while the stop is pending, the main thread is woken every second, in case
// the first wake-up came just before it entered its wait.
void onWake(int) {
    const int saved = errno;
    if (!pthread_equal(pthread_self(), g_mainThread)) {
        pthread_kill(g_mainThread, SIGALRM);
    } else if (g_request != 0 && g_settled == 0) {
        alarm(1);
    }
    errno = saved;
}

void onStop(int sig) {
    const int saved = errno;
    if (g_request != 0) {
        signal(sig, SIG_DFL);
        raise(sig);
    }
    g_request = sig;
    if (!pthread_equal(pthread_self(), g_mainThread)) {
        pthread_kill(g_mainThread, SIGALRM);
    }
    alarm(1);
    errno = saved;
}

void installFor(int sig, void (*handler)(int), bool keepIgnored) {
    struct sigaction old {};
    if (keepIgnored && sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking wait returns with EINTR
    sigaction(sig, &sa, nullptr);
}

#endif

}  // namespace

void install() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    g_mainThread = pthread_self();
    installFor(SIGALRM, onWake, false);
    installFor(SIGINT, onStop, true);
    installFor(SIGTERM, onStop, true);
    installFor(SIGHUP, onStop, true);
#endif
}

void settle() {
    g_settled = 1;
#if !defined(_WIN32)
    alarm(0);
#endif
}

const char* name(int request) {
    switch (request) {
#if defined(_WIN32)
        case kHangUp:
            return "the closing console";
        case kInterrupt:
            return "Ctrl-C";
        case kBreak:
            return "Ctrl-Break";
#else
        case kHangUp:
            return "SIGHUP";
        case kInterrupt:
            return "SIGINT";
#endif
        case kTerminate:
            return "SIGTERM";
        default:
            return "a stop request";
    }
}

}  // namespace stoprequest
