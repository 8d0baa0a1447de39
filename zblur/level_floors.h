#pragma once

#include <cstdint>

#include "zblur/level_kernels.h"

// Sweeps 2 and 3 of the depth-of-field tile kernel (zblur_filter.h): every padded pixel's level
// floor, the lowest depth level inside the bounding box of its own level's kernel. They depend
// only on the levels of the padded tile and the kernels, not on the pixel types, so they are
// compiled once.
//
// The levels sit in a pyramid of `planes` planes of wp x hp bytes each: plane 0 holds the
// levels, plane k the minimum over the square of 2^k pixels whose top left corner is the pixel.

// The planes the pyramid needs for these kernels (1 .. 16): up to the widest square that fits
// inside some kernel's bounding box and inside the padded tile.
int32_t level_pyramid_planes(const LevelKernelSet& kernels, int32_t wp, int32_t hp);

// Fills planes 1 .. planes - 1 of padded row j. The rows below j must be done already, so the
// rows go from the bottom up.
void fill_level_pyramid_row(uint8_t* pyramid, int32_t wp, int32_t hp, int32_t planes, int32_t j);

// The floors of padded row j into `floors` (wp bytes), from a complete pyramid: the minimum
// over the kernel's bounding box (inside the padded tile), covered by squares of the largest
// plane that fits; a pixel whose level has an empty kernel keeps its own level. The pixels'
// own levels are plane 0's, or `own` (wp bytes) when it is not null: plane 0 then holds lower
// levels of other sources at the same place, which count for the minimum only.
void level_floor_row(const LevelKernelSet& kernels, const uint8_t* pyramid, int32_t wp, int32_t hp,
                     int32_t planes, int32_t j, uint8_t* floors, const uint8_t* own = nullptr);
