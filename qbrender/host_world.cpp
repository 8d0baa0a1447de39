#include "qbrender/host_world.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "qbrender/host_pixels.h"

size_t HostPlane::rowBytes() const { return size_t(width) * hostPixelBytes(depth); }

const unsigned char* HostPlane::pixel(int x, int y) const {
    return pixels.data() + size_t(y) * rowBytes() + size_t(x) * hostPixelBytes(depth);
}

int downsampledSize(int size, int downsample) {
    if (downsample < 1) {
        throw std::invalid_argument("downsample factor " + std::to_string(downsample) +
                                    " is below 1");
    }
    return std::max(1, size / downsample);
}

HostPlane makeHostPlane(const Image& image, SampleDepth depth, int downsample) {
    HostPlane full;
    // A layer of no pixels (all of it cropped away, say) stays empty at every downsampling.
    if (image.empty()) {
        full.depth = depth;
        return full;
    }
    full.width = image.width();
    full.height = image.height();
    full.depth = depth;
    full.pixels.resize(size_t(full.height) * full.rowBytes());
    copyImageToHost(image, depth, full.pixels.data(), ptrdiff_t(full.rowBytes()));
    if (image.hasZ()) full.z.assign(image.z().begin(), image.z().end());
    if (downsample == 1) return full;

    HostPlane plane;
    plane.width = downsampledSize(full.width, downsample);
    plane.height = downsampledSize(full.height, downsample);
    plane.depth = depth;
    plane.pixels.resize(size_t(plane.height) * plane.rowBytes());
    const size_t pixel_bytes = hostPixelBytes(depth);
    for (int y = 0; y < plane.height; ++y) {
        unsigned char* out = plane.pixels.data() + size_t(y) * plane.rowBytes();
        for (int x = 0; x < plane.width; ++x) {
            std::memcpy(out + size_t(x) * pixel_bytes, full.pixel(x * downsample, y * downsample),
                        pixel_bytes);
        }
    }
    if (!full.z.empty()) {
        plane.z.resize(size_t(plane.width) * size_t(plane.height));
        for (int y = 0; y < plane.height; ++y) {
            for (int x = 0; x < plane.width; ++x) {
                plane.z[size_t(y) * size_t(plane.width) + size_t(x)] =
                    full.z[size_t(y * downsample) * size_t(full.width) + size_t(x * downsample)];
            }
        }
    }
    return plane;
}

namespace {

// Every live world of the process, so that a world description handed back by an effect can
// be checked before it is trusted.
std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::set<const HostWorld*>& registry() {
    static std::set<const HostWorld*> worlds;
    return worlds;
}

void enlist(const HostWorld* world) {
    std::lock_guard<std::mutex> guard(registryLock());
    registry().insert(world);
}

}  // namespace

HostWorld::~HostWorld() {
    std::lock_guard<std::mutex> guard(registryLock());
    registry().erase(this);
}

const HostWorld* HostWorld::fromDef(const PF_EffectWorld* def) {
    if (def == nullptr) return nullptr;
    const auto* world = static_cast<const HostWorld*>(def->reserved0);
    std::lock_guard<std::mutex> guard(registryLock());
    return registry().count(world) != 0 ? world : nullptr;
}

size_t HostWorld::spareBytes(SampleDepth depth) { return 2 * hostPixelBytes(depth) + 4; }

HostWorld::HostWorld(int width, int height, SampleDepth depth, int origin_x, int origin_y,
                     bool writeable)
    : depth_(depth) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("host world: size " + std::to_string(width) + "x" +
                                    std::to_string(height) + " is not positive");
    }
    const size_t row_bytes = size_t(width) * hostPixelBytes(depth) + spareBytes(depth);
    // 16 spare bytes let the pixels start on a 16-byte boundary inside the buffer.
    buffer_.assign(2 * kGuardBytes + size_t(height) * row_bytes + 16, kSentinel);
    const auto base = reinterpret_cast<uintptr_t>(buffer_.data() + kGuardBytes);
    data_ = buffer_.data() + kGuardBytes + (16 - base % 16) % 16;
    for (int y = 0; y < height; ++y) {
        std::memset(data_ + size_t(y) * row_bytes, 0, size_t(width) * hostPixelBytes(depth));
    }
    def_.reserved0 = this;
    def_.world_flags = (depth == SampleDepth::bits16 ? PF_WorldFlag_DEEP : 0) |
                       (writeable ? PF_WorldFlag_WRITEABLE : 0);
    def_.data = reinterpret_cast<PF_PixelPtr>(data_);
    def_.rowbytes = A_long(row_bytes);
    def_.width = width;
    def_.height = height;
    def_.extent_hint = PF_LRect{0, 0, width, height};
    def_.pix_aspect_ratio = PF_RationalScale{1, 1};
    def_.origin_x = origin_x;
    def_.origin_y = origin_y;
    enlist(this);
}

HostWorld::HostWorld(SampleDepth depth) : depth_(depth) {
    def_.reserved0 = this;
    def_.world_flags = depth == SampleDepth::bits16 ? PF_WorldFlag_DEEP : 0;
    def_.pix_aspect_ratio = PF_RationalScale{1, 1};
    enlist(this);
}

