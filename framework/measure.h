#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Adds up named wall-clock intervals of one command and formats them as a report.
class Measure {
public:
    Measure();

    // Reads the clock on creation and, when it ends, appends (start, end) to its name's list.
    class Scope {
    public:
        Scope(Measure& measure, std::string name);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Measure& measure_;
        std::string name_;
        int64_t start_;
    };

    // Clock in counter ticks; frequency() ticks per second.
    int64_t counter();
    int64_t frequency() const { return frequency_; }
    void record(const std::string& name, int64_t start, int64_t end);

    // "[Measure]" then one line per name, smallest total first; leaves the table unchanged.
    std::string report();

private:
    int64_t frequency_;
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> table_;
    std::mutex lock_;
};
