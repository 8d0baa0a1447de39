#pragma once

#include <cstdint>
#include <ostream>
#include <string>

// A pixel rectangle, half open: columns left .. right-1, rows top .. bottom-1. As the overflow
// of a tile set the four values are instead how far a tile's input reaches beyond the tile on
// each side (left and top normally negative).
struct Rectangle {
    int32_t left = 0;
    int32_t right = 0;
    int32_t top = 0;
    int32_t bottom = 0;

    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
    bool empty() const { return left >= right || top >= bottom; }
    bool operator==(const Rectangle&) const = default;
};

// "(Rectangle - left: L, right: R, top: T, bottom: B)" and an end of line.
std::ostream& operator<<(std::ostream& out, const Rectangle& r);
std::string to_string(const Rectangle& r);
