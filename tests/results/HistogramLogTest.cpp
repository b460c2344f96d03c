// The interval log read back by an independent decoder, hdr-histogram-js's
// own log reader under Node.js: every histogram's counts, index for index,
// its total, max and percentiles, its tag and its times are the ones the
// program wrote. The package is installed into the build tree with npm when
// it is not there yet; without Node.js or the package the test is skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "HistogramLog.h"
#include "LatencyHistogram.h"
#include "RunRecord.h"

namespace {

using latency::Histogram;
using Json = nlohmann::json;

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) {
    return static_cast<bool>(std::ifstream(path));
}

// The decoder's folder, installing the package there first when needed;
// "" (and the reason) when it cannot be had.
std::string decoderModules(std::string* why) {
    const std::string dir = XO_NPM_DIR;
    if (exists(dir + "/node_modules/hdr-histogram-js/package.json")) {
        return dir + "/node_modules";
    }
    const std::string install = "timeout 180 npm install --no-audit --no-fund --prefix '" + dir +
                                "' hdr-histogram-js@3.0.1 >'" + dir + ".log' 2>&1";
    if (std::system(install.c_str()) != 0 ||
        !exists(dir + "/node_modules/hdr-histogram-js/package.json")) {
        *why = "hdr-histogram-js could not be installed with npm (see " + dir + ".log)";
        return "";
    }
    return dir + "/node_modules";
}

Histogram histogramOf(const std::vector<uint64_t>& values) {
    Histogram h;
    for (const uint64_t v : values) {
        h.record(v);
    }
    return h;
}

// Round trips around 250 us with a tail into seconds: values in the exact
// first bucket and in coarse ones far up.
std::vector<uint64_t> spread(uint64_t seed, size_t n) {
    std::vector<uint64_t> out;
    uint64_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        const uint64_t r = x >> 33;
        out.push_back(r % 97 == 0 ? 3000 + r % 4000000 : 150 + r % 200);
    }
    return out;
}

void expectDecodedAs(const Json& d, const Histogram& h) {
    std::vector<std::pair<uint64_t, uint64_t>> ours;
    for (const auto& b : h.buckets()) {
        ours.emplace_back(Histogram::lowestOf(b.first), b.second);
    }
    std::vector<std::pair<uint64_t, uint64_t>> theirs;
    for (const Json& c : d["counts"]) {
        theirs.emplace_back(c[0].get<uint64_t>(), c[1].get<uint64_t>());
    }
    EXPECT_EQ(theirs, ours);
    EXPECT_EQ(d["count"].get<uint64_t>(), h.count());
    // HdrHistogram gives the top of the largest value's sub-bucket; ours
    // keeps the value itself, and so caps its percentiles there.
    const uint64_t top = h.count() == 0 ? 0 : Histogram::highestOf(Histogram::indexOf(h.max()));
    EXPECT_EQ(d["max"].get<uint64_t>(), top);
    const double percents[] = {50, 90, 99, 99.9, 99.99};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(h.valueAtPercentile(percents[i]),
                  std::min(d["percentiles"][i].get<uint64_t>(), h.max()))
            << "p" << percents[i];
    }
}

TEST(HistogramLog, HdrHistogramJsReadsBackEveryInterval) {
    if (std::system("node --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "Node.js is not installed: the log's decoder cannot run";
    }
    std::string why;
    const std::string modules = decoderModules(&why);
    if (modules.empty()) {
        GTEST_SKIP() << why;
    }

    // Three intervals: a busy one, an empty one and a short last one with a
    // single value, each with its uncorrected histogram.
    const std::vector<Histogram> scheduled = {histogramOf(spread(1, 5000)), Histogram(),
                                              histogramOf({0, 3600000000ull})};
    const std::vector<Histogram> actual = {histogramOf(spread(2, 5000)), Histogram(),
                                           histogramOf({1, 70})};
    const std::string path = std::string(XO_NPM_DIR) + "-test.hlog";
    const auto started =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1765300000123));
    {
        hdrlog::Writer log;
        ASSERT_TRUE(log.open(path, &why)) << why;
        log.start(started);
        for (size_t k = 0; k < scheduled.size(); ++k) {
            results::RunRecord::Interval i;
            i.startSeconds = static_cast<double>(k);
            i.lengthSeconds = k == 2 ? 0.25 : 1.0;
            i.latency = scheduled[k].snapshot();
            i.uncorrected = actual[k].snapshot();
            log.interval(i);
        }
    }

    const std::string out = path + ".json";
    const std::string read = "node '" XO_SOURCE_DIR "/tests/results/read-hlog.js' '" + modules +
                             "' '" + path + "' >'" + out + "' 2>&1";
    ASSERT_EQ(std::system(read.c_str()), 0) << readAll(out);
    const Json decoded = Json::parse(readAll(out));
    ASSERT_EQ(decoded.size(), 6u) << decoded.dump();
    for (size_t k = 0; k < scheduled.size(); ++k) {
        SCOPED_TRACE("interval " + std::to_string(k));
        const Json& untagged = decoded[2 * k];
        const Json& tagged = decoded[2 * k + 1];
        EXPECT_NE(untagged["tag"], "uncorrected");
        EXPECT_EQ(tagged["tag"], "uncorrected");
        expectDecodedAs(untagged, scheduled[k]);
        expectDecodedAs(tagged, actual[k]);
        // Times: from the log's base time, which is the timer's start.
        EXPECT_NEAR(untagged["start_ms"].get<double>(), 1765300000123.0 + 1000.0 * k, 1.0);
        EXPECT_NEAR(untagged["end_ms"].get<double>() - untagged["start_ms"].get<double>(),
                    k == 2 ? 250.0 : 1000.0, 1.0);
    }
    std::remove(path.c_str());
    std::remove(out.c_str());
}

}  // namespace
