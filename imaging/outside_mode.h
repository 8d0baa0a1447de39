#pragma once

#include <cmath>
#include <cstdint>

// What lies beyond the edges of an image, per axis. The values are the effects' popup indices
// ("horizontal assume", "vertical assume"), counted from 1 and stored as 32-bit integers. Any
// value other than 1 to 3 behaves as `color`: there is no image pixel outside, the kernels use
// their outside colour and a rectangle sum counts the position as zero.
enum class OutsideMode : int32_t {
    border_color = 1,    // the nearest edge pixel
    mirrored_image = 2,  // mirrored at the edges with the edge pixel repeated, period 2n
    repeated_image = 3,  // tiled with period n
    color = 4,           // no image pixel
};

// True for the modes that place an image pixel at every index outside the image.
inline bool outside_mode_maps(OutsideMode mode) {
    switch (mode) {
        case OutsideMode::border_color:
        case OutsideMode::mirrored_image:
        case OutsideMode::repeated_image:
            return true;
        case OutsideMode::color:
            return false;
    }
    return false;
}

// Maps a pixel index along an axis of n pixels. Returns true when `coordinate` lies in
// 0 .. n-1 and leaves it unchanged. Otherwise returns false and, for modes 1 to 3, replaces it
// by the index of the pixel that the mode puts there; other modes leave it as it was. An axis
// without pixels (n <= 0) has nothing to map to: every index is outside and stays unchanged.
inline bool map_outside(OutsideMode mode, int32_t n, int32_t& coordinate) {
    const int32_t i = coordinate;
    if (i >= 0 && i < n) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    switch (mode) {
        case OutsideMode::border_color:
            coordinate = i < 0 ? 0 : n - 1;
            break;
        case OutsideMode::mirrored_image: {
            // -1 - i cannot overflow for any negative 32-bit i.
            const int32_t m = i < 0 ? -1 - i : i;
            const int32_t q = m / n;
            const int32_t r = m % n;
            coordinate = (q % 2 == 0) ? r : n - 1 - r;
            break;
        }
        case OutsideMode::repeated_image: {
            const int32_t r = i % n;
            coordinate = r < 0 ? r + n : r;
            break;
        }
        case OutsideMode::color:
            break;
    }
    return false;
}

// map_outside, then whether the index now names a pixel of the image: true inside, and outside
// for modes 1 to 3 (on a non-empty axis).
inline bool map_to_image(OutsideMode mode, int32_t n, int32_t& coordinate) {
    return map_outside(mode, n, coordinate) || (n > 0 && outside_mode_maps(mode));
}

// The same for a real-valued position along an axis of n pixels, used where an image is sampled
// between pixel centres. Returns true when 0 <= coordinate < n and leaves it unchanged.
// Otherwise returns false and, for modes 1 to 3, replaces it by a position in 0 <= p < n:
// border gives 0 or n - 1, mirroring reflects about 0 and about n, repeating takes p modulo n;
// a mirrored or repeated result equal to n becomes n - 0.0001. NaN and infinite positions have
// no defined image position; modes 2 and 3 map them to 0 (border maps them by sign, NaN to 0),
// so that a caller never turns a non-finite value into an index.
inline bool map_outside_fractional(OutsideMode mode, int32_t n, double& coordinate) {
    const double p = coordinate;
    const double size = n;
    if (p >= 0.0 && p < size) {
        return true;
    }
    if (n <= 0 || !outside_mode_maps(mode)) {
        return false;
    }
    double result = p;
    switch (mode) {
        case OutsideMode::border_color:
            result = p > 0.0 ? size - 1.0 : 0.0;
            break;
        case OutsideMode::mirrored_image: {
            if (!std::isfinite(p)) {
                result = 0.0;
                break;
            }
            // The parity of trunc(p / n) taken in double, so that no large p overflows an int.
            const bool odd = std::fmod(std::trunc(p / size), 2.0) != 0.0;
            const double r = std::fmod(p, size);
            if (p >= size) {
                result = odd ? size - r : r;
            } else {
                result = odd ? size + r : -r;
            }
            break;
        }
        case OutsideMode::repeated_image: {
            if (!std::isfinite(p)) {
                result = 0.0;
                break;
            }
            const double r = std::fmod(p, size);
            result = r < 0.0 ? size + r : r + 0.0;  // + 0.0 turns -0 into +0
            break;
        }
        case OutsideMode::color:
            return false;
    }
    if (result >= size) {
        result = size - 0.0001;
    }
    coordinate = result;
    return false;
}
