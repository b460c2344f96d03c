// The connect string's defaults, XoMQSender's own. The program writes them
// for the fields its settings leave out; our XoSys library takes them for a
// field that is absent or empty. One definition, so both mean the same router.
#ifndef XOMQ_CONNECT_CONNECTDEFAULTS_H
#define XOMQ_CONNECT_CONNECTDEFAULTS_H

#include <stdint.h>

namespace xoconnect {

constexpr char kDefaultAppName[] = "XoMQSender";
constexpr char kDefaultHost[] = "127.0.0.1";
// The program writes the port as decimal text made from this number.
constexpr int kDefaultPort = 3001;
// The program writes the time-out as this text; the library reads its number.
constexpr char kDefaultTimeoutText[] = "3000";

namespace detail {
constexpr int32_t decimal(const char* text) {
    int32_t value = 0;
    for (; *text != '\0'; ++text) {
        value = value * 10 + (*text - '0');
    }
    return value;
}
}  // namespace detail

constexpr int32_t kDefaultTimeoutMs = detail::decimal(kDefaultTimeoutText);

}  // namespace xoconnect

#endif  // XOMQ_CONNECT_CONNECTDEFAULTS_H
