#include "aehost/plugin_resource/plugin_resource.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kPropertyHeaderBytes = 16;

[[noreturn]] void fail(const std::string& message) {
    throw PluginResourceError("pipl: " + message);
}

std::string hex(uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

// Little-endian reads from the resource; the caller has checked the bounds.
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }

std::string propertyName(size_t index, uint32_t key) {
    return "property " + std::to_string(index + 1) + " ('" + fourCharText(key) + "')";
}

// A length byte and that many characters, within the value.
std::string pascalString(const PluginProperty& p, size_t index, const std::string& source) {
    if (p.value.empty()) fail(propertyName(index, p.key) + " in " + source + " is empty");
    const size_t n = p.value[0];
    if (1 + n > p.value.size()) {
        fail(propertyName(index, p.key) + " in " + source + ": string length " + std::to_string(n) +
             " exceeds the value of " + std::to_string(p.value.size()) + " bytes");
    }
    return std::string(reinterpret_cast<const char*>(p.value.data()) + 1, n);
}

std::string cString(const PluginProperty& p, size_t index, const std::string& source) {
    const void* zero = std::memchr(p.value.data(), 0, p.value.size());
    if (zero == nullptr) {
        fail(propertyName(index, p.key) + " in " + source + ": string is not terminated");
    }
    return std::string(reinterpret_cast<const char*>(p.value.data()),
                       static_cast<const uint8_t*>(zero) - p.value.data());
}

void needLength(const PluginProperty& p, size_t index, uint32_t length, const std::string& source) {
    if (p.length != length) {
        fail(propertyName(index, p.key) + " in " + source + ": length " + std::to_string(p.length) +
             ", expected " + std::to_string(length));
    }
}

// ---- ELF -------------------------------------------------------------------------------

class ElfReader {
public:
    ElfReader(const std::vector<uint8_t>& file, const std::string& path)
        : file_(file), path_(path) {
        if (file_.size() < 16 || std::memcmp(file_.data(),
                                             "\x7f"
                                             "ELF",
                                             4) != 0) {
            fail("not an ELF file: " + path_);
        }
        wide_ = file_[4] == 2;
        big_endian_ = file_[5] == 2;
        if ((file_[4] != 1 && file_[4] != 2) || (file_[5] != 1 && file_[5] != 2)) {
            fail("unknown ELF class " + std::to_string(file_[4]) + " / byte order " +
                 std::to_string(file_[5]) + " in " + path_);
        }
    }

    std::vector<uint8_t> section(const std::string& wanted) const {
        const uint64_t sh_offset = wide_ ? word(40, 8) : word(32, 4);
        const uint64_t entry_size = word(wide_ ? 58 : 46, 2);
        uint64_t count = word(wide_ ? 60 : 48, 2);
        uint64_t names_index = word(wide_ ? 62 : 50, 2);
        if (sh_offset == 0) fail("no section headers in " + path_);
        if (entry_size < (wide_ ? 64u : 40u)) {
            fail("section header size " + std::to_string(entry_size) + " too small in " + path_);
        }
        // Extended numbering: the real count and name-table index sit in section 0.
        if (count == 0) count = field(sh_offset, entry_size, 0, Field::size);
        if (names_index == 0xffff) names_index = field(sh_offset, entry_size, 0, Field::link);
        if (names_index >= count) {
            fail("section name table index " + std::to_string(names_index) + " out of range in " +
                 path_);
        }
        const uint64_t names_offset = field(sh_offset, entry_size, names_index, Field::offset);
        const uint64_t names_size = field(sh_offset, entry_size, names_index, Field::size);
        require(names_offset, names_size, "section name table");

        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t name = field(sh_offset, entry_size, i, Field::name);
            if (name >= names_size) continue;
            const char* text = reinterpret_cast<const char*>(file_.data() + names_offset + name);
            const size_t room = size_t(names_size - name);
            if (strnlen(text, room) != wanted.size() ||
                std::memcmp(text, wanted.data(), wanted.size()) != 0) {
                continue;
            }
            if (field(sh_offset, entry_size, i, Field::type) == 8 /* no bits in the file */) {
                fail("section " + wanted + " has no contents in " + path_);
            }
            const uint64_t offset = field(sh_offset, entry_size, i, Field::offset);
            const uint64_t size = field(sh_offset, entry_size, i, Field::size);
            require(offset, size, "section " + wanted);
            return std::vector<uint8_t>(file_.begin() + ptrdiff_t(offset),
                                        file_.begin() + ptrdiff_t(offset + size));
        }
        fail("no " + wanted + " section in " + path_);
    }

private:
    enum class Field { name, type, offset, size, link };

    void require(uint64_t offset, uint64_t size, const std::string& what) const {
        if (offset > file_.size() || size > file_.size() - offset) {
            fail(what + " at " + hex(offset) + " (" + std::to_string(size) +
                 " bytes) lies outside " + path_ + " (" + std::to_string(file_.size()) + " bytes)");
        }
    }

    uint64_t word(uint64_t at, int bytes) const {
        require(at, uint64_t(bytes), "ELF field");
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            const uint64_t b = file_[size_t(at) + size_t(big_endian_ ? i : bytes - 1 - i)];
            v = v << 8 | b;
        }
        return v;
    }

    uint64_t field(uint64_t table, uint64_t entry_size, uint64_t index, Field f) const {
        const uint64_t at = table + index * entry_size;
        switch (f) {
            case Field::name:
                return word(at, 4);
            case Field::type:
                return word(at + 4, 4);
            case Field::offset:
                return wide_ ? word(at + 24, 8) : word(at + 16, 4);
            case Field::size:
                return wide_ ? word(at + 32, 8) : word(at + 20, 4);
            case Field::link:
                return wide_ ? word(at + 40, 4) : word(at + 24, 4);
        }
        return 0;
    }

    const std::vector<uint8_t>& file_;
    const std::string& path_;
    bool wide_ = false;
    bool big_endian_ = false;
};

}  // namespace

