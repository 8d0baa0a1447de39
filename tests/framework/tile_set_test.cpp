#include "framework/tile_set.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <vector>

#include "tests/framework/temp_home.h"

namespace {

const Rectangle kBorder10{-10, 10, -10, 10};

TEST(Rectangle, PrintedForm) {
    const Rectangle r{-3, 17, 4, -2};
    EXPECT_EQ(to_string(r), "(Rectangle - left: -3, right: 17, top: 4, bottom: -2)\n");
    std::ostringstream out;
    out << Rectangle{} << "next";
    EXPECT_EQ(out.str(), "(Rectangle - left: 0, right: 0, top: 0, bottom: 0)\nnext");
}

// Brute force over the tiles as tile() lays them out: the grid r x (cpus / r) with the
// smallest average padded tile area, fewer rows on ties, then the 4-pixel minimum.
TileSet2D referenceGrid(int32_t width, int32_t height, Rectangle overflow, int32_t cpus) {
    TileSet2D best;
    best.width = width;
    best.height = height;
    double best_average = std::numeric_limits<double>::max();
    for (int32_t r = 1; r <= cpus; ++r) {
        TileSet2D candidate = best;
        candidate.rows = r;
        candidate.cols = cpus / r;
        double sum = 0.0;
        for (int32_t k = 0; k < candidate.count(); ++k) {
            const Rectangle t = candidate.tile(k);
            sum += double(t.width() + overflow.width()) * double(t.height() + overflow.height());
        }
        const double average = sum / candidate.count();
        if (average < best_average) {
            best_average = average;
            best.rows = candidate.rows;
            best.cols = candidate.cols;
        }
    }
    while (width / best.cols < 4 && best.cols > 1) --best.cols;
    while (height / best.rows < 4 && best.rows > 1) --best.rows;
    return best;
}

TEST(TileSet2DInit, HdFrameOnEightThreads) {
    TempHome home;
    home.createLog();
    TileSet2D tiles;
    tiles.init(1920, 1080, kBorder10, 8);
    EXPECT_EQ(tiles.rows, 2);
    EXPECT_EQ(tiles.cols, 4);
    EXPECT_EQ(tiles.width, 1920);
    EXPECT_EQ(tiles.height, 1080);
    EXPECT_EQ(tiles.cpus, 8);
    EXPECT_EQ(tiles.overflow, kBorder10);
    EXPECT_EQ(home.readLog(),
              "TileSet2D::init (width=1920, height=1080, overflow =(Rectangle - left: -10, "
              "right: 10, top: -10, bottom: 10)\n"
              ", cpus=8)\n"
              "    rows = 2cols = 4\n");
    EXPECT_EQ(Logger::instance().indent(), 0);
}

TEST(TileSet2DInit, ThreeThreadsOnAWideImage) {
    TileSet2D tiles;
    tiles.init(1000, 300, kBorder10, 3);
    EXPECT_EQ(tiles.rows, 1);
    EXPECT_EQ(tiles.cols, 3);
    tiles.init(300, 1000, kBorder10, 3);
    EXPECT_EQ(tiles.rows, 3);
    EXPECT_EQ(tiles.cols, 1);
}

TEST(TileSet2DInit, TiesKeepFewerRows) {
    TileSet2D tiles;
    tiles.init(400, 400, Rectangle{}, 4);
    EXPECT_EQ(tiles.rows, 1);
    EXPECT_EQ(tiles.cols, 4);
}

TEST(TileSet2DInit, NarrowImageDropsColumns) {
    TileSet2D tiles;
    tiles.init(10, 1000, Rectangle{}, 4);
    EXPECT_EQ(tiles.cols, 2);
    EXPECT_EQ(tiles.rows, 1);
    tiles.init(1000, 7, Rectangle{0, 0, -50, 50}, 6);
    EXPECT_EQ(tiles.rows, 1);
    tiles.init(3, 3, kBorder10, 16);
    EXPECT_EQ(tiles.count(), 1);
}

TEST(TileSet2DInit, NoThreadsGivesOneTile) {
    TempHome home;
    home.createLog();
    TileSet2D tiles;
    tiles.rows = 5;
    tiles.cols = 5;
    tiles.init(640, 480, kBorder10, 0);
    EXPECT_EQ(tiles.rows, 1);
    EXPECT_EQ(tiles.cols, 1);
    tiles.init(640, 480, kBorder10, -2);
    EXPECT_EQ(tiles.count(), 1);
    const std::string log = home.readLog();
    EXPECT_NE(log.find(", cpus=0)\n    rows = 1cols = 1\n"), std::string::npos) << log;
}

TEST(TileSet2DInit, AgreesWithBruteForceOverTiles) {
    const Rectangle overflows[] = {{}, kBorder10, {-3, 40, 0, 1}, {-64, 64, -2, 2}};
    const int32_t sizes[][2] = {{1920, 1080}, {1080, 1920}, {37, 23}, {5, 500}, {801, 799}, {1, 1}};
    for (const Rectangle& overflow : overflows) {
        for (const auto& size : sizes) {
            for (int32_t cpus = 1; cpus <= 64; ++cpus) {
                TileSet2D tiles;
                tiles.init(size[0], size[1], overflow, cpus);
                const TileSet2D expected = referenceGrid(size[0], size[1], overflow, cpus);
                ASSERT_EQ(tiles.rows, expected.rows) << tiles << " cpus " << cpus;
                ASSERT_EQ(tiles.cols, expected.cols) << tiles << " cpus " << cpus;
            }
        }
    }
}

TEST(TileSet2DGeometry, TilesCoverTheImageOnce) {
    TileSet2D tiles;
    tiles.width = 37;
    tiles.height = 23;
    tiles.rows = 4;
    tiles.cols = 3;
    std::vector<int> covered(37 * 23, 0);
    for (int32_t k = 0; k < tiles.count(); ++k) {
        const Rectangle t = tiles.tile(k);
        for (int32_t y = t.top; y < t.bottom; ++y) {
            for (int32_t x = t.left; x < t.right; ++x) ++covered[y * 37 + x];
        }
    }
    for (int c : covered) ASSERT_EQ(c, 1);
    EXPECT_EQ(tiles.tile(0), (Rectangle{0, 12, 0, 5}));
    EXPECT_EQ(tiles.tile(4), (Rectangle{12, 24, 5, 10}));
    EXPECT_EQ(tiles.tile(11), (Rectangle{24, 37, 15, 23}));
}

TEST(TileSet2DIncrease, WideTilesGetAnotherColumn) {
    TempHome home;
    TileSet2D tiles;
    tiles.init(640, 480, Rectangle{}, 4);
    ASSERT_EQ(tiles.rows * tiles.cols, 4);
    tiles.rows = 2;
    tiles.cols = 2;
    home.createLog();
    EXPECT_TRUE(tiles.increase());
    EXPECT_EQ(tiles.cols, 3);
    EXPECT_EQ(tiles.rows, 2);
    EXPECT_EQ(home.readLog(), "TileSet2D::increase ()\n    cols: 3 rows: 2\n");
    EXPECT_EQ(Logger::instance().indent(), 0);
}

TEST(TileSet2DIncrease, SquareOrTallTilesGetAnotherRow) {
    TileSet2D tiles;
    tiles.width = 100;
    tiles.height = 640;
    tiles.rows = 2;
    tiles.cols = 2;
    EXPECT_TRUE(tiles.increase());
    EXPECT_EQ(tiles.rows, 3);
    EXPECT_EQ(tiles.cols, 2);

    tiles.width = 60;
    tiles.height = 60;
    tiles.rows = 1;
    tiles.cols = 1;
    EXPECT_TRUE(tiles.increase());
    EXPECT_EQ(tiles.rows, 2);
    EXPECT_EQ(tiles.cols, 1);
}

TEST(TileSet2DIncrease, FailsAtFourPixels) {
    TempHome home;
    home.createLog();
    TileSet2D tiles;
    tiles.width = 8;
    tiles.height = 8;
    tiles.rows = 2;
    tiles.cols = 2;
    EXPECT_FALSE(tiles.increase());
    EXPECT_EQ(tiles.rows, 2);
    EXPECT_EQ(tiles.cols, 2);
    tiles.width = 8;
    tiles.height = 6;
    EXPECT_FALSE(tiles.increase());
    EXPECT_EQ(tiles.cols, 2);
    tiles.width = 10;
    EXPECT_TRUE(tiles.increase());
    EXPECT_EQ(tiles.cols, 3);
    EXPECT_EQ(home.readLog(),
              "TileSet2D::increase ()\n"
              "TileSet2D::increase ()\n"
              "TileSet2D::increase ()\n"
              "    cols: 3 rows: 2\n");
    EXPECT_EQ(Logger::instance().indent(), 0);
}

TEST(TileSet2DIncrease, RefinesUntilTilesAreSmall) {
    TileSet2D tiles;
    tiles.init(64, 48, kBorder10, 2);
    int steps = 0;
    while (tiles.increase()) ++steps;
    EXPECT_GT(steps, 0);
    EXPECT_LE(tiles.width / tiles.cols, 4);
    EXPECT_LE(tiles.height / tiles.rows, 4);
}

}  // namespace
