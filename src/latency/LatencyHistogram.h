// A log-linear histogram of round-trip times in microseconds, laid out as
// HdrHistogram lays them out: 2048 linear sub-buckets per power of two, so
// every value from 1 microsecond to 1 hour is kept with 3 significant
// digits (at most 1/1024 off), in a fixed array allocated up front. Recording
// never allocates and costs an index computation and an increment.
//
// Written here because Debian packages no C or C++ HDR histogram; this one
// does what the program needs: record, merge, value at a percentile, and a
// form that can be written out and read back (the non-empty buckets).
#ifndef XOMQ_LATENCY_LATENCYHISTOGRAM_H
#define XOMQ_LATENCY_LATENCYHISTOGRAM_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace latency {

class Histogram {
  public:
    // Values above this (1 hour) are recorded as this.
    static constexpr uint64_t kHighest = 3600000000ull;
    // 2^11 sub-buckets per bucket, half of them shared with the bucket below.
    static constexpr int kSubBucketBits = 11;
    static constexpr uint32_t kSubBucketCount = 1u << kSubBucketBits;
    static constexpr uint32_t kSubBucketHalf = kSubBucketCount / 2;

    Histogram();

    void record(uint64_t micros) {
        if (micros > kHighest) {
            micros = kHighest;
        }
        ++m_counts[indexOf(micros)];
        ++m_total;
        m_sum += micros;
        const double v = static_cast<double>(micros);
        m_sumSquares += v * v;
        if (micros < m_min) {
            m_min = micros;
        }
        if (micros > m_max) {
            m_max = micros;
        }
    }

    // Adds every value of other.
    void merge(const Histogram& other);
    // Back to empty, as constructed (the counts stay allocated).
    void reset();

    uint64_t count() const { return m_total; }
    uint64_t min() const { return m_total == 0 ? 0 : m_min; }
    uint64_t max() const { return m_max; }
    double mean() const;
    double stddev() const;

    // The value below or at which percent of the recorded values lie
    // (0 < percent <= 100), as the highest value of its sub-bucket, never
    // above the largest value recorded; the smallest one for percent <= 0;
    // 0 when nothing was recorded.
    uint64_t valueAtPercentile(double percent) const;
    // The same for n percentiles at once, in ascending order, in one walk
    // over the counts (as HdrHistogram_c's hdr_value_at_percentiles):
    // values[i] is valueAtPercentile(percents[i]).
    void valuesAtPercentiles(const double* percents, uint64_t* values, size_t n) const;

    // The figures a report shows, from one walk.
    struct Summary {
        uint64_t min = 0;
        uint64_t p50 = 0;
        uint64_t p90 = 0;
        uint64_t p99 = 0;
        uint64_t p999 = 0;
        uint64_t p9999 = 0;
        uint64_t max = 0;
        double mean = 0;
        double stddev = 0;
    };
    Summary summary() const;

    // ---- the written form ----
    // The non-empty sub-buckets as (index, count), lowest first.
    std::vector<std::pair<uint32_t, uint64_t>> buckets() const;
    // The exact totals besides the buckets.
    struct Totals {
        uint64_t count = 0;
        uint64_t min = 0;
        uint64_t max = 0;
        uint64_t sum = 0;
        double sumSquares = 0;
    };
    Totals totals() const;
    // Rebuilds a histogram from its written form; false (and the histogram
    // left empty) when an index is out of range or the counts do not add up
    // to totals.count.
    bool restore(const std::vector<std::pair<uint32_t, uint64_t>>& buckets, const Totals& totals);

    // The written form in one piece: what an interval of a run keeps of its
    // histogram (a few hundred buckets instead of the whole array).
    struct Snapshot {
        std::vector<std::pair<uint32_t, uint64_t>> buckets;
        Totals totals;

        // Adds every value of other, as merge does for histograms, without
        // the whole array: intervals of several runs add up this way.
        void add(const Snapshot& other);
    };
    Snapshot snapshot() const;
    bool restore(const Snapshot& s) { return restore(s.buckets, s.totals); }
    // Whether restore would take it: indexes in range, counts adding up.
    static bool consistent(const std::vector<std::pair<uint32_t, uint64_t>>& buckets,
                           const Totals& totals);
    static bool consistent(const Snapshot& s) { return consistent(s.buckets, s.totals); }

    // The range of values one sub-bucket holds.
    static uint64_t lowestOf(uint32_t index);
    static uint64_t highestOf(uint32_t index);
    static size_t slots();

    static uint32_t indexOf(uint64_t micros) {
        // The power of two the value lies in, counted from the first
        // bucket, which holds 0 to 2047 one by one.
        const int bucket = 63 - leadingZeros(micros | (kSubBucketCount - 1)) - (kSubBucketBits - 1);
        const uint32_t sub = static_cast<uint32_t>(micros >> bucket);
        return static_cast<uint32_t>(bucket) * kSubBucketHalf + sub;
    }

  private:
    static int leadingZeros(uint64_t v) {
#if defined(_MSC_VER)
        unsigned long index = 0;
        _BitScanReverse64(&index, v);
        return 63 - static_cast<int>(index);
#else
        return __builtin_clzll(v);
#endif
    }
    std::vector<uint64_t> m_counts;
    uint64_t m_total = 0;
    uint64_t m_min = UINT64_MAX;
    uint64_t m_max = 0;
    uint64_t m_sum = 0;
    double m_sumSquares = 0;
};

}  // namespace latency

#endif  // XOMQ_LATENCY_LATENCYHISTOGRAM_H
