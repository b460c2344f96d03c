#include "Codes.h"

#include "XoSysCodes.h"

namespace xosys {

const char* codeText(uint32_t code) {
    switch (code) {
        case XOSYS_OK:
            return "success";
        case XOSYS_E_INVALID_ARG:
            return "invalid argument";
        case XOSYS_E_NO_MEMORY:
            return "out of memory";
        case XOSYS_E_NOT_STARTED:
            return "messaging runtime not started";
        case XOSYS_E_NO_MESSAGE:
            return "no message waiting";
        case XOSYS_E_SERVICE_FAILED:
            return "the service failed the request";
        case XOSYS_E_BUFFER_TOO_SMALL:
            return "buffer too small";
        case XOSYS_E_TRUNCATED:
            return "cut to the buffer's capacity";
        case XOSYS_E_INI_OPEN:
            return "cannot read the INI file";
        case XOSYS_E_INI_SYNTAX:
            return "malformed INI line";
        case XOSYS_E_INI_TOO_LARGE:
            return "INI file too large";
        case XOSYS_E_INI_NO_KEY:
            return "INI key absent";
        case XOSYS_E_LOG_OPEN:
            return "cannot open the log file";
        case XOSYS_E_LOG_CONFIG:
            return "invalid log configuration";
        case XOSYS_E_FIELD_NOT_FOUND:
            return "no such property";
        case XOSYS_E_FIELD_SIZE:
            return "property has the wrong size";
        case XOSYS_E_FIELD_NAME:
            return "invalid property name";
        case XOSYS_E_TOO_LARGE:
            return "too large";
        case XOSYS_E_COMPOSE_FORMAT:
            return "invalid composer format";
        case XOSYS_E_COMPOSE_VALUE:
            return "composer value does not fit";
        case XOSYS_E_NATS_STARTUP:
            return "NATS client failed to start";
        case XOSYS_E_CONNECT_STRING:
            return "invalid connect string";
        case XOSYS_E_CONNECT:
            return "cannot reach the router";
        case XOSYS_E_AUTH:
            return "router refused the password";
        case XOSYS_E_NOT_CONNECTED:
            return "not connected";
        case XOSYS_E_CONNECTION_LOST:
            return "connection lost";
        case XOSYS_E_SERVICE_NOT_FOUND:
            return "service not found";
        case XOSYS_E_TIMEOUT:
            return "time-out";
        case XOSYS_E_NO_DESTINATION:
            return "request has no valid Xo_To address";
        case XOSYS_E_MALFORMED_MESSAGE:
            return "malformed message";
        case XOSYS_E_NO_RESPONDER:
            return "nothing listens at the address";
        case XOSYS_E_MESSAGING:
            return "messaging failure";
        case XOSYS_E_INTERRUPTED:
            return "interrupted by a signal";
        default:
            return "unknown code";
    }
}

}  // namespace xosys
