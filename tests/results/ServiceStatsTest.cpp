// Readings of a service's statistics and what its instances counted between
// two of them.
#include <gtest/gtest.h>

#include <string>

#include "ServiceStats.h"

namespace {

std::string response(const char* id, const char* endpoints) {
    return std::string("{\"type\":\"io.nats.micro.v1.stats_response\",\"id\":\"") + id +
           "\",\"endpoints\":[" + endpoints + "]}";
}

std::string endpoint(const char* name, int requests, int errors, const char* processing) {
    return std::string("{\"name\":\"") + name + "\",\"num_requests\":" + std::to_string(requests) +
           ",\"num_errors\":" + std::to_string(errors) + ",\"processing_time\":" + processing + "}";
}

TEST(ServiceStats, ReadingsCountTheEndpointOfTheRunPerInstance) {
    const std::string before =
        "[" +
        response("A", (endpoint("a", 10, 1, "1000") + "," + endpoint("b", 5, 0, "50")).c_str()) +
        "," + response("B", endpoint("a", 7, 0, "700").c_str()) + "]";
    const std::string after =
        "[" +
        response("A", (endpoint("a", 70, 3, "61000") + "," + endpoint("b", 9, 0, "90")).c_str()) +
        "," + response("B", endpoint("a", 2, 0, "2000.4").c_str()) + "," +
        response("C", endpoint("a", 20, 0, "20000").c_str()) + "]";

    results::StatsReading b;
    results::StatsReading a;
    std::string error;
    ASSERT_TRUE(results::readStats(before, "a", &b, &error)) << error;
    ASSERT_TRUE(results::readStats(after, "a", &a, &error)) << error;
    const results::ServiceStats s = results::countedBetween(b, a);
    ASSERT_EQ(s.instances.size(), 3u);
    // A counted 60 more; B started again (fewer than before): all of it; C is new.
    EXPECT_EQ(s.instances[0].id, "A");
    EXPECT_EQ(s.instances[0].requests, 60u);
    EXPECT_EQ(s.instances[0].errors, 2u);
    EXPECT_EQ(s.instances[0].processingNs, 60000u);
    EXPECT_EQ(s.instances[1].requests, 2u);
    EXPECT_EQ(s.instances[1].processingNs, 2000u);
    EXPECT_EQ(s.instances[2].requests, 20u);
    EXPECT_EQ(s.requests(), 82u);
    EXPECT_DOUBLE_EQ(*s.meanProcessingMicros(), 82000.0 / 82 / 1000);

    // Without an endpoint name every endpoint of an instance counts.
    ASSERT_TRUE(results::readStats(before, "", &b, &error)) << error;
    EXPECT_EQ(b["A"].requests, 15u);
    EXPECT_FALSE(results::ServiceStats().meanProcessingMicros().has_value());
}

TEST(ServiceStats, RefusesWhatIsNoArrayOfStatsResponses) {
    for (const std::string& bad :
         {std::string("{}"), std::string("not json"), std::string("[{\"endpoints\":[]}]"),
          "[" + response("A", endpoint("a", -1, 0, "0").c_str()) + "]",
          "[" + response("A", endpoint("a", 1, 0, "\"10\"").c_str()) + "]"}) {
        results::StatsReading r;
        std::string error;
        EXPECT_FALSE(results::readStats(bad, "", &r, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
