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
            const std::streamoff at = in.tellg();
            if (at < 0 || uintmax_t(at) > file_size || size > file_size - uintmax_t(at))
                return false;
            in.seekg(std::streamoff(size), std::ios::cur);
        }
        if (!multipart || header_empty) return true;
        // After a part's header, an empty name (a zero byte) ends the list of headers.
        const int next = in.peek();
        if (next == std::char_traits<char>::eof()) return false;
        if (next == 0) return true;
    }
}
