// XoMQSender: sends a configured number of identical requests to a service,
// one synchronous send-with-reply at a time, and logs the throughput.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "CHRTimer.h"
#include "HandleGuard.h"
#include "LogIni.h"
#include "MQConnection.h"
#include "StopRequest.h"
#include "TraceSite.h"
#include "Version.h"
#include "XoSys.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <optional>

namespace {

const char kSection[] = "options:ap";
// The program's own code for missing or unusable configuration.
const uint32_t kConfigError = 13;

void logReport(uint32_t count, uint64_t totalMicrosec) {
    if (totalMicrosec == 0) {
        XO_LOG_INFO("Total time is 0");
        return;
    }
    XO_LOG_INFO("%d messages sent for %I64u microseconds", count, totalMicrosec);
    XO_LOG_INFO("So it is %f messages/sec",
                static_cast<double>(count) / static_cast<double>(totalMicrosec) * 1000000.0);
    XO_LOG_INFO("or %f microseconds for 1 message",
                static_cast<double>(totalMicrosec) / static_cast<double>(count));
}

// What a run has done so far, for the line of an interrupted run.
struct Progress {
    uint32_t count = 0;
    std::optional<CHRTimer> timer;  // from "Start timer" on

    uint64_t elapsedMicrosec() {
        if (!timer) {
            return 0;
        }
        timer->stop(false);
        return timer->getTimeSumInMicrosec();
    }
};

// The result of a pass that found a stop request pending; never returned.
const uint32_t kStopped = 0xFFFFFFFFu;

// The run from the open environment on: returns its result code.
uint32_t runSteps(const char* extraArg, Progress& progress) {
    uint32_t rc = 0;

    const int32_t sendTimeout = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "sendtimeout", 10000);

    char serviceName[256];
    std::memset(serviceName, 0, sizeof serviceName);
    XoIniCustGetStr(XO_INI_DEFAULT, serviceName, sizeof serviceName, kSection, "toServiceName", "");
    serviceName[sizeof serviceName - 1] = '\0';
    if (serviceName[0] == '\0') {
        XO_LOG_ERROR("Parameter 'toServiceName' is absent in 'options:ap' section of INI");
        return kConfigError;
    }
    XO_LOG_INFO("Init complete");

    ConnectionGuard connection;
    rc = createMQConnectionConnect(connection.slot(), extraArg);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "createMQConnectionConnect");
        return rc;
    }
#if defined(_WIN32)
    SetConsoleTitleA("XoMQSender");
