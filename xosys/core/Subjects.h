// Router subjects of our messaging:
//
//   _XO.resolve.<service>     every instance of <service> answers a resolve
//                             request with its address
//   _XO.svc.<service>.<id>    address of one service instance (requests)
//   _XO.c.<id>.r.<seq>        reply subject of request <seq> of connection <id>
//   _XO.c.<id>.in             own address of connection <id> (unsolicited)
#ifndef XOSYS_CORE_SUBJECTS_H
#define XOSYS_CORE_SUBJECTS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace xosys {

const size_t kMaxAddressLen = 1024;
const size_t kMaxServiceNameLen = 200;

// 1..200 printable ASCII characters, no blank, ".", "*" or ">".
bool validServiceName(const char* name);

// A subject one may publish to: 1..1024 printable ASCII characters without
// blanks or wildcards, made of non-empty "."-separated tokens.
bool validAddress(const char* text, size_t len);

std::string resolveSubject(const std::string& service);
std::string serviceAddress(const std::string& service, const std::string& instanceId);
std::string connectionReplyPrefix(const std::string& connId);  // "_XO.c.<id>.r."
std::string connectionInbox(const std::string& connId);        // "_XO.c.<id>.in"

// Appends the decimal text of v to out.
void appendDecimal(std::string& out, uint64_t v);

// The sequence number of a reply subject that starts with prefix; false
// when the subject does not have the form prefix<digits>.
bool parseReplySeq(const char* subject, const std::string& prefix, uint64_t* seq);

}  // namespace xosys

#endif  // XOSYS_CORE_SUBJECTS_H
