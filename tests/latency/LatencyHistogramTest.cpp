// The latency histogram against exact percentiles of sorted samples, on
// skewed data like a real run's (a narrow body and a long tail), its merge,
// and its written form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "LatencyHistogram.h"

namespace {

using latency::Histogram;

// Round trips around 200 us, a tail to a few milliseconds, and rare stalls of
// seconds up to beyond the hour the histogram covers.
std::vector<uint64_t> skewedSamples(unsigned seed, size_t n) {
    std::mt19937_64 rng(seed);
    std::lognormal_distribution<double> body(std::log(200.0), 0.25);
    std::exponential_distribution<double> tail(1.0 / 1500.0);
    std::uniform_int_distribution<int> pick(0, 9999);
    std::vector<uint64_t> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const int p = pick(rng);
        double v = body(rng);
        if (p < 200) {
            v += tail(rng);
        } else if (p < 203) {
            v = 2e6 + static_cast<double>(p) * 1e6;  // stalls of seconds
        }
        out.push_back(static_cast<uint64_t>(v));
    }
    out.push_back(0);
    out.push_back(7200000000ull);  // two hours: kept as one
    return out;
}

uint64_t exactPercentile(const std::vector<uint64_t>& sorted, double percent) {
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(sorted.size()));
    const size_t i = static_cast<size_t>(std::max(1.0, rank)) - 1;
    return std::min(sorted[i], Histogram::kHighest);
}

void expectWithinPrecision(const Histogram& h, const std::vector<uint64_t>& sorted) {
    for (const double p : {1.0, 50.0, 90.0, 99.0, 99.9, 99.99, 100.0}) {
        const uint64_t exact = exactPercentile(sorted, p);
        const uint64_t got = h.valueAtPercentile(p);
        EXPECT_GE(got, exact) << "p" << p;
        EXPECT_LE(got - exact, exact / 1024) << "p" << p << " exact " << exact;
    }
}

TEST(LatencyHistogram, PercentilesAreTheExactOnesWithinThreeSignificantDigits) {
    std::vector<uint64_t> samples = skewedSamples(7, 200000);
    Histogram h;
    double sum = 0;
    for (const uint64_t v : samples) {
        h.record(v);
        sum += static_cast<double>(std::min(v, Histogram::kHighest));
    }
    std::sort(samples.begin(), samples.end());
    EXPECT_EQ(h.count(), samples.size());
    EXPECT_EQ(h.min(), 0u);
    EXPECT_EQ(h.max(), Histogram::kHighest);
    EXPECT_NEAR(h.mean(), sum / static_cast<double>(samples.size()), 1e-6 * h.mean());
    expectWithinPrecision(h, samples);

    // Small values are exact; the sub-buckets tile the range without gaps.
    for (uint32_t i = 1; i < Histogram::slots(); ++i) {
        ASSERT_EQ(Histogram::lowestOf(i), Histogram::highestOf(i - 1) + 1) << i;
        ASSERT_EQ(Histogram::indexOf(Histogram::lowestOf(i)), i);
        ASSERT_EQ(Histogram::indexOf(Histogram::highestOf(i)), i);
    }
    EXPECT_EQ(Histogram::highestOf(1999), 1999u);
    EXPECT_GE(Histogram::highestOf(static_cast<uint32_t>(Histogram::slots() - 1)),
              Histogram::kHighest);

    const Histogram empty;
    EXPECT_EQ(empty.valueAtPercentile(50), 0u);
    EXPECT_EQ(empty.min(), 0u);
    EXPECT_EQ(empty.stddev(), 0.0);
}

