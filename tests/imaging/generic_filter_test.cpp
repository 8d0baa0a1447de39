#include "imaging/generic_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "imaging/copy_image_filter.h"
#include "tests/support/padded_image.h"
#include "tests/support/test_host.h"
#include "framework/thread_pool.h"

namespace {

// Counts how often each row is processed and reports progress like the real filters.
class RowCountingFilter : public GenericFilter {
public:
    RowCountingFilter(QuillbrookHost* host_in, int32_t height)
        : GenericFilter(host_in), height_(height), visits_(size_t(height > 0 ? height : 0)) {}

    int32_t render(int32_t pass_index_in, int32_t pass_count_in) override {
        pass_index = pass_index_in;
        pass_count = pass_count_in;
        return run_items(height_);
    }

    int32_t process(int32_t y, int32_t item_count, int32_t thread_index) override {
        EXPECT_EQ(item_count, height_);
        EXPECT_GE(thread_index, 0);
        processed_.fetch_add(1);
        visits_[size_t(y)].fetch_add(1);
        return report_row(y, height_);
    }

    int32_t processed() const { return processed_.load(); }
    int32_t visits(int32_t y) const { return visits_[size_t(y)].load(); }

private:
    int32_t height_;
    std::vector<std::atomic<int32_t>> visits_;
    std::atomic<int32_t> processed_{0};
};

TEST(GenericFilter, HeightZeroRunsNoItem) {
    TestHost host(4);
    RowCountingFilter filter(&host, 0);
    EXPECT_EQ(filter.render(0, 1), host.noError());
    EXPECT_EQ(filter.processed(), 0);
    EXPECT_TRUE(host.reports().empty());

    PaddedImage<PixelRGBA8> src(4, 4);
    PaddedImage<PixelRGBA8> dst(4, 0);
    CopyImageFilter<PixelRGBA8, PixelRGBA8> copy(&host, src.array(), dst.array());
    EXPECT_EQ(copy.render(0, 1), host.noError());
    EXPECT_TRUE(host.reports().empty());
}

TEST(GenericFilter, EveryRowRunsOnceAndReportsItsPassShare) {
    for (int32_t threads : {1, 2, 5, 8}) {
        TestHost host(threads);
        RowCountingFilter filter(&host, 37);
        ASSERT_EQ(filter.render(1, 3), host.noError());
        for (int32_t y = 0; y < 37; ++y) ASSERT_EQ(filter.visits(y), 1) << "row " << y;
        std::vector<std::pair<int32_t, int32_t>> reports = host.reports();
        std::sort(reports.begin(), reports.end());
        ASSERT_EQ(reports.size(), 37u);
        for (int32_t y = 0; y < 37; ++y) {
            EXPECT_EQ(reports[size_t(y)].first, y + 37);
            EXPECT_EQ(reports[size_t(y)].second, 111);
        }
    }
}

TEST(GenericFilter, SingleThreadReportsInRowOrder) {
    TestHost host(1);
    PaddedImage<PixelRGBA16> src(3, 4);
    PaddedImage<PixelRGBA16> dst(3, 4);
    CopyImageFilter<PixelRGBA16, PixelRGBA16> copy(&host, src.array(), dst.array());
    ASSERT_EQ(copy.render(0, 1), host.noError());
    const std::vector<std::pair<int32_t, int32_t>> want = {{0, 4}, {1, 4}, {2, 4}, {3, 4}};
    EXPECT_EQ(host.reports(), want);
}

TEST(GenericFilter, CancelStopsEveryWorkerAndReturnsTheAbortStatus) {
    for (int32_t threads : {1, 2, 4, 8}) {
        const int32_t rows = 3000;
        int32_t processed = 0;
        size_t reports = 0;
        {
            TestHost host(threads);
            host.abortAfter(10);
            RowCountingFilter filter(&host, rows);
            EXPECT_EQ(filter.render(0, 1), host.abortError()) << threads << " threads";
            processed = filter.processed();
            reports = host.reports().size();
            // Each worker stops at its first refused report, so at most one more row per
            // worker than the reports that were answered with no-error.
            EXPECT_LE(processed, 10 + threads) << threads << " threads";
            EXPECT_EQ(size_t(processed), reports);
        }
        EXPECT_EQ(ThreadPool::liveWorkers(), 0);
        EXPECT_GE(processed, 11);
    }
}

TEST(GenericFilter, CancelDuringACopyLeavesLaterRowsUnwritten) {
    TestHost host(1);
    host.abortAfter(2);
    PaddedImage<PixelRGBA8> src(5, 6);
    src.fillPixels(9);
    PaddedImage<PixelRGBA8> dst(5, 6);
    dst.fillPixels(0);
    CopyImageFilter<PixelRGBA8, PixelRGBA8> copy(&host, src.array(), dst.array());
    EXPECT_EQ(copy.render(0, 1), host.abortError());
    // Rows 0 and 1 were answered, row 2 was written and then refused; the rest stay as they were.
    for (int32_t y = 0; y < 6; ++y)
        EXPECT_EQ(dst.at(4, y).channel[1], y <= 2 ? 9 : 0) << "row " << y;
}

}  // namespace
