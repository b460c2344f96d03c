// The result file of a run (the "resultFile" key): the run's record as one
// JSON object, with its latency histogram in a form a fleet runner can merge,
// and read back into a record. Written at the end of the run to a temporary
// file beside the target, then renamed over it, so a reader never sees half
// a file.
#ifndef XOMQ_RESULTS_RESULTFILE_H
#define XOMQ_RESULTS_RESULTFILE_H

#include <cstdint>
#include <string>

#include "RunRecord.h"

namespace results {

// The record as JSON text, one line.
std::string toJson(const RunRecord& record);

// Reads toJson's text back into *record. False, with the reason in *error,
// for text that is not a result file, a field of the wrong type, or a
// histogram that does not add up. Fields that are missing keep their
// defaults.
bool fromJson(const std::string& text, RunRecord* record, std::string* error);

// Writes text to path through a temporary file in the same directory and a
// rename. False, with the reason in *error, when it cannot.
bool writeAtomically(const std::string& path, const std::string& text, std::string* error);

// Whether a file can be created beside path (tried with the temporary name
// and removed again): the check before the run, so that a wrong path fails
// at once and not after the run.
bool canWriteBeside(const std::string& path, std::string* error);

// This machine's name ("" when unknown) and this process's id: a record's
// origin, and the temporary file's name.
std::string hostName();
int64_t processId();

}  // namespace results

#endif  // XOMQ_RESULTS_RESULTFILE_H
