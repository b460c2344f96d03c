#include "Compare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "ResultFile.h"
#include "RunRecord.h"

namespace xocompare {

namespace {

using Json = nlohmann::ordered_json;

const char kUsage[] =
    "usage: xomq-compare [--rate-tolerance P] [--p50-tolerance P] [--p90-tolerance P]\n"
    "                    [--p99-tolerance P] [--p999-tolerance P] [--p9999-tolerance P]\n"
    "                    [--max-tolerance P] BASE NEW\n"
    "\n"
    "Compares two XoMQSender result files (resultFile), or two fleet.json files of\n"
    "scripts/fleet.sh: rate and latency percentiles side by side with the change in\n"
    "percent, and the settings that differ. NEW is worse when its rate is more than\n"
    "the rate tolerance below BASE's (default 5 %), or a percentile more than its\n"
    "tolerance above BASE's (p99: default 10 %; the others are shown, and judged only\n"
    "when given a tolerance). P is a percentage, or \"off\" to judge that figure not.\n"
    "Exit status: 0 NEW within the tolerances, 1 NEW worse, 2 bad arguments, a file\n"
    "that cannot be read, files of different kinds, or a run that did not complete.\n";

// A figure of the table: its name, where it is, which way is better, and its
// tolerance in percent when it is judged.
struct Figure {
    const char* name;
    const char* option;
    const char* key;  // the top-level key of both kinds of file
    bool higherIsBetter;
    std::optional<double> tolerance;
};

// What one file offers to the comparison.
struct Run {
    std::string kind;  // "result file" or "fleet.json"
    Json settings;
    Json figures;  // key -> number, of those present
    bool paced = false;
};

bool readText(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::stringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

void take(const Json& j, const std::vector<Figure>& figures, Run* run) {
    for (const Figure& f : figures) {
        if (j.contains(f.key) && j.at(f.key).is_number()) {
            run->figures[f.key] = j.at(f.key);
        }
    }
}

// Reads path into *run; false with the reason.
bool load(const std::string& path, const std::vector<Figure>& figures, Run* run, std::string* why) {
    std::string text;
    if (!readText(path, &text)) {
        *why = "cannot read it";
        return false;
    }
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *why = "not JSON";
        return false;
    }
    const std::string format = j.value("format", "");
    if (format == "xomq-result-1") {
        results::RunRecord r;
        if (!results::fromJson(text, &r, why)) {
            return false;
        }
        if (r.outcome() != results::RunRecord::Outcome::kCompleted) {
            *why = std::string("the run did not complete (") + results::outcomeName(r.outcome()) +
                   ", result code " + std::to_string(r.resultCode) + ")";
            return false;
        }
        run->kind = "result file";
        run->settings = j.value("settings", Json::object());
        run->paced = r.settings.paced();
        take(j, figures, run);
        return true;
    }
    if (format == "xomq-fleet-1") {
        const Json failures = j.value("failures", Json::array());
        if (!failures.empty()) {
            *why = std::to_string(failures.size()) + " of its senders failed";
            return false;
        }
        run->kind = "fleet.json";
        run->settings = j.value("settings", Json::object());
        run->settings["senders"] = j.value("senders", Json());
        run->paced = run->settings.value("send_rate", 0.0) > 0;
        take(j, figures, run);
        return true;
    }
    *why = "neither an XoMQSender result file nor a fleet.json of scripts/fleet.sh";
    return false;
}

std::string number(const Json& v) {
    char text[64];
    if (v.is_number_integer() || v.is_number_unsigned()) {
        return v.dump();
    }
    std::snprintf(text, sizeof text, "%.1f", v.get<double>());
    return text;
}

std::string percent(double p) {
    if (std::isinf(p)) {
        return p > 0 ? "+inf %" : "-inf %";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%+.1f %%", p);
    return text;
}

bool parseTolerance(const std::string& text, std::optional<double>* out) {
    if (text == "off") {
        out->reset();
        return true;
    }
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0) || std::isinf(v)) {
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

int run(const std::vector<std::string>& args, std::string* out, std::string* err) {
    std::vector<Figure> figures = {
        {"rate (msg/s)", "--rate-tolerance", "rate", true, 5.0},
        {"p50 (us)", "--p50-tolerance", "p50_us", false, std::nullopt},
        {"p90 (us)", "--p90-tolerance", "p90_us", false, std::nullopt},
        {"p99 (us)", "--p99-tolerance", "p99_us", false, 10.0},
        {"p99.9 (us)", "--p999-tolerance", "p999_us", false, std::nullopt},
        {"p99.99 (us)", "--p9999-tolerance", "p9999_us", false, std::nullopt},
        {"max (us)", "--max-tolerance", "max_us", false, std::nullopt},
    };
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            *out = kUsage;
            return 0;
        }
        bool known = false;
        for (Figure& f : figures) {
            if (a == f.option) {
                known = true;
                if (i + 1 >= args.size() || !parseTolerance(args[i + 1], &f.tolerance)) {
                    *err = "xomq-compare: " + a + " takes a percentage or \"off\"\n\n" + kUsage;
                    return 2;
                }
                ++i;
            }
        }
        if (known) {
            continue;
        }
        if (a.compare(0, 2, "--") == 0) {
            *err = "xomq-compare: unknown option " + a + "\n\n" + kUsage;
            return 2;
        }
        files.push_back(a);
    }
    if (files.size() != 2) {
        *err = kUsage;
        return 2;
    }

