#include "StopRequest.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#endif

namespace stoprequest {

volatile std::sig_atomic_t g_request = 0;

namespace {

volatile std::sig_atomic_t g_settled = 0;

#if defined(_WIN32)

// A kernel handle of the process, closed once at exit.
class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE h) : m_handle(h) {}
    ~OwnedHandle() {
        if (m_handle != nullptr) {
            CloseHandle(m_handle);
        }
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return m_handle; }

  private:
    HANDLE m_handle;
};

// Set by the console handler: it ends a sleepUntil at once. Created on first
// use, before the handler is installed.
HANDLE stopEvent() {
    static const OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event.get();
}

// The timer of sleepUntil: a high-resolution one where Windows has them
// (Windows 10 1803 and later), otherwise a plain one.
HANDLE sleepTimer() {
#if !defined(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION)
    const DWORD CREATE_WAITABLE_TIMER_HIGH_RESOLUTION = 0x00000002;
#endif
    static const OwnedHandle timer([] {
        HANDLE h = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
        return h != nullptr ? h : CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }());
    return timer.get();
}

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
    if (g_settled == 0) {
        SetEvent(stopEvent());
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
    stopEvent();
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

void sleepUntil(std::chrono::steady_clock::time_point deadline) {
    if (g_request != 0) {
        return;
    }
#if defined(_WIN32)
    const auto left = deadline - std::chrono::steady_clock::now();
    const long long hundredNanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() / 100;
    if (hundredNanos <= 0) {
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -hundredNanos;  // negative: relative to now
    HANDLE timer = sleepTimer();
    if (timer == nullptr || !SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        // No timer: whole milliseconds on the stop event instead.
        WaitForSingleObject(stopEvent(), static_cast<DWORD>(hundredNanos / 10000));
        return;
    }
    HANDLE both[2] = {timer, stopEvent()};
    WaitForMultipleObjects(2, both, FALSE, INFINITE);
#else
    // steady_clock is CLOCK_MONOTONIC in libstdc++ and libc++, so its time
    // is the absolute deadline of clock_nanosleep as it stands: a sleep cut
    // short and started again does not drift.
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    if (ns <= 0) {
        return;
    }
#if defined(__linux__)
    // Linux lets a normal thread's sleep end up to 50 us late (its timer
    // slack), to batch wake-ups; 1 us here, so that the spin after the
    // sleep stays short.
    static const bool precise = prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL) == 0;
    (void)precise;
#endif
    struct timespec at;
    at.tv_sec = static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    // EINTR: a signal, a stop request among them; the caller looks again.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
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
