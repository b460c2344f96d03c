// The benchmark run: brings the XoSys environment up, reads the options of
// "options:ap", connects, resolves the service and sends its requests, one
// synchronous send-with-reply at a time, filling the run's record; the log
// report and, with "resultFile", the result file report it.
#ifndef XOMQ_SENDER_RUN_H
#define XOMQ_SENDER_RUN_H

#include <cstdint>

// The program's own code for missing or unusable configuration.
const uint32_t kConfigError = 13;
// The run itself succeeded, but its result file could not be written.
const uint32_t kResultFileError = 14;

// The whole run; its result is the exit code: 0, kConfigError,
// kResultFileError, the code of a stop request, or the XoSys code of the call
// that failed. extraArg is the second command-line argument, handed on to
// the connection set-up.
uint32_t runBenchmark(const char* iniPath, const char* extraArg);

#endif  // XOMQ_SENDER_RUN_H
