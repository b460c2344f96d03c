#include "HistogramLog.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace hdrlog {

namespace {

const uint32_t kV2Cookie = 0x1c849303u | 0x10u;
const uint32_t kV2CompressedCookie = 0x1c849304u | 0x10u;
const int32_t kSignificantDigits = 3;
const int64_t kLowest = 1;

void putInt32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

void putInt64(std::vector<uint8_t>& out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

// ZigZag, then LEB128 in at most 9 bytes: 8 of 7 bits, the ninth with all 8.
void putZigZag(std::vector<uint8_t>& out, int64_t value) {
    uint64_t v = (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
    for (int i = 0; i < 8; ++i) {
        if (v < 0x80) {
            out.push_back(static_cast<uint8_t>(v));
            return;
        }
        out.push_back(static_cast<uint8_t>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

void putZeros(std::vector<uint8_t>& out, uint64_t zeros) {
    if (zeros == 1) {
        putZigZag(out, 0);
    } else if (zeros > 1) {
        putZigZag(out, -static_cast<int64_t>(zeros));
    }
}

std::string base64(const std::vector<uint8_t>& in) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t n = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    if (i < in.size()) {
        const bool two = i + 1 < in.size();
        const uint32_t n = (uint32_t{in[i]} << 16) | (two ? uint32_t{in[i + 1]} << 8 : 0);
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 63];
        out += two ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace

std::vector<uint8_t> encodeV2(const latency::Histogram::Snapshot& s) {
    std::vector<uint8_t> out;
    putInt32(out, kV2Cookie);
    putInt32(out, 0);  // the payload's length, filled in below
    putInt32(out, 0);  // normalizing index offset
    putInt32(out, kSignificantDigits);
    putInt64(out, kLowest);
    putInt64(out, latency::Histogram::kHighest);
    uint64_t ratio = 0;  // the integer to double conversion ratio, 1.0
    const double one = 1.0;
    std::memcpy(&ratio, &one, sizeof ratio);
    putInt64(out, ratio);
    const size_t payloadStart = out.size();

    // The counts up to the largest value's index; the buckets hold the
    // non-empty ones in order, the largest value's last.
    uint64_t next = 0;  // the next index to encode
    for (const auto& b : s.buckets) {
        putZeros(out, b.first - next);
        putZigZag(out, static_cast<int64_t>(b.second));
        next = uint64_t{b.first} + 1;
    }
    const uint64_t length = uint64_t{latency::Histogram::indexOf(s.totals.max)} + 1;
    if (next < length) {
        putZeros(out, length - next);
    }

    const uint32_t payload = static_cast<uint32_t>(out.size() - payloadStart);
    for (int k = 0; k < 4; ++k) {
        out[4 + static_cast<size_t>(k)] = static_cast<uint8_t>(payload >> (24 - 8 * k));
    }
    return out;
}

std::string compressedBase64(const latency::Histogram::Snapshot& s) {
    const std::vector<uint8_t> plain = encodeV2(s);
    uLongf size = compressBound(static_cast<uLong>(plain.size()));
    std::vector<uint8_t> out;
    putInt32(out, kV2CompressedCookie);
    putInt32(out, 0);  // the compressed length, filled in below
    const size_t header = out.size();
    out.resize(header + size);
    // Cannot fail: the buffer has compressBound's size and the input is in memory.
    compress2(out.data() + header, &size, plain.data(), static_cast<uLong>(plain.size()),
              Z_BEST_COMPRESSION);
    out.resize(header + size);
    for (int k = 0; k < 4; ++k) {
        out[4 + static_cast<size_t>(k)] = static_cast<uint8_t>(size >> (24 - 8 * k));
    }
    return base64(out);
}

bool Writer::open(const std::string& path, std::string* error) {
    m_file.reset(std::fopen(path.c_str(), "wb"));
    if (m_file == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

void Writer::start(std::chrono::system_clock::time_point timerStarted) {
    if (m_file == nullptr) {
        return;
    }
    using namespace std::chrono;
    const long long ms = duration_cast<milliseconds>(timerStarted.time_since_epoch()).count();
    const std::time_t sec = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
#if defined(_WIN32)
    gmtime_s(&tm, &sec);
#else
    gmtime_r(&sec, &tm);
#endif
    char date[64];
    std::strftime(date, sizeof date, "%a %b %d %H:%M:%S UTC %Y", &tm);
    const double seconds = static_cast<double>(ms) / 1000.0;
    std::fprintf(m_file.get(),
                 "#XoMQSender interval histograms: values in microseconds, Interval_Max in "
                 "milliseconds; in a paced run untagged from the scheduled send, Tag=uncorrected "
                 "from the actual send\n"
                 "#[Histogram log format version 1.3]\n"
                 "#[StartTime: %.3f (seconds since epoch), %s]\n"
                 "#[BaseTime: %.3f (seconds since epoch)]\n"
                 "\"StartTimestamp\",\"Interval_Length\",\"Interval_Max\","
                 "\"Interval_Compressed_Histogram\"\n",
                 seconds, date, seconds);
    std::fflush(m_file.get());
}

void Writer::interval(const results::RunRecord::Interval& i) {
    if (m_file == nullptr) {
        return;
    }
    line(nullptr, i, i.latency);
    if (i.uncorrected) {
        line("uncorrected", i, *i.uncorrected);
    }
    std::fflush(m_file.get());
}

void Writer::line(const char* tag, const results::RunRecord::Interval& i,
                  const latency::Histogram::Snapshot& s) {
    std::fprintf(m_file.get(), "%s%s%s%.3f,%.3f,%.3f,%s\n", tag != nullptr ? "Tag=" : "",
                 tag != nullptr ? tag : "", tag != nullptr ? "," : "", i.startSeconds,
                 i.lengthSeconds, static_cast<double>(s.totals.max) / 1000.0,
                 compressedBase64(s).c_str());
}

}  // namespace hdrlog