    Run base;
    Run next;
    const char* const names[] = {"BASE", "NEW"};
    Run* const runs[] = {&base, &next};
    for (int k = 0; k < 2; ++k) {
        std::string why;
        if (!load(files[static_cast<size_t>(k)], figures, runs[k], &why)) {
            *err = std::string("xomq-compare: ") + names[k] + " " + files[static_cast<size_t>(k)] +
                   ": " + why + "\n";
            return 2;
        }
    }
    if (base.kind != next.kind) {
        *err = "xomq-compare: BASE is a " + base.kind + " and NEW a " + next.kind +
               ": compare files of one kind\n";
        return 2;
    }
    for (const Figure& f : figures) {
        if (f.tolerance && base.figures.contains(f.key) != next.figures.contains(f.key)) {
            *err = std::string("xomq-compare: ") + (base.figures.contains(f.key) ? "NEW" : "BASE") +
                   " has no " + f.key +
                   " (a run without latencyHistogram = 1?), which is to be judged\n";
            return 2;
        }
    }

    std::ostringstream o;
    o << "BASE " << files[0] << "\nNEW  " << files[1] << " (" << base.kind << "s)\n";
    // The settings that differ, each once, in BASE's order and then NEW's.
    Json keys = Json::array();
    for (const auto& s : {base.settings, next.settings}) {
        for (auto it = s.begin(); it != s.end(); ++it) {
            if (std::find(keys.begin(), keys.end(), it.key()) == keys.end()) {
                keys.push_back(it.key());
            }
        }
    }
    bool anyDiffers = false;
    for (const Json& k : keys) {
        const std::string key = k.get<std::string>();
        const Json a = base.settings.value(key, Json());
        const Json b = next.settings.value(key, Json());
        if (a != b) {
            if (!anyDiffers) {
                o << "settings that differ:\n";
                anyDiffers = true;
            }
            o << "  " << key << ": " << (a.is_null() ? "-" : a.dump()) << " -> "
              << (b.is_null() ? "-" : b.dump()) << "\n";
        }
    }
    if (base.paced != next.paced) {
        o << "note: only " << (base.paced ? "BASE" : "NEW")
          << " is paced: its latency is measured from the scheduled send, the other's from the "
             "actual send\n";
    }

    o << "\n| figure | BASE | NEW | change | tolerance | verdict |\n"
         "|---|---:|---:|---:|---:|---|\n";
    std::vector<std::string> worse;
    for (const Figure& f : figures) {
        if (!base.figures.contains(f.key) && !next.figures.contains(f.key)) {
            continue;
        }
        const bool both = base.figures.contains(f.key) && next.figures.contains(f.key);
        std::string change = "-";
        std::string verdict = f.tolerance ? "ok" : "";
        std::string limit = "-";
        if (f.tolerance) {
            limit = percent(f.higherIsBetter ? -*f.tolerance : *f.tolerance);
        }
        if (both) {
            const double a = base.figures[f.key].get<double>();
            const double b = next.figures[f.key].get<double>();
            const double p =
                a != 0 ? (b - a) / a * 100.0 : (b == 0 ? 0.0 : (b > 0 ? HUGE_VAL : -HUGE_VAL));
            change = percent(p);
            const bool beyond =
                f.tolerance && (f.higherIsBetter ? p < -*f.tolerance : p > *f.tolerance);
            if (beyond) {
                verdict = "WORSE";
                worse.push_back(std::string(f.key) + " " + (f.higherIsBetter ? "down " : "up ") +
                                percent(std::fabs(p)).substr(1) + " (more than " +
                                percent(*f.tolerance).substr(1) + ")");
            }
        }
        o << "| " << f.name << " | "
          << (base.figures.contains(f.key) ? number(base.figures[f.key]) : "-") << " | "
          << (next.figures.contains(f.key) ? number(next.figures[f.key]) : "-") << " | " << change
          << " | " << limit << " | " << verdict << " |\n";
    }
    if (worse.empty()) {
        o << "\nNEW is within the tolerances of BASE\n";
    } else {
        o << "\nNEW is worse than BASE:";
        for (size_t i = 0; i < worse.size(); ++i) {
            o << (i == 0 ? " " : "; ") << worse[i];
        }
        o << "\n";
    }
    *out = o.str();
    return worse.empty() ? 0 : 1;
}

}  // namespace xocompare
