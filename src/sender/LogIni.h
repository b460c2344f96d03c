// Environment guard: brings up the XoSys INI configuration, log and messaging
// runtime, and tears all three down when it goes out of scope.
#ifndef XOMQ_SENDER_LOGINI_H
#define XOMQ_SENDER_LOGINI_H

#include <cstdint>

class LogIni {
  public:
    LogIni() = default;
    LogIni(const LogIni&) = delete;
    LogIni& operator=(const LogIni&) = delete;

    // Tears the environment down unconditionally: messaging runtime, log, INI.
    virtual ~LogIni();

    // Opens the INI file, then the log, then starts the messaging runtime.
    // Returns 0, or the code of the failing call after undoing what it opened.
    uint32_t logIniInit(const char* iniPath);
};

#endif  // XOMQ_SENDER_LOGINI_H
