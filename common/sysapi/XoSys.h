// Declarations of the XoSys system library calls used by XoMQSender.
//
// The program links against these by name (C linkage), so any library that
// exports them can stand behind it: the vendor's XoSys64.dll or
// libXoSys.so.1.208/libXoSysExt.so.1.208, our NATS-based implementation, or
// the scripted test double.
#ifndef XOMQ_SYSAPI_XOSYS_H
#define XOMQ_SYSAPI_XOSYS_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(XOSYS_BUILDING_LIBRARY)
#define XOSYS_API __declspec(dllexport)
#else
#define XOSYS_API __declspec(dllimport)
#endif
#else
#if defined(XOSYS_BUILDING_LIBRARY)
#define XOSYS_API __attribute__((visibility("default")))
#else
#define XOSYS_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Result of every call: 0 is success, anything else an XoSys error code.
typedef uint32_t XoResult;

// Opaque handles; each kind is freed by its own free call.
typedef struct XoMQConnection_* XoMQConnHandle;
typedef struct XoMsg_* XoMsgHandle;
typedef struct XoComposer_* XoComposerHandle;

// Result of XoMQGetMsg when no message is waiting, and the preset of a
// system error reply's code.
#define XO_NO_MESSAGE ((XoResult)0x6004u)

// First argument of the configuration reads: the process-wide INI file.
#define XO_INI_DEFAULT ((intptr_t)-1)

// ---- Configuration -------------------------------------------------------
XOSYS_API XoResult XoIniSetOpt(uint32_t options);
XOSYS_API XoResult XoIniOpen(const char* path);
XOSYS_API XoResult XoIniClose(void);
// The value of section/key, or defaultValue when the key is absent.
XOSYS_API int32_t XoIniCustGetInt(intptr_t ini, const char* section, const char* key,
                                  int32_t defaultValue);
// Fills buffer with the value or defaultValue, NUL-terminated within bufferSize.
XOSYS_API XoResult XoIniCustGetStr(intptr_t ini, char* buffer, uint64_t bufferSize,
                                   const char* section, const char* key, const char* defaultValue);

// ---- Log -----------------------------------------------------------------
// Formats are printf-style; "%I64u", "%I64d" and "%I64x" work on every platform.
XOSYS_API XoResult XoLogOpen(uint32_t options);
XOSYS_API XoResult XoLogClose(void);
XOSYS_API void XoLogInfo(const char* format, ...);
XOSYS_API void XoLogError(const char* format, ...);
XOSYS_API void XoLogInfoEx(const char* source, const char* format, ...);
XOSYS_API void XoLogErrorEx(const char* source, const char* format, ...);
XOSYS_API void XoLogErrorWithCode(uint32_t code, const char* format, ...);
XOSYS_API void XoLogEx(int32_t level, const char* source, const char* format, ...);

// Registering variants: each writes the message as the plain call would when
// the statement is enabled, and returns the address of the statement's enable
// flag (or null, in which case the caller registers again next time).
XOSYS_API int32_t* trcheckEx_XoLogInfo_(const char* format, ...);
XOSYS_API int32_t* trcheckEx_XoLogError_(const char* format, ...);
XOSYS_API int32_t* trcheckEx_XoLogInfoEx_(const char* source, const char* format, ...);
XOSYS_API int32_t* trcheckEx_XoLogErrorEx_(const char* source, const char* format, ...);
XOSYS_API int32_t* trcheckEx_XoLogErrorWithCode_(uint32_t code, const char* format, ...);
XOSYS_API int32_t* trcheckEx_XoLogEx_(int32_t level, const char* source, const char* format, ...);

// ---- Messaging runtime and connections ------------------------------------
XOSYS_API XoResult XoMQStartup(void);
XOSYS_API XoResult XoMQCleanup(void);
XOSYS_API XoResult XoMQCreateConnection(XoMQConnHandle* slot);
XOSYS_API XoResult XoMQFreeConnection(XoMQConnHandle conn);
// connInfo receives library-defined connection details (8 bytes); callers may ignore it.
XOSYS_API XoResult XoMQConnectEx2(XoMQConnHandle conn, const char* connectString,
                                  uint64_t* connInfo);
