// XoMQSender: sends a configured number of identical requests to a service,
// one synchronous send-with-reply at a time, and logs the throughput. This
// file is the command line; Run.cpp is the run.
#include <cstdio>
#include <cstring>

#include "Run.h"
#include "Version.h"

namespace {

const char kUsage[] = "Usage: XoMQSender <ini-file>\n";

void printHelp() {
    std::printf(
        "%s"
        "       XoMQSender --help | -h | --version\n"
        "       XoMQSender -- <ini-file>   (an INI file whose name starts with '-')\n"
        "\n"
        "Sends [options:ap] sendAmount identical requests to the service [options:ap]\n"
        "toServiceName through the router that [options:mq] names, one synchronous\n"
        "send-with-reply at a time, and logs the throughput.\n"
        "\n"
        "Exit status: 0 done; 13 configuration; 14 the result file could not be written;\n"
        "129, 130 or 143 stopped by SIGHUP, SIGINT or SIGTERM; otherwise the XoSys code\n"
        "of the call that failed (a shell sees its low 8 bits, e.g. 0x6056 as 86).\n",
        kUsage);
}

void printVersion() {
    std::printf("XoMQSender %s\n", XOMQ_VERSION);
    const xoversion::LibraryInfo library = xoversion::library();
    std::printf("XoSys library: %s (%s)\n", library.path.c_str(), library.version.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr) {
        std::printf("%s", kUsage);
        return static_cast<int>(kConfigError);
    }
    const char* first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        printHelp();
        return 0;
    }
    if (std::strcmp(first, "--version") == 0) {
        printVersion();
        return 0;
    }
    if (std::strcmp(first, "--") == 0) {
        // Options end here: the INI path follows, whatever its name.
        ++argv;
        --argc;
        if (argc < 2 || argv[1] == nullptr) {
            std::printf("%s", kUsage);
            return static_cast<int>(kConfigError);
        }
    } else if (std::strncmp(first, "--", 2) == 0) {
        std::printf("XoMQSender: unknown option '%s'\n%s", first, kUsage);
        return static_cast<int>(kConfigError);
    }
    return static_cast<int>(runBenchmark(argv[1], argc > 2 ? argv[2] : nullptr));
}
