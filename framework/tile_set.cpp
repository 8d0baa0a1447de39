#include "framework/tile_set.h"

#include <limits>
#include <sstream>

#include "framework/logger.h"

namespace {

// Average area of the tiles of a rows x cols grid including their overflow. The tile widths
// of a grid sum to `width` and its heights to `height`, so the sum over all tiles of
// (tile width + extra width) x (tile height + extra height) factors into the product below:
// the cost of one candidate is constant instead of growing with its tile count.
double averagePaddedArea(int32_t width, int32_t height, Rectangle overflow, int32_t rows,
                         int32_t cols) {
    const double padded_widths = static_cast<double>(width) + double(cols) * overflow.width();
    const double padded_heights = static_cast<double>(height) + double(rows) * overflow.height();
    return padded_widths * padded_heights / (double(rows) * double(cols));
}

}  // namespace

void TileSet2D::init(int32_t new_width, int32_t new_height, Rectangle new_overflow,
                     int32_t new_cpus) {
    std::ostringstream opening;
    opening << "TileSet2D::init (width=" << new_width << ", height=" << new_height
            << ", overflow =" << new_overflow << ", cpus=" << new_cpus << ")\n";
    LogIndentScope block(opening);

    width = new_width;
    height = new_height;
    overflow = new_overflow;
    cpus = new_cpus;
    rows = 1;
    cols = 1;
    double best = std::numeric_limits<double>::max();
    for (int32_t r = 1; r <= cpus; ++r) {
        const int32_t c = cpus / r;
        const double average = averagePaddedArea(width, height, overflow, r, c);
        if (average < best) {
            rows = r;
            cols = c;
            best = average;
        }
    }
    while (width / cols < 4 && cols > 1) --cols;
    while (height / rows < 4 && rows > 1) --rows;

    LogEntry() << "rows = " << rows << "cols = " << cols << "\n";
}

bool TileSet2D::increase() {
    std::ostringstream opening;
    opening << "TileSet2D::increase ()\n";
    LogIndentScope block(opening);

    const int32_t tw = width / cols;
    const int32_t th = height / rows;
    if (tw > th) {
        if (tw <= 4) return false;
        ++cols;
    } else {
        if (th <= 4) return false;
        ++rows;
    }
    LogEntry() << "cols: " << cols << " rows: " << rows << "\n";
    return true;
}

Rectangle TileSet2D::tile(int32_t k) const {
    const int32_t tw = width / cols;
    const int32_t th = height / rows;
    const int32_t row = k / cols;
    const int32_t column = k % cols;
    Rectangle r;
    r.left = column * tw;
    r.right = column == cols - 1 ? width : (column + 1) * tw;
    r.top = row * th;
    r.bottom = row == rows - 1 ? height : (row + 1) * th;
    return r;
}

std::ostream& operator<<(std::ostream& out, const TileSet2D& tiles) {
    return out << "(TileSet2D - rows: " << tiles.rows << ", cols: " << tiles.cols
               << ", width: " << tiles.width << ", height: " << tiles.height
               << ", cpus: " << tiles.cpus << ") overflow: " << tiles.overflow;
}
