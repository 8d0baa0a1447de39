#include "framework/measure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Ticks for a duration in seconds, at the measure's own frequency.
int64_t ticks(const Measure& measure, double seconds) {
    return static_cast<int64_t>(seconds * static_cast<double>(measure.frequency()));
}

TEST(MeasureReport, OneEntryWithTwoIntervals) {
    Measure measure;
    measure.record("name", 1000, 1000 + ticks(measure, 0.5));
    measure.record("name", 5000, 5000 + ticks(measure, 1.5));
    EXPECT_EQ(measure.report(),
              "[Measure]\n"
              "  1.500s (100.0%) | summ:  2.000s (100.0%) - name\n"
              "-------------------------\n"
              "  1.500s (100.0%) | summ:  2.000s (100.0%)");
}

TEST(MeasureReport, EntriesSortedByTotalWithShares) {
    Measure measure;
    measure.record("a", 0, ticks(measure, 3.0));
    measure.record("b", 0, ticks(measure, 0.25));
    measure.record("b", 0, ticks(measure, 0.75));
    measure.record("c", 0, ticks(measure, 2.0));
    // longest sum 5.75 s, total sum 6 s: b 0.75/5.75 = 13.04 %, 1/6 = 16.67 %; c 2/5.75 =
    // 34.78 %, 2/6 = 33.33 %; a 3/5.75 = 52.17 %, 3/6 = 50 %.
    EXPECT_EQ(measure.report(),
              "[Measure]\n"
              "  0.750s ( 13.0%) | summ:  1.000s ( 16.7%) - b\n"
              "  2.000s ( 34.8%) | summ:  2.000s ( 33.3%) - c\n"
              "  3.000s ( 52.2%) | summ:  3.000s ( 50.0%) - a\n"
              "-------------------------\n"
              "  5.750s (100.0%) | summ:  6.000s (100.0%)");
}

TEST(MeasureReport, EqualTotalsKeepNameOrder) {
    Measure measure;
    measure.record("y", 0, ticks(measure, 1.0));
    measure.record("x", 0, ticks(measure, 1.0));
    const std::string report = measure.report();
    EXPECT_LT(report.find("- x\n"), report.find("- y\n"));
}

TEST(MeasureReport, ReportLeavesTableUnchanged) {
    Measure measure;
    measure.record("kernel", 0, ticks(measure, 0.125));
    const std::string first = measure.report();
    EXPECT_EQ(measure.report(), first);
    measure.record("kernel", 0, ticks(measure, 0.125));
    EXPECT_NE(measure.report().find("summ:  0.250s"), std::string::npos);
}

TEST(MeasureReport, EmptyTable) {
    Measure measure;
    EXPECT_EQ(measure.report(),
              "[Measure]\n"
              "-------------------------\n"
              "  0.000s (100.0%) | summ:  0.000s (100.0%)");
}

TEST(MeasureReport, ZeroLengthIntervalsGiveZeroSharesNotNan) {
    Measure measure;
    measure.record("instant", 42, 42);
    EXPECT_EQ(measure.report(),
              "[Measure]\n"
              "  0.000s (  0.0%) | summ:  0.000s (  0.0%) - instant\n"
              "-------------------------\n"
              "  0.000s (100.0%) | summ:  0.000s (100.0%)");
}

TEST(MeasureScope, RecordsTheScopedWallTime) {
    Measure measure;
    ASSERT_GT(measure.frequency(), 0);
    {
        Measure::Scope scope(measure, "sleep");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    const std::string report = measure.report();
    double longest = 0.0;
    double total = 0.0;
    ASSERT_EQ(std::sscanf(report.c_str(), "[Measure]\n%lfs (%*f%%) | summ:%lfs", &longest, &total),
              2)
        << report;
    EXPECT_GE(longest, 0.029);
    EXPECT_EQ(longest, total);
    EXPECT_NE(report.find("- sleep\n"), std::string::npos);
}

TEST(MeasureScope, ConcurrentRecordsAllArrive) {
    Measure measure;
    const int64_t tenth = ticks(measure, 0.1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) measure.record("work", 0, tenth);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_NE(measure.report().find("  0.100s (100.0%) | summ: 10.000s (100.0%) - work\n"),
              std::string::npos);
}

}  // namespace
