#include "qbrender/exr_header_check.h"

#include <cstdint>
#include <fstream>
#include <string>

namespace {

// Version field flags (bits above the version number in the low byte).
constexpr uint32_t kLongNames = 0x400;
constexpr uint32_t kMultipart = 0x1000;

// Reads a zero-terminated string of at most `limit` characters; false at the end of the file
// or when the terminator does not come in time.
bool readName(std::istream& in, std::string& name, size_t limit) {
    name.clear();
    for (;;) {
        const int c = in.get();
        if (c == std::char_traits<char>::eof()) return false;
        if (c == 0) return true;
        if (name.size() == limit) return false;
        name.push_back(char(c));
    }
}

bool readUint32(std::istream& in, uint32_t& value) {
    unsigned char b[4];
    if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
    value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return true;
}

// The bytes that a value of a fixed-size type takes, which the reader reads whatever size the
// attribute declares; 0 for the other types.
uintmax_t fixedValueBytes(const std::string& type) {
    struct Fixed {
        const char* type;
        uintmax_t bytes;
    };
    static constexpr Fixed kFixed[] = {
        {"box2i", 16},      {"box2f", 16},   {"chromaticities", 32},
        {"compression", 1}, {"double", 8},   {"envmap", 1},
        {"float", 4},       {"int", 4},      {"keycode", 28},
        {"lineOrder", 1},   {"m33f", 36},    {"m33d", 72},
        {"m44f", 64},       {"m44d", 128},   {"rational", 8},
        {"tiledesc", 9},    {"timecode", 8}, {"v2i", 8},
        {"v2f", 8},         {"v2d", 16},     {"v3i", 12},
        {"v3f", 12},        {"v3d", 24},     {"deepImageState", 1},
    };
    for (const Fixed& f : kFixed)
        if (type == f.type) return f.bytes;
    return 0;
}

// Whether `bytes` more lie in the file after the stream's position.
bool fitsWithin(std::istream& in, uintmax_t file_size, uintmax_t bytes) {
    const std::streamoff at = in.tellg();
    return at >= 0 && uintmax_t(at) <= file_size && bytes <= file_size - uintmax_t(at);
}

// The same, and skips them if so.
bool skipWithin(std::istream& in, uintmax_t file_size, uintmax_t bytes) {
    if (!fitsWithin(in, file_size, bytes)) return false;
    in.seekg(std::streamoff(bytes), std::ios::cur);
    return true;
}

// One attribute's value, walked as the reader takes it: a channel list up to its empty name
// and a preview by its own dimensions (both regardless of the declared size), fixed types by
// their size, a string vector by the lengths of its strings, everything else by the declared
// size.
bool valueIsWhole(std::istream& in, uintmax_t file_size, const std::string& type, uint32_t size) {
    if (type == "chlist") {
        // Channel names are read up to 255 characters whatever the version field's flag says.
        std::string channel;
        for (;;) {
            if (!readName(in, channel, 255)) return false;
            if (channel.empty()) return true;
            // Pixel type, linear flag and 3 reserved bytes, x and y sampling.
            if (!skipWithin(in, file_size, 16)) return false;
        }
    }
    if (type == "preview") {
        uint32_t width = 0, height = 0;
        if (!readUint32(in, width) || !readUint32(in, height)) return false;
        return skipWithin(in, file_size, uintmax_t(width) * uintmax_t(height) * 4);
    }
    if (const uintmax_t fixed = fixedValueBytes(type); fixed > 0)
        return skipWithin(in, file_size, fixed);
    if (type == "stringvector") {
        if (!fitsWithin(in, file_size, size)) return false;
        for (uint32_t read = 0; read < size;) {
            uint32_t length = 0;
            if (size - read < 4 || !readUint32(in, length)) return false;
            read += 4;
            if (length > size - read || !skipWithin(in, file_size, length)) return false;
            read += length;
        }
        return true;
    }
    return skipWithin(in, file_size, size);
}

}  // namespace

bool exrHeadersAreWhole(const std::filesystem::path& file) {
    std::error_code ec;
    const uintmax_t file_size = std::filesystem::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    if (ec || !in) return true;
    uint32_t magic = 0, version = 0;
    if (!readUint32(in, magic) || magic != 20000630u) return true;
    if (!readUint32(in, version)) return false;
    const size_t limit = (version & kLongNames) != 0 ? 255 : 31;
    const bool multipart = (version & kMultipart) != 0;
    std::string name, type;
    // One header, or with several parts a sequence of headers ended by an empty one; each
    // header is a list of attributes ended by an empty name.
    for (bool header_empty = true;; header_empty = true) {
        for (;;) {
            if (!readName(in, name, limit)) return false;
            if (name.empty()) break;
            header_empty = false;
            uint32_t size = 0;
            if (!readName(in, type, limit) || !readUint32(in, size)) return false;
            if (!valueIsWhole(in, file_size, type, size)) return false;
        }
        if (!multipart || header_empty) return true;
        // After a part's header, an empty name (a zero byte) ends the list of headers.
        const int next = in.peek();
        if (next == std::char_traits<char>::eof()) return false;
        if (next == 0) return true;
    }
}
