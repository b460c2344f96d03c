// Stop requests from the user: SIGINT, SIGTERM and SIGHUP on POSIX systems;
// Ctrl-C, Ctrl-Break and the closing console on Windows.
//
// The handler only records the request and wakes the main thread out of a
// blocking wait (a library wait that a signal interrupts returns at once).
// The run notices the request between requests, or when a waiting call
// returns, and ends through its normal path, so the log keeps every line.
// A second request ends the process at once, as if there were no handler.
#ifndef XOMQ_SENDER_STOPREQUEST_H
#define XOMQ_SENDER_STOPREQUEST_H

#include <chrono>
#include <csignal>
#include <cstdint>

namespace stoprequest {

// Request numbers, as the POSIX signals they are or stand for.
const int kHangUp = 1;      // SIGHUP; on Windows the console closing
const int kInterrupt = 2;   // SIGINT; on Windows Ctrl-C
const int kTerminate = 15;  // SIGTERM
const int kBreak = 21;      // Windows Ctrl-Break

// 0, or the number of the first request. Read once per request: a plain
// load of a sig_atomic_t.
extern volatile std::sig_atomic_t g_request;

inline int requested() {
    return g_request;
}

// Installs the handlers and notes the calling thread as the one to wake.
// POSIX signals that are ignored at start (nohup, background jobs) stay
// ignored.
void install();

// Called when the run is over: no more wake-ups of the main thread.
void settle();

// Sleeps until the deadline, or less: a stop request (or any signal on POSIX
// systems) ends the sleep at once. The caller reads its clock again and
// decides whether to sleep on.
void sleepUntil(std::chrono::steady_clock::time_point deadline);

// The request's name for the log: "SIGTERM", "Ctrl-C", ...
const char* name(int request);

// The exit code of a run ended by the request: 128 + its number, the code a
// shell gives a process killed by that signal.
inline uint32_t exitCode(int request) {
    return 128u + static_cast<uint32_t>(request);
}

}  // namespace stoprequest

#endif  // XOMQ_SENDER_STOPREQUEST_H
