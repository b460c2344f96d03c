// Result codes of our XoSys library. 0 is success; every failure has a code
// of its own. The table in xosys/README.md lists the same codes.
#ifndef XOSYS_CODES_H
#define XOSYS_CODES_H

#define XOSYS_OK 0x0000u

// General
#define XOSYS_E_INVALID_ARG \
    0x6001u  // a required pointer or handle is null, or a value is out of range
#define XOSYS_E_NO_MEMORY 0x6002u  // an allocation failed
#define XOSYS_E_NOT_STARTED \
    0x6003u  // the messaging runtime is not started (XoMQStartup) or was cleaned up
#define XOSYS_E_NO_MESSAGE \
    0x6004u  // XoMQGetMsg: nothing waiting; also the preset of a system error code
#define XOSYS_E_SERVICE_FAILED \
    0x6005u  // a service failed a request (default code of the responder's error replies)
#define XOSYS_E_BUFFER_TOO_SMALL 0x6006u  // an output buffer cannot hold the result
#define XOSYS_E_TRUNCATED \
    0x6007u  // the result was cut to the caller's capacity; the bytes that fit were copied

// Configuration
#define XOSYS_E_INI_OPEN 0x6010u       // the INI file is missing, unreadable or a directory
#define XOSYS_E_INI_SYNTAX 0x6011u     // the INI file has a malformed line
#define XOSYS_E_INI_TOO_LARGE 0x6012u  // the INI file exceeds 64 MiB
#define XOSYS_E_INI_NO_KEY 0x6013u     // XoIniCustGetStr: key absent, the default was returned

// Log
#define XOSYS_E_LOG_OPEN 0x6020u    // the log file cannot be opened
#define XOSYS_E_LOG_CONFIG 0x6021u  // a key of the "log" section has an invalid value

// Messages and composer
#define XOSYS_E_FIELD_NOT_FOUND 0x6030u  // the message has no property of that name
#define XOSYS_E_FIELD_SIZE 0x6031u       // the property has the wrong size for the requested type
#define XOSYS_E_FIELD_NAME 0x6032u       // a property name is empty or longer than 255 bytes
#define XOSYS_E_TOO_LARGE 0x6033u        // a message, property, body or text exceeds the limits
#define XOSYS_E_COMPOSE_FORMAT 0x6040u   // unknown or malformed composer format item
#define XOSYS_E_COMPOSE_VALUE 0x6041u    // a composer value does not fit its item

// Messaging
#define XOSYS_E_NATS_STARTUP 0x6050u       // the NATS client library failed to start
#define XOSYS_E_CONNECT_STRING 0x6051u     // the connect string has an invalid field
#define XOSYS_E_CONNECT 0x6052u            // the router cannot be reached
#define XOSYS_E_AUTH 0x6053u               // the router refused the password
#define XOSYS_E_NOT_CONNECTED 0x6054u      // the connection handle is not connected
#define XOSYS_E_CONNECTION_LOST 0x6055u    // the router closed the connection or went away
#define XOSYS_E_SERVICE_NOT_FOUND 0x6056u  // no instance of the service answered the resolve
#define XOSYS_E_TIMEOUT 0x6057u            // no reply within the time-out
#define XOSYS_E_NO_DESTINATION 0x6058u     // the request has no valid "Xo_To" address
#define XOSYS_E_MALFORMED_MESSAGE 0x6059u  // a message from the wire failed to decode
#define XOSYS_E_NO_RESPONDER 0x605Au  // system error reply: nothing listens at the address any more
#define XOSYS_E_MESSAGING 0x605Bu     // any other failure of the NATS client library
#define XOSYS_E_INTERRUPTED 0x605Cu   // a signal arrived while the call waited

#endif  // XOSYS_CODES_H
