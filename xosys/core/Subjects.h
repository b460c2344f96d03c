// Router subjects of our messaging:
//
//   _XO.resolve.<service>     resolve requests of <service>; one of its
//                             instances answers with the service's address
//   _XO.svc.<service>         address of <service>: every instance
//                             subscribes to it in the queue group "xo", so
//                             each request goes to one of them
//
// <service> is the service name as one subject token: letters, digits, "-"
// and "_" stand as they are, every other byte as "%" and two upper-case hex
// digits. Different names therefore never share a subject, and a name may
// hold ".", blanks or wildcards.
//   _XO.c.<id>.r.<seq>        reply subject of request <seq> of connection <id>
//   _XO.c.<id>.in             own address of connection <id> (unsolicited)
//   _XO.micro.<subject>       address of an endpoint of a NATS micro service
//                             (resolved through $SRV.INFO): requests go to
//                             <subject> as plain NATS requests with headers
//
// NATS micro services name themselves in the alphabet A-Z a-z 0-9 - _.
// Our services take part in the service protocol under their name mapped
// into it: letters, digits and "-" stand as they are, "_" as "__", every
// other byte as "_" and two upper-case hex digits ("a.b_c" -> "a_2Eb__c").
// No two names share a micro name, and names of letters, digits and "-"
// keep theirs.
#ifndef XOSYS_CORE_SUBJECTS_H
#define XOSYS_CORE_SUBJECTS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace xosys {

const size_t kMaxAddressLen = 1024;
const size_t kMaxServiceNameLen = 255;
// The queue group the instances of a service share.
const char kServiceQueue[] = "xo";

// 1 to 255 bytes (XoMQSender passes up to 255 characters).
bool validServiceName(const char* name);

// The service name as one subject token (see above).
std::string serviceToken(const std::string& service);

// A subject one may publish to: 1..1024 printable ASCII characters without
// blanks or wildcards, made of non-empty "."-separated tokens.
bool validAddress(const char* text, size_t len);

// A name of the micro alphabet (1 or more of A-Z a-z 0-9 - _).
bool isMicroName(const std::string& name);
// The service name mapped into the micro alphabet (see above).
std::string microName(const std::string& service);

// "_XO.micro.": the addresses of micro endpoints start with it.
extern const char kMicroAddressPrefix[];
const size_t kMicroAddressPrefixLen = 10;
// The endpoint's subject when address is a micro endpoint's, else null.
const char* microSubject(const char* address, size_t len);

std::string resolveSubject(const std::string& service);
std::string serviceAddress(const std::string& service);
std::string connectionReplyPrefix(const std::string& connId);  // "_XO.c.<id>.r."
std::string connectionInbox(const std::string& connId);        // "_XO.c.<id>.in"

// Appends the decimal text of v to out.
void appendDecimal(std::string& out, uint64_t v);

// The sequence number of a reply subject that starts with prefix; false
// when the subject does not have the form prefix<digits>.
bool parseReplySeq(const char* subject, const std::string& prefix, uint64_t* seq);

}  // namespace xosys

#endif  // XOSYS_CORE_SUBJECTS_H
