#include "zblur/level_floors.h"

#include <algorithm>
#include <bit>
#include <cstddef>

#include "zblur/depth_levels.h"

int32_t level_pyramid_planes(const LevelKernelSet& kernels, int32_t wp, int32_t hp) {
    int32_t widest = 1;
    for (int32_t level = 0; level < kDepthLevelCount; ++level) {
        const LevelKernel& k = kernels[level];
        if (k.empty()) continue;
        widest = std::max(widest, std::min(k.right - k.left + 1, k.last_row - k.first_row + 1));
    }
    widest = std::min({widest, wp, hp});
    return std::min(16, int32_t(std::bit_width(uint32_t(widest))));
}

void fill_level_pyramid_row(uint8_t* pyramid, int32_t wp, int32_t hp, int32_t planes, int32_t j) {
    const size_t pixels = size_t(wp) * size_t(hp);
    for (int32_t k = 1; k < planes; ++k) {
        const int32_t half = 1 << (k - 1);
        const int32_t side = 1 << k;
        if (j + side > hp) break;
        const uint8_t* up = pyramid + size_t(k - 1) * pixels + size_t(j) * size_t(wp);
        const uint8_t* down = up + size_t(half) * size_t(wp);
        uint8_t* out = pyramid + size_t(k) * pixels + size_t(j) * size_t(wp);
        const int32_t n = wp - side + 1;
        for (int32_t i = 0; i < n; ++i) {
            const uint8_t m1 = std::min(up[i], up[i + half]);
            const uint8_t m2 = std::min(down[i], down[i + half]);
            out[i] = std::min(m1, m2);
        }
    }
}

void level_floor_row(const LevelKernelSet& kernels, const uint8_t* pyramid, int32_t wp, int32_t hp,
                     int32_t planes, int32_t j, uint8_t* floors, const uint8_t* own) {
    const size_t pixels = size_t(wp) * size_t(hp);
    const uint8_t* plane0 = pyramid + size_t(j) * size_t(wp);
    const uint8_t* levels = own != nullptr ? own : plane0;
    for (int32_t i = 0; i < wp; ++i) {
        const LevelKernel& k = kernels[levels[i]];
        if (k.empty()) {
            floors[i] = plane0[i];
            continue;
        }
        const int32_t xa = std::max(0, i + k.left);
        const int32_t xb = std::min(wp - 1, i + k.right);
        const int32_t ya = std::max(0, j + k.first_row);
        const int32_t yb = std::min(hp - 1, j + k.last_row);
        if (xa > xb || ya > yb) {
            floors[i] = plane0[i];
            continue;
        }
        const int32_t side_limit = std::min(xb - xa + 1, yb - ya + 1);
        const int32_t plane =
            std::min(planes - 1, int32_t(std::bit_width(uint32_t(side_limit))) - 1);
        const int32_t side = 1 << plane;
        const uint8_t* base = pyramid + size_t(plane) * pixels;
        uint8_t m = plane0[i];
        for (int32_t y = ya;; y += side) {
            const int32_t yy = std::min(y, yb - side + 1);
            const uint8_t* row = base + size_t(yy) * size_t(wp);
            for (int32_t x = xa;; x += side) {
                const int32_t xx = std::min(x, xb - side + 1);
                m = std::min(m, row[xx]);
                if (xx == xb - side + 1) break;
            }
            if (yy == yb - side + 1) break;
        }
        floors[i] = m;
    }
}
