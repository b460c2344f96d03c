#include "RequestPass.h"

#include <cstring>

#include "TraceSite.h"

namespace {

// The calls of a pass. Their failure lines are the system's own and fixed,
// also those that look wrong and are not to be corrected: "Cannot set body
// in reply message" for XoMsgSetBody, "XoMsgGetFieldStr failed" for
// XoMsgGetBinaryField, "XoMsgSetField XoMSG_PROP_TYPE failed".
const RunCall kGetMsg = {"XoMQGetMsg", nullptr, "XoMQGetMsg failed"};
const RunCall kCreateMessage = {"XoMsgCreateMessage", "XoMsgCreateMessage", nullptr};
const RunCall kSetFieldStr = {"XoMsgSetFieldStr", "XoMsgSetFieldStr", nullptr};
const RunCall kSetField = {"XoMsgSetField", "XoMsgSetField XoMSG_PROP_TYPE", nullptr};
const RunCall kCreateComposer = {"XoSysCreateBinaryComposer", nullptr,
                                 "XoSysCreateBinaryComposer failed"};
const RunCall kCompose = {"XoSysCompose", nullptr, "XoSysCompose failed"};
const RunCall kComposeGetSize = {"XoSysComposeGetSize", nullptr, "XoSysComposeGetSize failed"};
const RunCall kComposeGetBuffer = {"XoSysComposeGetBuffer", nullptr,
                                   "XoSysComposeGetBuffer failed"};
const RunCall kSetBody = {"XoMsgSetBody", nullptr, "Cannot set body in reply message"};
const RunCall kSendMsg = {"XoMQSendMsg", "XoMQSendMsg", nullptr};
const RunCall kGetBinaryField = {"XoMsgGetBinaryField", "XoMsgGetFieldStr", nullptr};
const RunCall kCopyFieldUint32 = {"XoMsgCopyFieldUINT32", "XoMsgCopyFieldUINT32", nullptr};

}  // namespace

uint32_t callFailed(uint32_t rc, const RunCall& call, std::string* failedCall) {
    if (call.name != nullptr) {
        XoLogErrorWithCode(rc, "%s failed", call.name);
    } else {
        XoLogErrorWithCode(rc, call.text);
    }
    *failedCall = call.call;
    return rc;
}

uint32_t requestPass(const RequestTarget& target, PassHandles& h, Measurement* measurement,
                     bool* systemError, std::string* failedCall) {
    // Take at most one waiting incoming message; it is freed unread.
    uint32_t rc = XoMQGetMsg(target.connection, h.drained.slot(), 0);
    if (rc != 0 && rc != XO_NO_MESSAGE) {
        return callFailed(rc, kGetMsg, failedCall);
    }

    rc = XoMsgCreateMessage(h.request.slot());
    if (rc != 0) {
        return callFailed(rc, kCreateMessage, failedCall);
    }
    rc = XoMsgSetFieldStr(h.request.get(), "Xo_To", target.address);
    if (rc != 0) {
        return callFailed(rc, kSetFieldStr, failedCall);
    }
    rc = XoMsgSetFieldStr(h.request.get(), "Xo_Category", "VORNA_FUTURES");
    if (rc != 0) {
        return callFailed(rc, kSetFieldStr, failedCall);
    }
    const int32_t typeValue = 6;
    rc = XoMsgSetField(h.request.get(), "Xo_Type", &typeValue, sizeof typeValue);
    if (rc != 0) {
        return callFailed(rc, kSetField, failedCall);
    }

    rc = XoSysCreateBinaryComposer(h.composer.slot());
    if (rc != 0) {
        return callFailed(rc, kCreateComposer, failedCall);
    }
    rc = XoSysCompose(h.composer.get(), "c4i4c3c4c17c10", "ABCD", 12, "001", "VUZA", "", "3");
    if (rc != 0) {
        return callFailed(rc, kCompose, failedCall);
    }
    uint64_t bodySize = 0;
    rc = XoSysComposeGetSize(h.composer.get(), &bodySize);
    if (rc != 0) {
        return callFailed(rc, kComposeGetSize, failedCall);
    }
    const uint8_t* body = nullptr;
    rc = XoSysComposeGetBuffer(h.composer.get(), &body);
    if (rc != 0) {
        return callFailed(rc, kComposeGetBuffer, failedCall);
    }
    rc = XoMsgSetBody(h.request.get(), body, bodySize);
    if (rc != 0) {
        return callFailed(rc, kSetBody, failedCall);
    }

    if (measurement != nullptr && !measurement->beforeSend()) {
        return kStopped;
    }
    rc = XoMQSendMsg(target.connection, h.request.get(), h.reply.slot(), target.sendTimeout);
    if (rc != 0) {
        return callFailed(rc, kSendMsg, failedCall);
    }
    XO_LOG_INFO("XoMQSendMsg");

    const void* replyCategory = nullptr;
    rc = XoMsgGetBinaryField(h.reply.get(), "Xo_Category", &replyCategory, nullptr);
    if (rc != 0) {
        return callFailed(rc, kGetBinaryField, failedCall);
    }
    uint32_t replyType = 0;
    rc = XoMsgCopyFieldUINT32(h.reply.get(), "Xo_Type", &replyType);
    if (rc != 0) {
        return callFailed(rc, kCopyFieldUint32, failedCall);
    }
    // A library that reports success without a category gives an
    // ordinary reply, never a null dereference.
    *systemError = replyCategory != nullptr &&
                   std::strcmp(static_cast<const char*>(replyCategory), "Xo_System") == 0 &&
                   replyType == 0;
    if (*systemError) {
        int32_t sysErrCode = static_cast<int32_t>(XO_NO_MESSAGE);
        uint64_t sysErrSize = sizeof sysErrCode;
        XoMsgCopyBody(h.reply.get(), &sysErrCode, &sysErrSize);
        XO_LOG_ERROR_WITH_CODE(static_cast<uint32_t>(sysErrCode), "Failed to receive reply");
    }
    if (measurement != nullptr) {
        measurement->afterReply();
    }
    return 0;
}
