#include "framework/measure.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

// printf-style formatting of one number; every format used here fits easily in 64 bytes.
std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Share of `part` in `whole` in percent; 0 when the whole is 0 (only zero-length intervals),
// where the quotient would be NaN.
double percent(double part, double whole) { return whole > 0.0 ? part * 100.0 / whole : 0.0; }

}  // namespace

Measure::Measure() : frequency_(Clock::period::den / Clock::period::num) {}

int64_t Measure::counter() { return static_cast<int64_t>(Clock::now().time_since_epoch().count()); }

void Measure::record(const std::string& name, int64_t start, int64_t end) {
    std::lock_guard<std::mutex> guard(lock_);
    table_[name].emplace_back(start, end);
}

Measure::Scope::Scope(Measure& measure, std::string name)
    : measure_(measure), name_(std::move(name)), start_(measure.counter()) {}

Measure::Scope::~Scope() { measure_.record(name_, start_, measure_.counter()); }

std::string Measure::report() {
    struct Line {
        const std::string* name;
        double total;    // seconds
        double longest;  // seconds
    };
    std::lock_guard<std::mutex> guard(lock_);
    const double frequency = static_cast<double>(frequency_);
    std::vector<Line> lines;
    lines.reserve(table_.size());
    for (const auto& [name, intervals] : table_) {
        Line line{&name, 0.0, 0.0};
        for (const auto& [start, end] : intervals) {
            const double seconds = static_cast<double>(end - start) / frequency;
            line.total += seconds;
            line.longest = std::max(line.longest, seconds);
        }
        lines.push_back(line);
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const Line& a, const Line& b) { return a.total < b.total; });

    double grand_longest = 0.0;
    double grand_total = 0.0;
    for (const Line& line : lines) {
        grand_longest += line.longest;
        grand_total += line.total;
    }

    // VERBATIM: the report's layout ("summ:", the widths) is what timing logs are parsed by.
    std::string text = "[Measure]\n";
    for (const Line& line : lines) {
        text += format("%7.3fs", line.longest);
        text += " (" + format("%5.1f", percent(line.longest, grand_longest)) + "%) | summ:";
        text += format("%7.3fs", line.total);
        text += " (" + format("%5.1f", percent(line.total, grand_total)) + "%) - ";
        text += *line.name;
        text += '\n';
    }
    text += "-------------------------\n";
    text += format("%7.3fs", grand_longest) + " (100.0%) | summ:";
    text += format("%7.3fs", grand_total) + " (100.0%)";
    return text;
}
