#include "MQConnection.h"

#include <cstdio>

#include "ConnectDefaults.h"
#include "OptionString.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace {

using xoconnect::kDefaultAppName;
using xoconnect::kDefaultHost;
using xoconnect::kDefaultPort;
using xoconnect::kDefaultTimeoutText;

const char kSection[] = "options:mq";

// Capacity of the buffer every text key is read into.
const size_t kValueCapacity = 1024;

void defaultPortText(char (&text)[16]) {
#if defined(_WIN32)
    _itoa_s(kDefaultPort, text, sizeof text, 10);
#else
    std::snprintf(text, sizeof text, "%d", kDefaultPort);
#endif
}

// Reads key of "options:mq" into value, always NUL-terminated.
const char* readText(char (&value)[kValueCapacity], const char* key, const char* defaultValue) {
    XoIniCustGetStr(XO_INI_DEFAULT, value, sizeof value, kSection, key, defaultValue);
    value[kValueCapacity - 1] = '\0';
    return value;
}

void appendField(std::string& connStr, const char* name, const char* value) {
    connStr += name;
    connStr += " = ";
    connStr += value;
    connStr += ';';
}

}  // namespace

uint32_t ConnectFunctor::operator()() const {
    uint64_t connInfo = 0;  // filled by the library, not needed here
    return XoMQConnectEx2(m_conn, m_connStr, &connInfo);
}

#if defined(_WIN32)
uint32_t retryClockMs() {
    return GetTickCount();
}
void retryPause() {
    Sleep(300);
}
#else
uint32_t retryClockMs() {
    // A monotonic clock, so that a change of the system time neither
    // stretches nor cuts the deadline.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}
void retryPause() {
    usleep(300000);
}
#endif

std::string buildConnectString() {
    char portText[16];
    defaultPortText(portText);

    char value[kValueCapacity];
    std::string connStr(readText(value, "connect", ""));

    if (!connStr.empty()) {
        // Complete a given connect string with the fields it lacks. A field
        // with an empty value counts as missing.
        std::string appname, port, host, lrpcqPort, timeout;
        optstr::GetFldVal(connStr.c_str(), "appname", &appname);
        optstr::GetFldVal(connStr.c_str(), "port", &port);
        optstr::GetFldVal(connStr.c_str(), "host", &host);
        optstr::GetFldVal(connStr.c_str(), "lrpcq_port", &lrpcqPort);
        optstr::GetFldVal(connStr.c_str(), "timeout", &timeout);

        const auto append = [&connStr](const char* name, const char* fieldValue) {
            if (connStr.back() != ';') {
                connStr += ';';
            }
            appendField(connStr, name, fieldValue);
        };
        if (appname.empty()) {
            append("appname", kDefaultAppName);
        }
        if (timeout.empty()) {
            append("timeout", kDefaultTimeoutText);
        }
        // A local router port (lrpcq_port) replaces host and port.
        if (lrpcqPort.empty()) {
            if (port.empty()) {
                append("port", portText);
            }
            if (host.empty()) {
                append("host", kDefaultHost);
            }
        }
        return connStr;
    }

    appendField(connStr, "appname", readText(value, "appname", kDefaultAppName));
    appendField(connStr, "host", readText(value, "host", kDefaultHost));
    appendField(connStr, "port", readText(value, "port", portText));
    if (readText(value, "pwd", "")[0] != '\0') {
        appendField(connStr, "password", value);
    }
    appendField(connStr, "timeout", readText(value, "timeout", kDefaultTimeoutText));
    return connStr;
}

uint32_t createMQConnectionConnect(XoMQConnHandle* connSlot, const char* extraArg) {
    (void)extraArg;  // our XoMQCreateConnection takes no second argument

    XoResult rc = XoMQCreateConnection(connSlot);
    if (rc != 0) {
        XoLogErrorWithCode(rc, "XoMQCreateConnection failed");
        return rc;
    }

    const int32_t deadlineMs =
        XoIniCustGetInt(XO_INI_DEFAULT, kSection, "timeoutToAllReconnectingTriing", 10000);
    const std::string connStr = buildConnectString();

    rc = tryExecuteObjectUntilTimeout(deadlineMs, ConnectFunctor(*connSlot, connStr.c_str()),
                                      "XoMQConnect");
    if (rc != 0) {
        XoLogErrorWithCode(rc, "%s failed", "tryExecuteObjectUntilTimeout");
        return rc;
    }
    return 0;
}
