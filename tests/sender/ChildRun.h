// Runs a program as a child process against the scripted XoSys: writes the
// scenario to a file, starts the child with XOSCRIPT_FILE and XOSCRIPT_TRACE
// pointing at its files, waits a bounded time (killing the child by its id
// when the bound passes) and collects exit status, standard output and trace.
// Works on Linux (fork/exec) and on Windows (CreateProcess, also under wine).
#ifndef XOMQ_TESTS_SENDER_CHILDRUN_H
#define XOMQ_TESTS_SENDER_CHILDRUN_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace childrun {

struct Request {
    std::string program;                     // path of the executable
    std::vector<std::string> args;           // arguments after the program name
    std::string scenario;                    // scenario text for the scripted XoSys
    std::vector<std::string> env;            // extra "NAME=value" entries
    std::string name = "child";              // names the files of this run
    std::chrono::milliseconds bound{20000};  // longest wait before the kill
};

struct Result {
    bool exited = false;    // ended by itself (not killed, no signal)
    bool timedOut = false;  // killed after the bound passed
    // Exit status as the parent sees it: the low 8 bits on Linux, the full
    // 32-bit code on Windows.
    uint32_t status = 0;
    std::string out;                 // standard output, CR LF turned into LF
    std::string err;                 // standard error, as written
    std::vector<std::string> trace;  // the trace file's lines, without CR
    std::string describe() const;    // for failure messages
};

Result run(const Request& request);

// The status the parent sees when the program returns code.
uint32_t visibleStatus(uint32_t code);

// Path of a program built beside the test: on Windows the file name in the
// folder of the running test program, otherwise the full build path.
std::string programPath(const char* buildPath, const char* fileName);

}  // namespace childrun

#endif  // XOMQ_TESTS_SENDER_CHILDRUN_H
