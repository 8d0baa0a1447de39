#include "imaging/tiled_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "framework/logger.h"
#include "tests/support/test_host.h"
#include "framework/thread_pool.h"

namespace {

// Records which tiles ran, with their rectangles; reports progress after each tile. The
// tile `cancel_at` cancels the render while it is processed.
class RecordingTiledFilter : public TiledFilter {
public:
    RecordingTiledFilter(TestHost* host_in, int32_t rows, int32_t cols, int32_t width,
                         int32_t height)
        : TiledFilter(host_in), recording_host_(host_in), runs_(size_t(rows * cols)),
          rects_(size_t(rows * cols)) {
        tiles.rows = rows;
        tiles.cols = cols;
        tiles.width = width;
        tiles.height = height;
    }

    int32_t render(int32_t workers) { return run_tiles(workers); }

    int32_t runs(int32_t tile) const { return runs_[size_t(tile)].load(); }
    int32_t total_runs() const {
        int32_t n = 0;
        for (const auto& r : runs_) n += r.load();
        return n;
    }
    Rectangle rect(int32_t tile) {
        std::lock_guard<std::mutex> guard(lock_);
        return rects_[size_t(tile)];
    }

    int32_t started_after_cancel() const { return started_after_cancel_.load(); }

    int32_t cancel_at = -1;

protected:
    int32_t process_tile(int32_t tile, Rectangle tile_rect, int32_t thread_index) override {
        EXPECT_GE(thread_index, 0);
        if (recording_host_->cancelled()) started_after_cancel_.fetch_add(1);
        runs_[size_t(tile)].fetch_add(1);
        {
            std::lock_guard<std::mutex> guard(lock_);
            rects_[size_t(tile)] = tile_rect;
        }
        if (tile == cancel_at) recording_host_->cancel();
        return host->progress(tile, tiles.rows * tiles.cols);
    }

private:
    TestHost* recording_host_;
    std::vector<std::atomic<int32_t>> runs_;
    std::atomic<int32_t> started_after_cancel_{0};
    std::mutex lock_;
    std::vector<Rectangle> rects_;
};

TEST(TiledFilter, ThreeColumnsOverTenPixels) {
    TestHost host(1);
    RecordingTiledFilter filter(&host, 1, 3, 10, 4);
    ASSERT_EQ(filter.render(1), host.noError());
    EXPECT_EQ(filter.rect(0), (Rectangle{0, 3, 0, 4}));
    EXPECT_EQ(filter.rect(1), (Rectangle{3, 6, 0, 4}));
    EXPECT_EQ(filter.rect(2), (Rectangle{6, 10, 0, 4}));
}

TEST(TiledFilter, EveryTileRunsExactlyOnceAndTheTilesCoverTheImage) {
    const int32_t width = 37, height = 23;
    for (int32_t threads = 1; threads <= 8; ++threads) {
        TestHost host(threads);
        RecordingTiledFilter filter(&host, 4, 5, width, height);
        ASSERT_EQ(filter.render(threads), host.noError());
        std::vector<int32_t> cover(size_t(width * height), 0);
        for (int32_t t = 0; t < 20; ++t) {
            ASSERT_EQ(filter.runs(t), 1) << "tile " << t << " with " << threads << " threads";
            const Rectangle r = filter.rect(t);
            for (int32_t y = r.top; y < r.bottom; ++y)
                for (int32_t x = r.left; x < r.right; ++x) ++cover[size_t(y * width + x)];
        }
        for (int32_t i = 0; i < width * height; ++i)
            ASSERT_EQ(cover[size_t(i)], 1) << "pixel " << i;
        EXPECT_EQ(host.reports().size(), 20u);
    }
}

TEST(TiledFilter, MoreWorkersThanTiles) {
    for (int32_t threads : {1, 3, 8}) {
        TestHost host(threads);
        RecordingTiledFilter filter(&host, 1, 2, 10, 10);
        ASSERT_EQ(filter.render(6), host.noError());
        EXPECT_EQ(filter.runs(0), 1);
        EXPECT_EQ(filter.runs(1), 1);
    }
}

TEST(TiledFilter, ASecondRunStartsFromTheFirstTile) {
    TestHost host(3);
    RecordingTiledFilter filter(&host, 2, 3, 12, 12);
    ASSERT_EQ(filter.render(3), host.noError());
    ASSERT_EQ(filter.render(2), host.noError());
    for (int32_t t = 0; t < 6; ++t) EXPECT_EQ(filter.runs(t), 2) << "tile " << t;
}

TEST(TiledFilter, NoWorkersRunsNothing) {
    TestHost host(2);
    RecordingTiledFilter filter(&host, 2, 2, 8, 8);
    EXPECT_EQ(filter.render(0), host.noError());
    EXPECT_EQ(filter.total_runs(), 0);
}

TEST(TiledFilter, CancelAtTileFiveOfTwenty) {
    for (int32_t threads = 1; threads <= 8; ++threads) {
        {
            TestHost host(threads);
            RecordingTiledFilter filter(&host, 4, 5, 40, 40);
            filter.cancel_at = 5;
            EXPECT_EQ(filter.render(threads), host.abortError()) << threads << " threads";
            // Every tile ran at most once, tile 5 among them. Once the cancel is out, each
            // of the other workers starts at most the one tile it takes before its next report.
            int32_t ran = 0;
            for (int32_t t = 0; t < 20; ++t) {
                EXPECT_LE(filter.runs(t), 1) << "tile " << t;
                ran += filter.runs(t);
            }
            EXPECT_EQ(filter.runs(5), 1);
            // Tiles are handed out in order and every tile taken is processed.
            for (int32_t t = 0; t < 20; ++t) EXPECT_EQ(filter.runs(t), t < ran ? 1 : 0) << t;
            EXPECT_LE(filter.started_after_cancel(), threads - 1) << threads << " threads";
            EXPECT_EQ(size_t(ran), host.reports().size());
            if (threads == 1) {
                EXPECT_EQ(ran, 6);
            }
        }
        EXPECT_EQ(ThreadPool::liveWorkers(), 0);
    }
}

// Points the logger at a log file in a fresh home folder for one test.
class LogCapture {
public:
    LogCapture() {
        if (const char* home = std::getenv("HOME")) saved_home_ = home;
        std::string pattern = (std::filesystem::temp_directory_path() / "qb_tiles_XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        ::setenv("HOME", dir_.c_str(), 1);
        std::filesystem::create_directories(dir_ + "/quillbrook");
        std::ofstream(path()) << "";
        Logger::instance().setFileName(Logger::kDefaultFileName);
        Logger::instance().resetForTest();
    }
    ~LogCapture() {
        Logger::instance().resetForTest();
        if (saved_home_)
            ::setenv("HOME", saved_home_->c_str(), 1);
        else
            ::unsetenv("HOME");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string path() const { return dir_ + "/" + Logger::kDefaultFileName; }
    // The lines of the tile frame, without those of the thread pool.
    std::string text() const {
        std::ifstream in(path());
        std::string line, out;
        while (std::getline(in, line))
            if (line.rfind("tread index: ", 0) == 0) out += line + "\n";
        return out;
    }

private:
    std::string dir_;
    std::optional<std::string> saved_home_;
};

TEST(TiledFilter, LogLines) {
    LogCapture log;
    TestHost host(1);
    RecordingTiledFilter filter(&host, 1, 2, 10, 10);
    ASSERT_EQ(filter.render(3), host.noError());
    // One thread runs the three workers' shares one after the other: the first takes both
    // tiles, the other two find none left.
    EXPECT_EQ(log.text(),
              "tread index: 0 - Entering render callback\n"
              "tread index: 0 - calling render chunk for tile 0 of 2\n"
              "tread index: 0 - entering render_chunk (thread_index (0), thread_iterations (3), "
              "threadID (0)\n"
              "tread index: 0 - return (0) thread_index (0), thread_iterations (3), threadID (0)\n"
              "tread index: 0 - calling render chunk for tile 1 of 2\n"
              "tread index: 1 - entering render_chunk (thread_index (1), thread_iterations (3), "
              "threadID (0)\n"
              "tread index: 1 - return (0) thread_index (1), thread_iterations (3), threadID (0)\n"
              "tread index: 1 - Entering render callback\n"
              "tread index: 2 - Entering render callback\n");
}

TEST(TiledFilter, LogLinesCarryTheFailingStatus) {
    LogCapture log;
    TestHost host(1);
    RecordingTiledFilter filter(&host, 1, 3, 9, 3);
    filter.cancel_at = 0;
    ASSERT_EQ(filter.render(1), host.abortError());
    std::ostringstream want;
    want << "tread index: 0 - return (" << host.abortError()
         << ") thread_index (0), thread_iterations (1), threadID (0)\n";
    const std::string text = log.text();
    EXPECT_NE(text.find(want.str()), std::string::npos) << text;
    EXPECT_EQ(text.find("for tile 1 of 3"), std::string::npos) << text;
}

}  // namespace