uint32_t fourCharCode(const char (&code)[5]) {
    return uint32_t(uint8_t(code[0])) << 24 | uint32_t(uint8_t(code[1])) << 16 |
           uint32_t(uint8_t(code[2])) << 8 | uint32_t(uint8_t(code[3]));
}

std::string fourCharText(uint32_t code) {
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[size_t(i)] = char(code >> (24 - 8 * i));
    return s;
}

const PluginProperty* PluginResource::find(std::string_view key) const {
    for (const PluginProperty& p : properties) {
        if (fourCharText(p.key) == key) return &p;
    }
    return nullptr;
}

PluginResource parsePluginResource(const uint8_t* bytes, size_t size, const std::string& source) {
    if (size < kHeaderBytes) {
        fail("truncated header in " + source + ": " + std::to_string(size) + " of " +
             std::to_string(kHeaderBytes) + " bytes");
    }
    PluginResource r;
    r.version = le16(bytes);
    r.reserved = le32(bytes + 2);
    const uint32_t count = le32(bytes + 6);
    if (r.version != 1) fail("unknown version " + std::to_string(r.version) + " in " + source);

    size_t at = kHeaderBytes;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < kPropertyHeaderBytes) {
            fail("truncated property " + std::to_string(i + 1) + " header at offset " +
                 std::to_string(at) + " in " + source + ": " + std::to_string(size - at) +
                 " of 16 bytes left");
        }
        PluginProperty p;
        p.vendor = le32(bytes + at);
        p.key = le32(bytes + at + 4);
        p.id = le32(bytes + at + 8);
        p.length = le32(bytes + at + 12);
        p.offset = at + kPropertyHeaderBytes;
        if (p.length > size - p.offset) {
            fail("truncated " + propertyName(i, p.key) + " at offset " + std::to_string(p.offset) +
                 " in " + source + ": value of " + std::to_string(p.length) + " bytes, " +
                 std::to_string(size - p.offset) + " left");
        }
        p.value.assign(bytes + p.offset, bytes + p.offset + p.length);
        r.end = p.offset + p.length;
        // The next property starts after the value's padding to a multiple of 4; the padding
        // may be missing after the last one.
        const size_t padded = (size_t(p.length) + 3) / 4 * 4;
        at = std::min(size, p.offset + padded);
        if (p.offset + padded <= size) r.end = p.offset + padded;
        r.properties.push_back(std::move(p));
    }
    if (r.end != size) {
        fail(std::to_string(size - r.end) + " bytes after the last of " + std::to_string(count) +
             " properties in " + source);
    }

    for (size_t i = 0; i < r.properties.size(); ++i) {
        const PluginProperty& p = r.properties[i];
        const std::string key = fourCharText(p.key);
        if (p.vendor != fourCharCode("8BIM")) {
            fail(propertyName(i, p.key) + " in " + source + ": vendor '" + fourCharText(p.vendor) +
                 "', expected '8BIM'");
        }
        if (key == "kind") {
            needLength(p, i, 4, source);
            r.kind = fourCharText(le32(p.value.data()));
        } else if (key == "name") {
            r.name = pascalString(p, i, source);
        } else if (key == "catg") {
            r.category = pascalString(p, i, source);
        } else if (key == "wx86") {
            r.entry_point = cString(p, i, source);
        } else if (key == "ePVR") {
            needLength(p, i, 4, source);
            r.pipl_version_major = le16(p.value.data());
            r.pipl_version_minor = le16(p.value.data() + 2);
        } else if (key == "eSVR") {
            needLength(p, i, 4, source);
            r.api_version_major = le16(p.value.data());
            r.api_version_minor = le16(p.value.data() + 2);
        } else if (key == "eVER") {
            needLength(p, i, 4, source);
            r.effect_version = le32(p.value.data());
        } else if (key == "eINF") {
            needLength(p, i, 2, source);
            r.info_flags = le16(p.value.data());
        } else if (key == "eGLO") {
            needLength(p, i, 4, source);
            r.out_flags = le32(p.value.data());
        } else if (key == "eGL2") {
            needLength(p, i, 4, source);
            r.out_flags2 = le32(p.value.data());
        } else if (key == "eMNA") {
            r.match_name = pascalString(p, i, source);
        } else if (key == "aeFL") {
            needLength(p, i, 4, source);
            r.reserved_info = le32(p.value.data());
        }
    }
    return r;
}

std::vector<uint8_t> readPluginResourceSection(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) fail("cannot open " + path);
    // One block read: a plug-in built with debug information or sanitizers is tens of
    // megabytes, and a byte-at-a-time copy of it cost seconds on every effect lookup.
    const std::streamoff size = in.tellg();
    if (size < 0) fail("cannot read " + path);
    // 2 GiB: far beyond any plug-in, and a bound on what a stray path can make us allocate.
    if (size > (std::streamoff(1) << 31)) fail(path + " is too large to be a plug-in");
    std::vector<uint8_t> file(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(file.data()), size)) fail("cannot read " + path);
    return ElfReader(file, path).section(".pipl");
}

PluginResource readPluginResource(const std::string& path) {
    const std::vector<uint8_t> section = readPluginResourceSection(path);
    return parsePluginResource(section.data(), section.size(), path);
}
