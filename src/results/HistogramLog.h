// The interval log of a run (the "histogramLog" key): HdrHistogram's
// histogram log, format 1.3, one line per interval with the interval's
// histogram in HdrHistogram's V2 compressed encoding, so that its tools
// (HistogramLogProcessor, HistogramLogAnalyzer, the hdr-histogram-js log
// reader) read it. Values are microseconds; Interval_Max is in milliseconds.
// In a paced run the untagged histograms are the latency from the scheduled
// send and those tagged "uncorrected" the latency from the actual send.
//
// The encoding is written here because Debian packages no HdrHistogram for
// C or C++; the histogram already has HdrHistogram's layout for lowest
// value 1, highest 3600000000 and 3 significant digits, so its counts are
// HdrHistogram's index for index. Deflate is zlib's.
#ifndef XOMQ_RESULTS_HISTOGRAMLOG_H
#define XOMQ_RESULTS_HISTOGRAMLOG_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "LatencyHistogram.h"
#include "RunRecord.h"

namespace hdrlog {

// The V2 encoding of a histogram (big-endian header, then the counts up to
// the largest value's as ZigZag LEB128 numbers, runs of zeros as negative
// numbers).
std::vector<uint8_t> encodeV2(const latency::Histogram::Snapshot& s);
// The compressed V2 encoding (its own header, then the V2 encoding
// deflated by zlib) in base64: what an interval line holds.
std::string compressedBase64(const latency::Histogram::Snapshot& s);

// Writes the log as the run goes: the header when the timer starts, then a
// line per interval (two in a paced run), flushed at once, so the file is
// complete up to the last interval also after a stop.
class Writer {
  public:
    // Creates or empties the file. False, with the reason, when it cannot.
    bool open(const std::string& path, std::string* error);
    bool isOpen() const { return m_file != nullptr; }
    // The header, with the timer's start as start and base time: interval
    // times are seconds from it.
    void start(std::chrono::system_clock::time_point timerStarted);
    void interval(const results::RunRecord::Interval& i);

  private:
    void line(const char* tag, const results::RunRecord::Interval& i,
              const latency::Histogram::Snapshot& s);

    struct Closer {
        void operator()(FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<FILE, Closer> m_file;
};

}  // namespace hdrlog

#endif  // XOMQ_RESULTS_HISTOGRAMLOG_H