#endif

    const int32_t sendAmount = XoIniCustGetInt(XO_INI_DEFAULT, kSection, "sendAmount", 10000);
    if (sendAmount <= 0) {
        // The loop stops when the count reaches the amount, which a
        // non-positive amount would only meet after 2^32 passes.
        XO_LOG_ERROR(
            "Parameter 'sendAmount' in 'options:ap' section of INI must be positive, "
            "not %d",
            sendAmount);
        return kConfigError;
    }

    char address[1025];
    address[0] = '\0';
    uint64_t addressSize = sizeof address;
    rc = XoMQServiceResolve(connection.get(), serviceName, address, &addressSize, 0, 0);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "XoMQServiceResolve");
        return rc;
    }
    address[sizeof address - 1] = '\0';

    XO_LOG_INFO("Start timer");
    CHRTimer& timer = progress.timer.emplace();
    timer.start();

    uint32_t& count = progress.count;
    for (;;) {
        if (stoprequest::requested() != 0) {
            return kStopped;
        }
        // Take at most one waiting incoming message; it is freed unread.
        MessageGuard drained;
        rc = XoMQGetMsg(connection.get(), drained.slot(), 0);
        if (rc != 0 && rc != XO_NO_MESSAGE) {
            XoLogErrorWithCode(rc, "XoMQGetMsg failed");
            return rc;
        }

        MessageGuard request;
        rc = XoMsgCreateMessage(request.slot());
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMsgCreateMessage");
            return rc;
        }
        rc = XoMsgSetFieldStr(request.get(), "Xo_To", address);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMsgSetFieldStr");
            return rc;
        }
        rc = XoMsgSetFieldStr(request.get(), "Xo_Category", "VORNA_FUTURES");
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMsgSetFieldStr");
            return rc;
        }
        const int32_t typeValue = 6;
        rc = XoMsgSetField(request.get(), "Xo_Type", &typeValue, sizeof typeValue);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMsgSetField XoMSG_PROP_TYPE");
            return rc;
        }

        ComposerGuard composer;
        rc = XoSysCreateBinaryComposer(composer.slot());
        if (rc != 0) {
            XoLogErrorWithCode(rc, "XoSysCreateBinaryComposer failed");
            return rc;
        }
        rc = XoSysCompose(composer.get(), "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3");
        if (rc != 0) {
            XoLogErrorWithCode(rc, "XoSysCompose failed");
            return rc;
        }
        uint64_t bodySize = 0;
        rc = XoSysComposeGetSize(composer.get(), &bodySize);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "XoSysComposeGetSize failed");
            return rc;
        }
        const uint8_t* body = nullptr;
        rc = XoSysComposeGetBuffer(composer.get(), &body);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "XoSysComposeGetBuffer failed");
            return rc;
        }
        rc = XoMsgSetBody(request.get(), body, bodySize);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "Cannot set body in reply message");
            return rc;
        }

        MessageGuard reply;
        rc = XoMQSendMsg(connection.get(), request.get(), reply.slot(), sendTimeout);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMQSendMsg");
            return rc;
        }
        XO_LOG_INFO("XoMQSendMsg");

        const void* replyCategory = nullptr;
        rc = XoMsgGetBinaryField(reply.get(), "Xo_Category", &replyCategory, nullptr);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMsgGetFieldStr");
            return rc;
        }
        uint32_t replyType = 0;
        rc = XoMsgCopyFieldUINT32(reply.get(), "Xo_Type", &replyType);
        if (rc != 0) {
            XoLogErrorWithCode(rc, "%s failed", "XoMsgCopyFieldUINT32");
            return rc;
        }
        // A library that reports success without a category gives an
        // ordinary reply, never a null dereference.
        if (replyCategory != nullptr &&
            std::strcmp(static_cast<const char*>(replyCategory), "Xo_System") == 0 &&
            replyType == 0) {
            int32_t sysErrCode = static_cast<int32_t>(XO_NO_MESSAGE);
            uint64_t sysErrSize = sizeof sysErrCode;
            XoMsgCopyBody(reply.get(), &sysErrCode, &sysErrSize);
            XO_LOG_ERROR_WITH_CODE(static_cast<uint32_t>(sysErrCode), "Failed to receive reply");
        }

        ++count;
        if (count == static_cast<uint32_t>(sendAmount)) {
            timer.stop(false);
            logReport(count, timer.getTimeSumInMicrosec());
            return 0;
        }
    }
}

uint32_t run(const char* iniPath, const char* extraArg) {
    stoprequest::install();
    LogIni logIni;
    uint32_t rc = logIni.logIniInit(iniPath);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "logIniInit");
        return rc;
    }
    Progress progress;
    rc = runSteps(extraArg, progress);
    stoprequest::settle();
    // A run that a stop request cut short (whichever call it ended in)
    // says so, with what it had done; a run that completed keeps its 0.
    const int request = stoprequest::requested();
    if (rc != 0 && request != 0) {
        const uint64_t micros = progress.elapsedMicrosec();
        XO_LOG_ERROR("Interrupted by %s after %I64u requests and %I64u microseconds",
                     stoprequest::name(request), static_cast<uint64_t>(progress.count), micros);
        return stoprequest::exitCode(request);
    }
    return rc;
}

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
        "Exit status: 0 done; 13 configuration; 129, 130 or 143 stopped by SIGHUP,\n"
        "SIGINT or SIGTERM; otherwise the XoSys code of the call that failed (a shell\n"
        "sees its low 8 bits, e.g. 0x6056 as 86).\n",
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
    return static_cast<int>(run(argv[1], argc > 2 ? argv[2] : nullptr));
}