PF_PixelFormat HostWorld::pixelFormat() const {
    switch (depth_) {
        case SampleDepth::bits8:
            return PF_PixelFormat_ARGB32;
        case SampleDepth::bits16:
            return PF_PixelFormat_ARGB64;
        case SampleDepth::float32:
            return PF_PixelFormat_ARGB128;
    }
    return PF_PixelFormat_ARGB32;
}

const unsigned char* HostWorld::row(int y) const {
    return data_ + size_t(y) * size_t(def_.rowbytes);
}

unsigned char* HostWorld::row(int y) { return data_ + size_t(y) * size_t(def_.rowbytes); }

void HostWorld::fill(const HostPlane& plane, int left, int top) {
    if (!hasPixels()) return;
    if (plane.depth != depth_) throw std::logic_error("host world: plane of another depth");
    const size_t pixel_bytes = hostPixelBytes(depth_);
    for (int y = 0; y < height(); ++y) {
        unsigned char* out = data_ + size_t(y) * size_t(def_.rowbytes);
        const int py = top + y;
        const int from = std::max(0, -left);
        const int to = std::min(width(), plane.width - left);
        if (py < 0 || py >= plane.height || from >= to) {
            std::memset(out, 0, size_t(width()) * pixel_bytes);
            continue;
        }
        std::memset(out, 0, size_t(from) * pixel_bytes);
        std::memcpy(out + size_t(from) * pixel_bytes, plane.pixel(left + from, py),
                    size_t(to - from) * pixel_bytes);
        std::memset(out + size_t(to) * pixel_bytes, 0, size_t(width() - to) * pixel_bytes);
    }
}

std::string HostWorld::damage() const {
    if (!hasPixels()) return {};
    const unsigned char* begin = buffer_.data();
    const unsigned char* end = buffer_.data() + buffer_.size();
    for (const unsigned char* p = begin; p < data_; ++p) {
        if (*p != kSentinel) {
            return "guard byte " + std::to_string(data_ - p) + " before row 0";
        }
    }
    const size_t pixel_row = size_t(width()) * hostPixelBytes(depth_);
    const size_t spare = size_t(def_.rowbytes) - pixel_row;
    for (int y = 0; y < height(); ++y) {
        const unsigned char* r = row(y);
        for (size_t i = 0; i < spare; ++i) {
            if (r[pixel_row + i] != kSentinel) {
                return "row " + std::to_string(y) + ", spare byte " + std::to_string(i) + " of " +
                       std::to_string(spare);
            }
        }
    }
    for (const unsigned char* p = data_ + size_t(height()) * size_t(def_.rowbytes); p < end; ++p) {
        if (*p != kSentinel) {
            return "guard byte " + std::to_string(p - (data_ + size_t(height()) * def_.rowbytes)) +
                   " after the last row";
        }
    }
    return {};
}

std::string HostWorld::rangeFault() const {
    if (!hasPixels() || depth_ != SampleDepth::bits16) return {};
    static const char* const kChannelNames[4] = {"alpha", "red", "green", "blue"};
    for (int y = 0; y < height(); ++y) {
        const auto* r = reinterpret_cast<const uint16_t*>(row(y));
        // The row's largest value first, a loop the compiler vectorises; the search for the
        // culprit runs only in a row that has one.
        uint16_t largest = 0;
        for (int i = 0; i < width() * 4; ++i) largest = std::max(largest, r[i]);
        if (largest <= 32768) continue;
        for (int i = 0; i < width() * 4; ++i) {
            if (r[i] > 32768) {
                return "pixel " + std::to_string(i / 4) + "," + std::to_string(y) + " " +
                       kChannelNames[i % 4] + " " + std::to_string(r[i]) +
                       ", above the 16-bit maximum 32768";
            }
        }
    }
    return {};
}

uint64_t HostWorld::pixelChecksum() const {
    constexpr uint64_t kPrime = 1099511628211ull;
    constexpr int kLanes = 4;
    uint64_t lane[kLanes] = {14695981039346656037ull, 14695981039346656037ull ^ 1,
                             14695981039346656037ull ^ 2, 14695981039346656037ull ^ 3};
    if (!hasPixels()) return lane[0];
    const size_t pixel_row = size_t(width()) * hostPixelBytes(depth_);
    for (int y = 0; y < height(); ++y) {
        const unsigned char* r = row(y);
        size_t i = 0;
        for (; i + 8 * kLanes <= pixel_row; i += 8 * kLanes) {
            for (int k = 0; k < kLanes; ++k) {
                uint64_t word;
                std::memcpy(&word, r + i + 8 * size_t(k), 8);
                lane[k] = (lane[k] ^ word) * kPrime;
            }
        }
        for (; i < pixel_row; ++i) lane[0] = (lane[0] ^ r[i]) * kPrime;
    }
    uint64_t hash = lane[0];
    for (int k = 1; k < kLanes; ++k) hash = (hash ^ lane[k]) * kPrime;
    return hash;
}

Image HostWorld::toImage() const {
    if (!hasPixels()) return Image();
    return imageFromHost(data_, def_.rowbytes, width(), height(), depth_);
}
