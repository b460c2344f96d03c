// The service's own statistics around the timed loop (serviceStats = 1):
// read before the timer and after the report through the library's optional
// XoMQServiceStats call, which the vendor's library lacks; the run then says
// so and goes on.
#ifndef XOMQ_SENDER_SERVICEPROBE_H
#define XOMQ_SENDER_SERVICEPROBE_H

#include <optional>
#include <string>

#include "ServiceStats.h"
#include "XoSys.h"

namespace serviceprobe {

class Probe {
  public:
    Probe(XoMQConnHandle conn, const std::string& service) : m_conn(conn), m_service(service) {}

    // The first reading, before the timer.
    void before();
    // The second one, after the report, and what the instances counted in
    // between; not available, with the reason, when either reading failed.
    results::ServiceStats after();

  private:
    // One reading into *reading; false with the reason in m_reason.
    bool read(results::StatsReading* reading);

    XoMQConnHandle m_conn;
    std::string m_service;
    std::optional<results::StatsReading> m_before;
    std::string m_reason;
};

}  // namespace serviceprobe

#endif  // XOMQ_SENDER_SERVICEPROBE_H
