#include "LatencyHistogram.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace latency {

namespace {

int bucketOf(uint32_t index) {
    return index < Histogram::kSubBucketCount
               ? 0
               : static_cast<int>(index / Histogram::kSubBucketHalf) - 1;
}

}  // namespace

Histogram::Histogram() : m_counts(slots(), 0) {}

size_t Histogram::slots() {
    // Up to the end of the bucket that holds the highest value.
    const uint32_t last = indexOf(kHighest);
    return static_cast<size_t>(bucketOf(last) + 2) * kSubBucketHalf;
}

uint64_t Histogram::lowestOf(uint32_t index) {
    const int bucket = bucketOf(index);
    const uint64_t sub = index - static_cast<uint32_t>(bucket) * kSubBucketHalf;
    return sub << bucket;
}

uint64_t Histogram::highestOf(uint32_t index) {
    return lowestOf(index) + (uint64_t{1} << bucketOf(index)) - 1;
}

void Histogram::reset() {
    // The counts add up to the total, so with none recorded they are all 0
    // already: an empty interval costs no walk over the array.
    if (m_total != 0) {
        std::fill(m_counts.begin(), m_counts.end(), 0);
    }
    m_total = 0;
    m_min = UINT64_MAX;
    m_max = 0;
    m_sum = 0;
    m_sumSquares = 0;
}

void Histogram::merge(const Histogram& other) {
    if (other.m_total == 0) {
        return;
    }
    for (size_t i = 0; i < m_counts.size(); ++i) {
        m_counts[i] += other.m_counts[i];
    }
    m_total += other.m_total;
    m_sum += other.m_sum;
    m_sumSquares += other.m_sumSquares;
    m_min = other.m_min < m_min ? other.m_min : m_min;
    m_max = other.m_max > m_max ? other.m_max : m_max;
}

double Histogram::mean() const {
    return m_total == 0 ? 0.0 : static_cast<double>(m_sum) / static_cast<double>(m_total);
}

double Histogram::stddev() const {
    if (m_total == 0) {
        return 0.0;
    }
    const double n = static_cast<double>(m_total);
    const double m = mean();
    const double variance = m_sumSquares / n - m * m;
    return variance > 0 ? std::sqrt(variance) : 0.0;
}

uint64_t Histogram::valueAtPercentile(double percent) const {
    uint64_t value = 0;
    valuesAtPercentiles(&percent, &value, 1);
    return value;
}

void Histogram::valuesAtPercentiles(const double* percents, uint64_t* values, size_t n) const {
    size_t next = 0;
    if (m_total == 0) {
        for (; next < n; ++next) {
            values[next] = 0;
        }
        return;
    }
    for (; next < n && percents[next] <= 0; ++next) {
        values[next] = min();
    }
    // The rank of the value asked for, as in a sorted list of all values.
    // The product can come out one ulp above a whole number (99.9 % of 1000
    // as 999.0000000000001); that ulp is taken off before rounding up, as
    // HdrHistogram does, so that the rank is 999 and not 1000.
    const auto rankOf = [this](double percent) {
        const double p = percent > 100 ? 100 : percent;
        const double x = p / 100.0 * static_cast<double>(m_total);
        const double ulp = std::nextafter(x, HUGE_VAL) - x;
        const uint64_t rank = static_cast<uint64_t>(std::ceil(x - ulp));
        return rank < 1 ? 1 : (rank > m_total ? m_total : rank);
    };
    uint64_t seen = 0;
    size_t i = 0;  // the next sub-bucket to count
    for (; next < n; ++next) {
        const uint64_t rank = rankOf(percents[next]);
        while (seen < rank && i < m_counts.size()) {
            seen += m_counts[i++];
        }
        if (seen < rank) {
            values[next] = m_max;
            continue;
        }
        // The sub-bucket that reached the rank: the last one counted (also
        // for a rank an earlier percentile had already reached).
        const uint64_t high = highestOf(static_cast<uint32_t>(i - 1));
        values[next] = high < m_max ? high : m_max;
    }
}

Histogram::Summary Histogram::summary() const {
    static const double kPercents[] = {50, 90, 99, 99.9, 99.99};
    uint64_t at[5];
    valuesAtPercentiles(kPercents, at, 5);
    Summary s;
    s.min = min();
    s.p50 = at[0];
    s.p90 = at[1];
    s.p99 = at[2];
    s.p999 = at[3];
    s.p9999 = at[4];
    s.max = max();
    s.mean = mean();
    s.stddev = stddev();
    return s;
}

std::vector<std::pair<uint32_t, uint64_t>> Histogram::buckets() const {
    std::vector<std::pair<uint32_t, uint64_t>> out;
    for (size_t i = 0; i < m_counts.size(); ++i) {
        if (m_counts[i] != 0) {
            out.emplace_back(static_cast<uint32_t>(i), m_counts[i]);
        }
    }
    return out;
}

Histogram::Totals Histogram::totals() const {
    Totals t;
    t.count = m_total;
    t.min = min();
    t.max = m_max;
    t.sum = m_sum;
    t.sumSquares = m_sumSquares;
    return t;
}

bool Histogram::restore(const std::vector<std::pair<uint32_t, uint64_t>>& buckets,
                        const Totals& totals) {
    reset();
    if (!consistent(buckets, totals)) {
        return false;
    }
    for (const auto& b : buckets) {
        m_counts[b.first] += b.second;
    }
    m_total = totals.count;
    m_min = totals.count == 0 ? UINT64_MAX : totals.min;
    m_max = totals.max;
    m_sum = totals.sum;
    m_sumSquares = totals.sumSquares;
    return true;
}

}  // namespace latency

namespace latency {

void Histogram::Snapshot::add(const Snapshot& other) {
    if (other.totals.count == 0) {
        return;
    }
    std::vector<std::pair<uint32_t, uint64_t>> sum;
    sum.reserve(buckets.size() + other.buckets.size());
    size_t i = 0;
    size_t j = 0;
    while (i < buckets.size() || j < other.buckets.size()) {
        if (j == other.buckets.size() ||
            (i < buckets.size() && buckets[i].first < other.buckets[j].first)) {
            sum.push_back(buckets[i++]);
        } else if (i == buckets.size() || other.buckets[j].first < buckets[i].first) {
            sum.push_back(other.buckets[j++]);
        } else {
            sum.emplace_back(buckets[i].first, buckets[i].second + other.buckets[j].second);
            ++i;
            ++j;
        }
    }
    buckets = std::move(sum);
    const bool empty = totals.count == 0;
    totals.min = empty || other.totals.min < totals.min ? other.totals.min : totals.min;
    totals.max = other.totals.max > totals.max ? other.totals.max : totals.max;
    totals.count += other.totals.count;
    totals.sum += other.totals.sum;
    totals.sumSquares += other.totals.sumSquares;
}

Histogram::Snapshot Histogram::snapshot() const {
    Snapshot s;
    if (m_total != 0) {
        s.buckets = buckets();
    }
    s.totals = totals();
    return s;
}

bool Histogram::consistent(const std::vector<std::pair<uint32_t, uint64_t>>& buckets,
                           const Totals& totals) {
    uint64_t counted = 0;
    for (const auto& b : buckets) {
        if (b.first >= slots() || b.second > UINT64_MAX - counted) {
            return false;
        }
        counted += b.second;
    }
    return counted == totals.count && (counted == 0 || totals.min <= totals.max);
}

}  // namespace latency