// The one walk for a list of percentiles answers each as a query of its own
// would, also for repeated percentiles, ones in the same sub-bucket, and the
// ends (0 and below, 100 and above).
TEST(LatencyHistogram, SeveralPercentilesInOneWalkAreTheSingleAnswers) {
    Histogram h;
    for (const uint64_t v : skewedSamples(3, 20000)) {
        h.record(v);
    }
    const double percents[] = {-1,   0,    0.001, 1,      50,      50,  50.001, 90, 99,
                               99.9, 99.9, 99.99, 99.999, 99.9999, 100, 100,    250};
    const size_t n = sizeof percents / sizeof percents[0];
    uint64_t together[n];
    h.valuesAtPercentiles(percents, together, n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(together[i], h.valueAtPercentile(percents[i])) << "p" << percents[i];
    }
    EXPECT_EQ(together[0], h.min());
    EXPECT_EQ(together[n - 1], h.max());
    const Histogram::Summary s = h.summary();
    EXPECT_EQ(s.p50, h.valueAtPercentile(50));
    EXPECT_EQ(s.p9999, h.valueAtPercentile(99.99));
    EXPECT_EQ(s.max, h.max());

    const Histogram empty;
    empty.valuesAtPercentiles(percents, together, n);
    for (const uint64_t v : together) {
        EXPECT_EQ(v, 0u);
    }

    // 99.9 % of 1000 comes out of the floating point product as a hair above
    // 999; the rank is still the 999th value.
    Histogram thousand;
    for (uint64_t v = 1; v <= 1000; ++v) {
        thousand.record(v);
    }
    EXPECT_EQ(thousand.valueAtPercentile(99.9), 999u);
    EXPECT_EQ(thousand.valueAtPercentile(99.99), 1000u);
}

TEST(LatencyHistogram, MergedAndRestoredHistogramsEqualOneOfAllValues) {
    const std::vector<uint64_t> a = skewedSamples(1, 50000);
    const std::vector<uint64_t> b = skewedSamples(2, 30000);
    Histogram ha, hb, all;
    for (const uint64_t v : a) {
        ha.record(v);
        all.record(v);
    }
    for (const uint64_t v : b) {
        hb.record(v);
        all.record(v);
    }
    Histogram merged;
    merged.merge(ha);
    merged.merge(hb);
    EXPECT_EQ(merged.buckets(), all.buckets());
    EXPECT_EQ(merged.count(), all.count());
    EXPECT_EQ(merged.min(), all.min());
    EXPECT_EQ(merged.max(), all.max());
    EXPECT_DOUBLE_EQ(merged.mean(), all.mean());
    EXPECT_NEAR(merged.stddev(), all.stddev(), 1e-9 * all.stddev());
    // Snapshots add up the same way, an empty one included.
    Histogram::Snapshot added = Histogram().snapshot();
    added.add(ha.snapshot());
    added.add(Histogram().snapshot());
    added.add(hb.snapshot());
    EXPECT_EQ(added.buckets, all.buckets());
    EXPECT_EQ(added.totals.count, all.count());
    EXPECT_EQ(added.totals.min, all.min());
    EXPECT_EQ(added.totals.max, all.max());
    EXPECT_EQ(added.totals.sum, all.totals().sum);
    std::vector<uint64_t> sorted = a;
    sorted.insert(sorted.end(), b.begin(), b.end());
    std::sort(sorted.begin(), sorted.end());
    expectWithinPrecision(merged, sorted);

    // The written form reads back into the same histogram, and a form that
    // does not add up is refused.
    Histogram restored;
    ASSERT_TRUE(restored.restore(merged.buckets(), merged.totals()));
    EXPECT_EQ(restored.buckets(), merged.buckets());
    EXPECT_EQ(restored.valueAtPercentile(99.9), merged.valueAtPercentile(99.9));
    EXPECT_DOUBLE_EQ(restored.stddev(), merged.stddev());
    Histogram::Totals wrong = merged.totals();
    wrong.count += 1;
    EXPECT_FALSE(restored.restore(merged.buckets(), wrong));
    EXPECT_EQ(restored.count(), 0u);
    EXPECT_FALSE(restored.restore({{static_cast<uint32_t>(Histogram::slots()), 1}},
                                  Histogram::Totals{1, 5, 5, 5, 25}));
}

}  // namespace
