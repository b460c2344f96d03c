// xomq-compare on both sides of each tolerance, with the options that move
// them, on a run against itself, on fleets, and on what it must refuse.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Compare.h"
#include "ResultFile.h"
#include "RunRecord.h"

namespace {

namespace fs = std::filesystem;

// A completed run of 1000 requests at rate msg/s whose p50 and p90 are p50
// and whose p99 and max are p99 (both below 2048, so exact).
std::string resultText(double rate, uint64_t p50, uint64_t p99, double sendRate = 0,
                       uint32_t code = 0) {
    results::RunRecord r;
    r.settings.service = "svc";
    r.settings.sendAmount = 1000;
    r.settings.latencyHistogram = true;
    r.settings.sendRate = sendRate;
    r.resultCode = code;
    r.count = 1000;
    r.totalMicros = static_cast<uint64_t>(1000 / rate * 1e6 + 0.5);
    latency::Histogram& h = r.histogram.emplace();
    for (int i = 0; i < 1000; ++i) {
        h.record(i < 980 ? p50 : p99);
    }
    if (sendRate > 0) {
        r.pacing.emplace();
    }
    return results::toJson(r);
}

std::string fleetText(double rate, uint64_t p99, int failures = 0) {
    nlohmann::ordered_json f = {{"format", "xomq-fleet-1"},
                                {"senders", 2},
                                {"rate", rate},
                                {"p50_us", 100},
                                {"p99_us", p99},
                                {"failures", nlohmann::ordered_json::array()},
                                {"settings", {{"send_amount", 1000}, {"send_rate", 0.0}}}};
    for (int i = 0; i < failures; ++i) {
        f["failures"].push_back({{"sender", i + 1}});
    }
    return f.dump();
}

class Compare : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("xomq-compare-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string file(const std::string& name, const std::string& text) {
        const std::string path = (m_dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    int compare(std::vector<std::string> args) {
        m_out.clear();
        m_err.clear();
        return xocompare::run(args, &m_out, &m_err);
    }

    fs::path m_dir;
    std::string m_out;
    std::string m_err;
};

TEST_F(Compare, JudgesEachToleranceOnBothSides) {
    const std::string base = file("base.json", resultText(1000, 100, 1000));
    const struct {
        const char* name;
        std::string next;
        std::vector<std::string> options;
        int status;
        const char* says;
    } cases[] = {
        {"itself", resultText(1000, 100, 1000), {}, 0, "NEW is within the tolerances of BASE"},
        {"rate 4 % down", resultText(960, 100, 1000), {}, 0, "| -4.0 % | -5.0 % | ok |"},
        {"rate 6 % down", resultText(940, 100, 1000), {}, 1, "rate down 6.0 % (more than 5.0 %)"},
        {"rate 6 % down, 10 % allowed",
         resultText(940, 100, 1000),
         {"--rate-tolerance", "10"},
         0,
         "| -10.0 % | ok |"},
        {"p99 9 % up", resultText(1000, 100, 1090), {}, 0, "| +9.0 % | +10.0 % | ok |"},
        {"p99 11 % up", resultText(1000, 100, 1110), {}, 1, "p99_us up 11.0 % (more than 10.0 %)"},
        {"p99 not judged",
         resultText(1000, 100, 1500),
         {"--p99-tolerance", "off"},
         0,
         "| +50.0 % | - |  |"},
        {"p50 up, shown only", resultText(1000, 106, 1000), {}, 0, "| p50 (us) | 100 | 106 |"},
        {"p50 up, judged",
         resultText(1000, 106, 1000),
         {"--p50-tolerance", "5"},
         1,
         "p50_us up 6.0 % (more than 5.0 %)"},
        {"faster is fine", resultText(2000, 50, 500), {}, 0, "| +100.0 % |"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.options;
        args.push_back(base);
        args.push_back(file("new.json", c.next));
        EXPECT_EQ(compare(args), c.status) << m_out << m_err;
        EXPECT_NE(m_out.find(c.says), std::string::npos) << m_out;
    }
}

TEST_F(Compare, ListsTheSettingsThatDifferAndComparesAllTheSame) {
    const std::string base = file("base.json", resultText(1000, 100, 1000));
    const std::string paced = file("paced.json", resultText(1000, 100, 1000, 1000));
    EXPECT_EQ(compare({base, paced}), 0) << m_err;
    EXPECT_NE(m_out.find("settings that differ:\n  send_rate: 0.0 -> 1000.0\n"), std::string::npos)
        << m_out;
    EXPECT_NE(m_out.find("note: only NEW is paced"), std::string::npos) << m_out;
}

TEST_F(Compare, FleetsAreComparedLikeRuns) {
    const std::string base = file("base.json", fleetText(10000, 500));
    EXPECT_EQ(compare({base, file("same.json", fleetText(10000, 500))}), 0) << m_err;
    EXPECT_NE(m_out.find("(fleet.jsons)"), std::string::npos) << m_out;
    EXPECT_EQ(compare({base, file("slow.json", fleetText(9000, 500))}), 1) << m_err;
    EXPECT_NE(m_out.find("rate down 10.0 %"), std::string::npos) << m_out;
}

TEST_F(Compare, RefusesWhatItCannotCompareWithAReason) {
    const std::string good = file("good.json", resultText(1000, 100, 1000));
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {"missing file", {good, (m_dir / "none.json").string()}, "NEW "},
        {"not JSON", {good, file("text.json", "so it is 1000 messages/sec")}, "not JSON"},
        {"another JSON", {file("other.json", "{\"count\": 3}"), good}, "neither an XoMQSender"},
        {"a failed run",
         {good, file("failed.json", resultText(1000, 100, 1000, 0, 0x6057))},
         "the run did not complete (failed, result code 24663)"},
        {"a fleet with a failure",
         {file("f1.json", fleetText(100, 5)), file("f2.json", fleetText(100, 5, 1))},
         "1 of its senders failed"},
        {"different kinds",
         {good, file("fleet.json", fleetText(1000, 1000))},
         "BASE is a result file and NEW a fleet.json"},
        {"one file", {good}, "usage: xomq-compare"},
        {"a bad tolerance", {"--p99-tolerance", "-3", good, good}, "takes a percentage"},
        {"an unknown option", {"--p42-tolerance", "3", good, good}, "unknown option"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(compare(c.args), 2) << m_out;
        EXPECT_NE(m_err.find(c.reason), std::string::npos) << m_err;
    }
}

}  // namespace
