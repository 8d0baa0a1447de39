#include "qbrender/png_chunk_check.h"

#include <cstdint>
#include <cstring>
#include <fstream>

namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// The largest chunk length the format allows (lengths are 31-bit).
constexpr uint32_t kLongestChunk = 0x7fffffffu;

}  // namespace

bool pngChunksAreWhole(const std::filesystem::path& file) {
    std::error_code ec;
    const uintmax_t file_size = std::filesystem::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    if (ec || !in) return true;
    unsigned char signature[sizeof kSignature];
    if (!in.read(reinterpret_cast<char*>(signature), sizeof signature) ||
        std::memcmp(signature, kSignature, sizeof kSignature) != 0) {
        return true;
    }
    uintmax_t at = sizeof kSignature;
    for (;;) {
        if (at == file_size) return true;
        unsigned char head[8];  // length (big-endian), type
        if (file_size - at < sizeof head || !in.read(reinterpret_cast<char*>(head), sizeof head)) {
            return false;
        }
        at += sizeof head;
        const uint32_t length = uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 |
                                uint32_t(head[2]) << 8 | uint32_t(head[3]);
        // The data and the 4-byte CRC.
        if (length > kLongestChunk || file_size - at < uintmax_t(length) + 4) return false;
        if (std::memcmp(head + 4, "IEND", 4) == 0) return true;
        at += uintmax_t(length) + 4;
        if (!in.seekg(std::streamoff(at))) return false;
    }
}
