// xomq-compare: a regression check of two runs, BASE and NEW, each an
// XoMQSender result file or a fleet.json of scripts/fleet.sh: a table of the
// rate and the percentiles side by side with the change in percent, the
// settings that differ, and a verdict against tolerances.
#ifndef XOMQ_TOOLS_COMPARE_H
#define XOMQ_TOOLS_COMPARE_H

#include <string>
#include <vector>

namespace xocompare {

// Exit status: 0 NEW is within the tolerances of BASE (or --help), 1 NEW is
// worse beyond one of them, 2 bad arguments, a file that cannot be read or
// is of neither kind, files of different kinds, or a run that did not
// complete. The table and the verdict go to *out, the reasons for 2 to *err.
int run(const std::vector<std::string>& args, std::string* out, std::string* err);

}  // namespace xocompare

#endif  // XOMQ_TOOLS_COMPARE_H