// Resolves a service name to the address requests are sent to. addressSize
// holds the buffer's capacity on entry; on return the address length, or the
// capacity needed when the buffer was too small.
XOSYS_API XoResult XoMQServiceResolve(XoMQConnHandle conn, const char* serviceName, char* address,
                                      uint64_t* addressSize, void* reserved, int32_t flags);
// Takes one message sent to this connection; XO_NO_MESSAGE when none arrives
// within waitMs (0 polls).
XOSYS_API XoResult XoMQGetMsg(XoMQConnHandle conn, XoMsgHandle* slot, uint32_t waitMs);
// Sends request and waits at most timeoutMs milliseconds for its reply.
XOSYS_API XoResult XoMQSendMsg(XoMQConnHandle conn, XoMsgHandle request, XoMsgHandle* replySlot,
                               int32_t timeoutMs);

// ---- Messages ------------------------------------------------------------
XOSYS_API XoResult XoMsgCreateMessage(XoMsgHandle* slot);
XOSYS_API XoResult XoMsgFreeMessage(XoMsgHandle msg);
XOSYS_API XoResult XoMsgSetFieldStr(XoMsgHandle msg, const char* name, const char* value);
XOSYS_API XoResult XoMsgSetField(XoMsgHandle msg, const char* name, const void* value,
                                 uint64_t size);
// *value points into the message; size (optional) receives its length in bytes.
XOSYS_API XoResult XoMsgGetBinaryField(XoMsgHandle msg, const char* name, const void** value,
                                       uint64_t* size);
XOSYS_API XoResult XoMsgCopyFieldUINT32(XoMsgHandle msg, const char* name, uint32_t* value);
XOSYS_API XoResult XoMsgSetBody(XoMsgHandle msg, const void* data, uint64_t size);
// Copies at most *capacity bytes of the body; *capacity receives the count copied.
XOSYS_API XoResult XoMsgCopyBody(XoMsgHandle msg, void* buffer, uint64_t* capacity);

// ---- Binary composer -------------------------------------------------------
// Format items: "c<n>" an n-byte zero-padded text (const char*), "i1", "i2",
// "i4" (int) and "i8" (int64_t) little-endian integers.
XOSYS_API XoResult XoSysCreateBinaryComposer(XoComposerHandle* slot);
XOSYS_API XoResult XoSysFreeComposer(XoComposerHandle composer);
XOSYS_API XoResult XoSysCompose(XoComposerHandle composer, const char* format, ...);
XOSYS_API XoResult XoSysComposeGetSize(XoComposerHandle composer, uint64_t* size);
XOSYS_API XoResult XoSysComposeGetBuffer(XoComposerHandle composer, const uint8_t** buffer);

// ---- Optional calls --------------------------------------------------------
// Calls that a library may have and the vendor's does not. A program never
// links to them by name: it looks them up in the library it runs with (a weak
// symbol, GetProcAddress) and goes on without them when they are missing.

// XoMQServiceStats(conn, serviceName, json, jsonSize, waitMs): asks every
// instance of the service for its statistics on the NATS service protocol
// ($SRV.STATS) and gathers the answers that come within waitMs, as one JSON
// array of their stats responses, NUL-terminated in json ("[]" when none
// answers). jsonSize holds the buffer's capacity on entry; on return the
// text's length, or the capacity needed when the buffer was too small.
typedef XoResult (*XoMQServiceStatsCall)(XoMQConnHandle conn, const char* serviceName, char* json,
                                         uint64_t* jsonSize, int32_t waitMs);
#define XO_SERVICE_STATS_CALL "XoMQServiceStats"

#ifdef __cplusplus
}
#endif

#endif  // XOMQ_SYSAPI_XOSYS_H
