#pragma once

#include <cstdint>
#include <ostream>

#include "framework/rectangle.h"

// A grid of rows x cols tiles over a width x height image. Every tile reads `overflow` beyond
// its own edges (left and top normally negative), so overflow.width() and overflow.height() are
// the extra columns and rows each tile computes twice. With tw = width / cols and
// th = height / rows, tile k lies in row k / cols and column k % cols and covers
// [column * tw, (column + 1) * tw) x [row * th, (row + 1) * th); the last column and the last
// row end at width and height, absorbing the remainders.
struct TileSet2D {
    int32_t rows = 1;
    int32_t cols = 1;
    int32_t width = 0;
    int32_t height = 0;
    int32_t cpus = 0;
    Rectangle overflow;

    // Picks the grid for `cpus` threads: of the grids r x (cpus / r), r = 1 .. cpus, the one
    // with the smallest average tile area including the overflow (ties keep fewer rows); then
    // drops columns and rows while tiles would be narrower or lower than 4 pixels.
    void init(int32_t width, int32_t height, Rectangle overflow, int32_t cpus);
    // One more column when the tiles are wider than high, else one more row; false (and the
    // grid unchanged) when that direction is 4 pixels or less.
    bool increase();

    int32_t count() const { return rows * cols; }
    // Pixel rectangle of tile k (0 .. count()-1), without the overflow.
    Rectangle tile(int32_t k) const;
};

// "(TileSet2D - rows: R, cols: C, width: W, height: H, cpus: N) overflow: " then the overflow
// rectangle in its printed form, which ends the line.
std::ostream& operator<<(std::ostream& out, const TileSet2D& tiles);
